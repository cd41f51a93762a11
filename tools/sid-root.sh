#!/usr/bin/env bash
# A Debian root, made once by debootstrap and kept in a cache folder outside
# the checkout: Debian unstable ("sid") for the interpreters this Debian
# does not carry yet, or, with --suite, another suite, such as bullseye for
# an older system (glibc 2.31) to install the wheels on. Commands run inside
# it with the checkout at its own path.
#
# Usage:
#   tools/sid-root.sh [--suite SUITE] path       prints the root's folder
#   tools/sid-root.sh [--suite SUITE] ensure     makes the root unless it is there
#   tools/sid-root.sh [--suite SUITE] install PACKAGE...
#                                           ensure, then install what is missing;
#                                           a PACKAGE ending in "?" only where
#                                           the archive has it
#   tools/sid-root.sh [--suite SUITE] run [--bind DIR]... [--env NAME=VALUE]... [--] COMMAND...
#                                           ensure, then run COMMAND inside, from
#                                           the current folder
#   tools/sid-root.sh mirror                prints the Debian archive used
#
# The root is $VESK_SID_ROOT (for sid), else
# ${VESK_CACHE:-$HOME/.cache/vesk}/SUITE-root (sid-root for sid). The
# archive is $VESK_DEBIAN_MIRROR, else the one this machine's own apt
# sources name for Debian (/etc/apt/sources.list.d/*.sources or
# /etc/apt/sources.list), so that no file here names a host.
# A root is made under a temporary name and renamed when it is complete, so
# an interrupted creation is never taken for a root; the next run starts it
# again. Creation and installs take a lock: concurrent callers wait.
#
# `run` mounts /proc, the host's /dev (with /dev/pts and /dev/shm), a fresh
# /tmp, the checkout and each --bind DIR (at their own paths) in a mount
# namespace of its own, so they are gone when COMMAND ends, however it ends,
# and the host never sees them. COMMAND gets a clean environment: PATH,
# HOME=/root, LANG=C.UTF-8, TERM, CI and WERROR when set, and each --env.
#
# Exit status: COMMAND's for `run`, else 0; 69 when the root cannot be made
# or a package cannot be installed (archive unreachable, a package not in
# it, no Debian archive in the apt sources), with the reason on stderr; 64
# for a wrong usage.
set -euo pipefail

readonly UNAVAILABLE=69 USAGE=64
tools=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
checkout=$(dirname "$tools")
suite=sid
if [ "${1:-}" = --suite ]; then
  [ $# -ge 2 ] || { sed -n '/^# Usage:/,/^# *$/p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit $USAGE; }
  suite=$2
  shift 2
fi
if [ "$suite" = sid ]; then
  root=${VESK_SID_ROOT:-${VESK_CACHE:-$HOME/.cache/vesk}/sid-root}
else
  root=${VESK_CACHE:-$HOME/.cache/vesk}/$suite-root
fi

# The Debian archive of this machine's apt sources: the first URI of a
# deb822 stanza or a one-line "deb" entry whose path ends in /debian (not
# the security archive, nor another vendor's repository).
apt_sources_mirror() {
  local file
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk 'tolower($1) == "uris:" { for (i = 2; i <= NF; i++) print $i }' "$file"
  done
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i !~ /^\[/) { print $i; break } }' "$file"
  done
}
mirror=${VESK_DEBIAN_MIRROR:-$(apt_sources_mirror | sed 's:/*$::' | grep -m 1 -E '^https?://[^ ]*/debian$' || true)}

usage() {
  sed -n '/^# Usage:/,/^# *$/p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
  exit $USAGE
}

unavailable() {
  echo "sid-root: cannot make the Debian $suite root $root: $*" >&2
  exit $UNAVAILABLE
}

# Holds an exclusive lock on the root for the rest of the script.
lock() {
  mkdir -p "$(dirname "$root")"
  exec 9>"$root.lock"
  flock 9
}

# What runs in the new mount namespace: the mounts, then the command
# chrooted. Arguments: the root, the starting folder, the count and list of
# folders to bind, the count and list of NAME=VALUE, the command.
read -r -d '' inside <<'EOF' || true
set -euo pipefail
target=$1 cwd=$2
shift 2
binds=("${@:2:$1}"); shift $(($1 + 1))
environment=("${@:2:$1}"); shift $(($1 + 1))
mount -t proc proc "$target/proc"
mount --rbind /dev "$target/dev"
mount -t tmpfs -o mode=1777 tmpfs "$target/tmp"
for dir in "${binds[@]}"; do
  mkdir -p "$target$dir"
  mount --bind "$dir" "$target$dir"
done
# The folder the command starts in, where the root has it.
[ -d "$target$cwd" ] || cwd=/
exec chroot "$target" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root LANG=C.UTF-8 "${environment[@]}" /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$cwd" "$@"
EOF

# Runs the command "$@" in the root: the mounts live in a private mount
# namespace, which the kernel takes down with its last process, so they
# never outlive the command, whether it passes, fails or is killed. Reads
# the arrays binds and environment.
in_root() {
  unshare --mount --propagation private -- /bin/bash -c "$inside" sid-root "$root" "$PWD" \
    "${#binds[@]}" "${binds[@]}" "${#environment[@]}" "${environment[@]}" "$@"
}

binds=("$checkout")
environment=()
for name in TERM CI WERROR; do
  [ -n "${!name:-}" ] && environment+=("$name=${!name}")
done

ensure() {
  [ -d "$root" ] && return 0
  lock
  [ -d "$root" ] && return 0
  [ -n "$mirror" ] || unavailable "no Debian archive in this machine's apt sources (set VESK_DEBIAN_MIRROR)"
  "$tools/ensure-deps.sh" debootstrap || unavailable "debootstrap could not be installed on this machine"
  local partial="$root.partial"
  # --one-file-system: a mount left by a killed debootstrap stays untouched.
  rm -rf --one-file-system "$partial"
  echo "sid-root: making $root ($suite) from $mirror (debootstrap, a few minutes)" >&2
  # In a mount namespace of its own: the mounts debootstrap makes inside the
  # new root end with it, even when it is killed.
  if ! unshare --mount --propagation private -- \
       debootstrap --variant=minbase "$suite" "$partial" "$mirror" >"$root.debootstrap.log" 2>&1; then
    tail -n 20 "$root.debootstrap.log" >&2
    unavailable "debootstrap failed (log: $root.debootstrap.log)"
  fi
  # The archive's index may be served after its Valid-Until date (a
  # mirror that lags); apt in the root takes it all the same.
  cat >"$partial/etc/apt/apt.conf.d/90vesk" <<'EOF'
Acquire::Check-Valid-Until "false";
APT::Install-Recommends "false";
APT::Install-Suggests "false";
EOF
  # No documentation: smaller and faster installs.
  cat >"$partial/etc/dpkg/dpkg.cfg.d/90vesk-nodoc" <<'EOF'
path-exclude=/usr/share/doc/*
path-exclude=/usr/share/man/*
path-exclude=/usr/share/info/*
path-exclude=/usr/share/locale/*
EOF
  # Packages start no services in the root.
  printf '#!/bin/sh\nexit 101\n' >"$partial/usr/sbin/policy-rc.d"
  chmod 755 "$partial/usr/sbin/policy-rc.d"
  mv "$partial" "$root"
  rm -f "$root.debootstrap.log"
}

installed() {
  dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' "$1" 2>/dev/null |
    grep -q "install ok installed"
}

install() {
  ensure
  local missing=() package
  for package in "$@"; do
    installed "${package%\?}" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  lock
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  binds=()
  environment=(DEBIAN_FRONTEND=noninteractive)
  # Finishes an install that was interrupted, if any.
  in_root dpkg --configure -a >/dev/null
  in_root apt-get update -qq >"$root.apt.log" 2>&1 ||
    { tail -n 20 "$root.apt.log" >&2; unavailable "apt-get update failed: $mirror cannot be read"; }
  local wanted=() absent=()
  for package in "${missing[@]}"; do
    if in_root apt-cache show --no-all-versions "${package%\?}" >/dev/null 2>&1; then
      wanted+=("${package%\?}")
    elif [ "${package%\?}" = "$package" ]; then
      absent+=("$package")
    fi
  done
  [ ${#absent[@]} -eq 0 ] || unavailable "not in the archive: ${absent[*]}"
  [ ${#wanted[@]} -eq 0 ] && return 0
  echo "sid-root: installing ${wanted[*]}" >&2
  in_root apt-get install -y -qq "${wanted[@]}" >"$root.apt.log" 2>&1 ||
    { tail -n 20 "$root.apt.log" >&2; unavailable "apt-get install failed"; }
}

run() {
  while [ $# -gt 0 ]; do
    case $1 in
      --bind) [ $# -ge 2 ] || usage; binds+=("$(cd "$2" && pwd)"); shift 2 ;;
      --env) [ $# -ge 2 ] || usage; environment+=("$2"); shift 2 ;;
      --) shift; break ;;
      *) break ;;
    esac
  done
  [ $# -gt 0 ] || usage
  ensure
  in_root "$@"
}

[ $# -gt 0 ] || usage
command=$1
shift
case $command in
  path) echo "$root" ;;
  mirror) [ -n "$mirror" ] || unavailable "no Debian archive in this machine's apt sources"; echo "$mirror" ;;
  ensure) ensure ;;
  install) install "$@" ;;
  run) run "$@" ;;
  *) usage ;;
esac
