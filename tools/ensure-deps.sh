#!/usr/bin/env bash
# Installs, from Debian's packages, whatever of the named packages is missing.
# Usage: tools/ensure-deps.sh PACKAGE...
set -euo pipefail
missing=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# Another install running at the same time (CI prepares its interpreters
# beside the tests) holds dpkg's lock: wait for it rather than fail.
wait_lock=(-o DPkg::Lock::Timeout=900)
$sudo apt-get "${wait_lock[@]}" update -qq >/dev/null
$sudo apt-get "${wait_lock[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
