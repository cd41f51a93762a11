#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 (./configure --disable-gil) from
# Debian trixie's python3.13 source package, once, into a cache outside the
# checkout, and prints the interpreter's path as its last line.
#
#   plain  ${VESK_CACHE:-~/.cache/vesk}/python3.13t/bin/python3.13t        (gcc)
#   tsan   ${VESK_CACHE:-~/.cache/vesk}/python3.13t-tsan/bin/python3.13t   (clang,
#          --with-thread-sanitizer, as CPython's own free-threading CI builds it;
#          CPython's suppressions in python3.13t-tsan/share/tsan/)
#
# Both come with trixie's pure-Python build tools (setuptools, wheel, build
# and what they need) in the interpreter's own lib/python3/dist-packages,
# where Debian's packages put them: bookworm's are too old to build or tag
# a free-threaded wheel.
#
# A finished build leaves a stamp, written last, that records how it was
# built; a later run that finds a stamp with the same recipe only prints the
# path. An interrupted build has no stamp and starts over. With --if-built
# the script builds nothing: it prints the path when that build is there and
# fails quietly otherwise.
#
# The source and the build tools come through apt-get with a private apt
# set-up under the cache (its own sources.list, lists and archive cache), so
# the host's apt configuration is left as it is; the build dependencies are
# Debian's -dev packages of the host (tools/ensure-deps.sh).
# Usage: tools/free-threaded-python.sh [--if-built] plain|tsan
set -euo pipefail

if_built=0
if [ "${1:-}" = --if-built ]; then
  if_built=1
  shift
fi
flavour=${1:-}
here=$(cd "$(dirname "$0")" && pwd)
cache=${VESK_CACHE:-$HOME/.cache/vesk}
suite=trixie
source_package=python3.13
jobs=${VESK_BUILD_JOBS:-$(nproc)}
build_tools=(python3-setuptools python3-pkg-resources python3-jaraco.text python3-wheel
             python3-packaging python3-build python3-pyproject-hooks)

# Debian's patches apply but one: makefile-bootstrap.diff links with
# LDFLAGS_NODIST alone (Debian's rules hand the rest to make), which drops
# the -fsanitize=thread that --with-thread-sanitizer adds to LDFLAGS. Our
# own fixes for a free-threaded build follow, from tools/cpython-patches/.
skipped_patches=(makefile-bootstrap.diff)
own_patches=("$here"/cpython-patches/*.diff)
source_recipe="$source_package from $suite; Debian's patches but ${skipped_patches[*]}; then"
for patch in "${own_patches[@]}"; do
  source_recipe+=" $(basename "$patch") $(sha256sum <"$patch" | cut -c1-12)"
done

# --without-ensurepip: Debian's ensurepip refuses to run outside a venv,
# which would fail `make install`; venvs still get pip from the bundled wheel.
configure_args=(--disable-gil --without-ensurepip)
case $flavour in
  plain)
    name=python3.13t compiler=gcc extras=
    ;;
  tsan)
    name=python3.13t-tsan compiler=clang
    configure_args+=(--with-thread-sanitizer)
    extras="; CPython's suppressions in share/tsan"
    ;;
  *)
    echo "usage: $0 [--if-built] plain|tsan" >&2
    exit 2
    ;;
esac
prefix=$cache/$name
python=$prefix/bin/python3.13t
stamp=$prefix/.vesk-build
# Changing this line (the patches, the options, the compiler, the build
# tools, or the number after "recipe") makes the next run rebuild instead of
# reusing the cache.
recipe="recipe 1: $source_recipe; CC=$compiler; ${configure_args[*]}; ${build_tools[*]}$extras"

built() {
  [ -x "$python" ] && [ -f "$stamp" ] && [ "$(head -n 1 "$stamp")" = "$recipe" ]
}

if built; then
  echo "$python"
  exit 0
fi
[ "$if_built" -eq 0 ] || exit 1

mkdir -p "$cache"
# One build of a flavour at a time; a second caller waits and then reuses it.
exec 9>"$cache/$name.lock"
flock 9
if built; then
  echo "$python"
  exit 0
fi

packages=(build-essential pkg-config dpkg-dev libssl-dev zlib1g-dev libffi-dev libbz2-dev
          liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev uuid-dev libgdbm-dev
          libexpat1-dev)
[ "$compiler" = clang ] && packages+=(clang libclang-rt-14-dev)
"$here/ensure-deps.sh" "${packages[@]}"

# The patched source and the build tools' packages, shared by both flavours.
# apt checks what it downloads against the signed index, dpkg-source the
# source's files against the .dsc. A subshell, so that its lock goes with it.
fetch() (
  local top=$cache/cpython-src apt dir
  apt=$top/apt
  exec 8>"$top.lock"
  flock 8
  if [ -f "$top/source-dir" ] && [ -f "$(cat "$top/source-dir")/.vesk-unpacked" ] &&
     [ "$(head -n 1 "$(cat "$top/source-dir")/.vesk-unpacked")" = "$source_recipe" ] &&
     [ "$(cat "$top/debs/.vesk-fetched" 2>/dev/null)" = "${build_tools[*]}" ]; then
    return
  fi
  rm -rf "$top"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$top/download" "$top/debs"
  # The archive the Debian unstable root was made from (its own sources
  # list, which debootstrap wrote), else the one this machine's apt uses.
  local mirror
  mirror=$(awk '$1 == "deb" { print $2; exit }' "$("$here/sid-root.sh" path)/etc/apt/sources.list" \
           2>/dev/null || true)
  [ -n "$mirror" ] || mirror=$("$here/sid-root.sh" mirror) || return 1
  printf '%s\n' "deb $mirror $suite main" "deb-src $mirror $suite main" >"$apt/sources.list"
  local options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=-"
                 -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache")
  # apt downloads as _apt, who may not write to the cache under root's home.
  [ "$(id -u)" -ne 0 ] || options+=(-o "APT::Sandbox::User=root")
  echo "fetching $source_package and the build tools from $suite (apt-get, private lists in $apt)" >&2
  apt-get "${options[@]}" update -qq
  (cd "$top/download" && apt-get "${options[@]}" source --download-only -qq "$source_package/$suite" &&
   cd "$top/debs" && apt-get "${options[@]}" download -qq "${build_tools[@]/%//$suite}") \
    >"$top/fetch.log" 2>&1 || { tail -n 20 "$top/fetch.log" >&2; return 1; }
  echo "${build_tools[*]}" >"$top/debs/.vesk-fetched"
  local dsc version
  dsc=$(echo "$top"/download/*.dsc)
  version=$(sed -n 's/^Version: //p' "$dsc")
  dir=$top/$source_package-$version
  dpkg-source --skip-patches -x "$dsc" "$dir" >>"$top/fetch.log" 2>&1 ||
    { tail -n 20 "$top/fetch.log" >&2; return 1; }
  local patch skip
  while read -r patch _; do
    case $patch in ''|'#'*) continue ;; esac
    for skip in "${skipped_patches[@]}"; do
      [ "$patch" != "$skip" ] || continue 2
    done
    patch -d "$dir" -p1 -s --no-backup-if-mismatch <"$dir/debian/patches/$patch" ||
      { echo "Debian's $patch does not apply" >&2; return 1; }
  done <"$dir/debian/patches/series"
  for patch in "${own_patches[@]}"; do
    patch -d "$dir" -p1 -s --no-backup-if-mismatch <"$patch" ||
      { echo "$patch does not apply" >&2; return 1; }
  done
  printf '%s\nversion: %s\n' "$source_recipe" "$version" >"$dir/.vesk-unpacked"
  echo "$dir" >"$top/source-dir"
)
fetch
source_dir=$(cat "$cache/cpython-src/source-dir")
version=$(sed -n 's/^version: //p' "$source_dir/.vesk-unpacked")

# Out-of-tree, so that both flavours build from the one unpacked source.
build=$cache/build-$name
log=$cache/$name.build.log
rm -rf "$prefix" "$build"
mkdir -p "$build"
echo "building $name from $source_package $version ($compiler, ${configure_args[*]}, make -j$jobs);" \
  "log: $log" >&2
start=$SECONDS
if ! (cd "$build" &&
      CC=$compiler "$source_dir/configure" --prefix="$prefix" "${configure_args[@]}" &&
      make -j"$jobs" &&
      make install) >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "building $name failed; log: $log" >&2
  exit 1
fi
seconds=$((SECONDS - start))

# Debian's packages install their modules into <prefix>/lib/python3/dist-packages.
unpacked=$build/debs
for deb in "$cache"/cpython-src/debs/*.deb; do
  dpkg-deb -x "$deb" "$unpacked"
done
mkdir -p "$prefix/lib/python3"
mv "$unpacked/usr/lib/python3/dist-packages" "$prefix/lib/python3/"

# CPython's own ThreadSanitizer suppressions (its known reports, each with
# its reason), where a run of our code can name them.
if [ "$flavour" = tsan ]; then
  mkdir -p "$prefix/share/tsan"
  cp "$source_dir"/Tools/tsan/*.txt "$prefix/share/tsan/"
fi

# A module left out for want of a library fails the build here, rather than
# surfacing later as a skipped test.
check='import sys
assert not sys._is_gil_enabled(), "the GIL is on"
import ssl, hashlib, zlib, ctypes, sqlite3, lzma, bz2, readline, curses, uuid, _uuid
import dbm.gnu, pyexpat, decimal, _decimal, _testcapi, venv, ensurepip
import setuptools.build_meta, wheel, build.__main__, pkg_resources
print(sys.version)'
if ! "$python" -c "$check" >>"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "$name was built but fails its check; log: $log" >&2
  exit 1
fi
rm -rf "$build"
printf '%s\nsource: %s %s\nbuild: %ss with make -j%s\n' \
  "$recipe" "$source_package" "$version" "$seconds" "$jobs" >"$stamp.tmp"
mv "$stamp.tmp" "$stamp"
echo "built $name in ${seconds}s" >&2
echo "$python"
