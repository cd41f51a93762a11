#!/usr/bin/env bash
# Each wheel of dist/wheelhouse installed offline into a fresh venv of its
# own interpreter, outside the checkout, and the installed suite run on it
# (tools/test-installed.sh with VESK_WHEEL). The unstable root's wheels are
# tested inside the root. One line per wheel; fails when one fails.
# VESK_WHEEL_JOBS (default 2) suites run at once: they wait on their local
# servers and child processes more than they compute.
#
# Usage: tools/test-wheelhouse.sh [WHEEL...]      every wheel, or those given
#        tools/test-wheelhouse.sh --python PYTHON WHEEL
#                         one wheel on one interpreter, here (e.g. inside
#                         another root: run this there with its python3)
# Exit status: 0 when every installed suite passes, 1 when one fails or a
# wheel has no interpreter here.
set -uo pipefail
cd "$(dirname "$0")/.."
root_dir=$PWD

if [ "${1:-}" = --python ]; then
  [ $# -eq 3 ] || { echo "usage: $0 --python PYTHON WHEEL" >&2; exit 64; }
  # Links to this system's requests stack: one folder per system (the roots
  # share the checkout) and interpreter.
  pydeps=$root_dir/build/pydeps-$(tr -c 'a-zA-Z0-9.\n' _ </etc/debian_version)-$(basename "$2")
  tools/pydeps.sh "$pydeps" || exit 1
  VESK_WHEEL=$(readlink -f "$3") exec tools/test-installed.sh "$2" "$root_dir" "$pydeps" /nonexistent
fi

wheels=("$@")
[ ${#wheels[@]} -gt 0 ] || wheels=(dist/wheelhouse/*.whl)
declare -A pythons
while read -r label python; do
  pythons[$label]=$python
done < <(tools/wheelhouse.sh --list)

mkdir -p build/wheelhouse/logs
jobs=${VESK_WHEEL_JOBS:-2}
start=$SECONDS

# test_one WHEEL: its installed suite, the log in build/wheelhouse/logs and
# a result line beside it.
test_one() {
  local wheel=$1 abi label python log result begin=$SECONDS
  # The ABI tag names the interpreter: cp36m is 3.6's, cp313t the free-threaded 3.13.
  abi=$(basename "$wheel" .whl | cut -d- -f4)
  label=${abi%m}
  python=${pythons[$label]:-}
  log=build/wheelhouse/logs/test-$label.log
  if [ -z "$python" ]; then
    result=FAIL
    echo "no interpreter for $wheel" >"$log"
  elif [ "${python#root:}" != "$python" ]; then
    tools/sid-root.sh run -- tools/test-wheelhouse.sh --python "${python#root:}" "$wheel" >"$log" 2>&1 &&
      result=pass || result=FAIL
  else
    tools/test-wheelhouse.sh --python "$python" "$wheel" >"$log" 2>&1 && result=pass || result=FAIL
  fi
  printf '%-6s %-66s %4ss  %s\n' $result "$(basename "$wheel")" $((SECONDS - begin)) \
    "$(grep -E '^(OK|FAILED)|^=* *[0-9]+ (passed|failed)' "$log" | tail -n 1)" >"$log.result"
}

for wheel in "${wheels[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
    wait -n
  done
  test_one "$wheel" &
done
wait

failed=0
for wheel in "${wheels[@]}"; do
  abi=$(basename "$wheel" .whl | cut -d- -f4)
  log=build/wheelhouse/logs/test-${abi%m}.log
  if [ -e "$log.result" ] && grep -q '^pass ' "$log.result"; then
    cat "$log.result"
  else
    failed=1
    tail -n 40 "$log"
    cat "$log.result" 2>/dev/null || echo "FAIL   $(basename "$wheel")"
  fi
done
echo "installed suites in $((SECONDS - start))s"
exit $failed
