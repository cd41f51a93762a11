#!/usr/bin/env bash
# The newest CPython releases, which this Debian does not carry, in the
# Debian unstable root of tools/sid-root.sh (made, or brought up to date,
# first): the suite on each of the root's interpreters below (a debug
# build's run includes the reference-leak tests), then the front door with
# the root's defaults: build, demo, dist, test-installed and stubtest.
# Prints one line per step; the logs go to build/newest/.
# Usage: tools/newest.sh (what `make newest` runs)
#        tools/newest.sh --interpreters   lists the interpreters of the root
#                                         that the suite runs on
# Exit status: 0 when every step passes, 1 when one fails, 69 when the root
# cannot be made (tools/sid-root.sh says why on stderr).
set -uo pipefail
cd "$(dirname "$0")/.."

# The interpreters tested, where the root has them: 3.15's debug build is
# tested too when the archive carries one.
interpreters=(python3.14 python3.14-dbg python3.15 python3.15-dbg)
if [ "${1:-}" = --interpreters ]; then
  root=$(tools/sid-root.sh path)
  for python in "${interpreters[@]}"; do
    [ -e "$root/usr/bin/$python" ] && echo "$python"
  done
  exit 0
fi

start=$SECONDS
read -ra packages <<<"$(make -s --no-print-directory newest-packages)"
tools/sid-root.sh install "${packages[@]}"
status=$?
[ $status -eq 0 ] || exit $status
root=$(tools/sid-root.sh path)
echo "Debian unstable root ready in $((SECONDS - start))s: $root"

mkdir -p build/newest
failed=0
summary=()
# step LABEL COMMAND...: COMMAND in the root, its output in a log.
step() {
  local label=$1 log
  shift
  log="build/newest/$(echo "$label" | tr ' /=' '_').log"
  local begin=$SECONDS result=pass
  if ! tools/sid-root.sh run -- "$@" >"$log" 2>&1; then
    result=FAIL
    failed=1
    tail -n 40 "$log"
  fi
  summary+=("$(printf '%-6s %-44s %4ss  %s' "$result" "$label" $((SECONDS - begin)) "$(tail -n 1 "$log")")")
}

# The interpreter the root's python3 is gets its run as the default one.
default=$(readlink -f "$root/usr/bin/python3")
# NEWEST_INSTALLED=no leaves test-installed out (CI tests the root's
# interpreters as installed from their wheels).
targets=(build test demo dist test-installed stubtest)
if [ "${NEWEST_INSTALLED:-yes}" = no ]; then
  targets=(build test demo dist stubtest)
fi
for python in "${interpreters[@]}"; do
  [ -e "$root/usr/bin/$python" ] || continue
  if [ "$(readlink -f "$root/usr/bin/$python")" = "$default" ]; then
    step "make test ($python)" make --no-print-directory test
    rest=()
    for target in "${targets[@]}"; do
      [ "$target" = test ] || rest+=("$target")
    done
    targets=("${rest[@]}")
  else
    step "make test PYTHON=/usr/bin/$python" make --no-print-directory test PYTHON=/usr/bin/$python
  fi
done
for target in "${targets[@]}"; do
  step "make $target" make --no-print-directory $target
done
printf '%s\n' "${summary[@]}"
exit $failed
