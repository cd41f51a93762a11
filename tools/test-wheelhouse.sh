#!/usr/bin/env bash
# Each wheel of dist/wheelhouse installed offline into a fresh venv of its
# own interpreter, outside the checkout, and the installed suite run on it
# (tools/test-installed.sh with VESK_WHEEL). The unstable root's wheels are
# tested inside the root. One line per wheel; fails when one fails.
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
  pydeps=$root_dir/build/pydeps-$(basename "$2")
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
failed=0
summary=()
start=$SECONDS
for wheel in "${wheels[@]}"; do
  # The ABI tag names the interpreter: cp36m is 3.6's, cp313t the free-threaded 3.13.
  abi=$(basename "$wheel" .whl | cut -d- -f4)
  label=${abi%m}
  python=${pythons[$label]:-}
  log=build/wheelhouse/logs/test-$label.log
  begin=$SECONDS
  if [ -z "$python" ]; then
    result=FAIL
    echo "no interpreter for $wheel" >"$log"
  elif case $python in root:*) ;; *) false ;; esac; then
    tools/sid-root.sh run -- tools/test-wheelhouse.sh --python "${python#root:}" "$wheel" >"$log" 2>&1 &&
      result=pass || result=FAIL
  else
    tools/test-wheelhouse.sh --python "$python" "$wheel" >"$log" 2>&1 && result=pass || result=FAIL
  fi
  if [ $result = FAIL ]; then
    failed=1
    tail -n 40 "$log"
  fi
  summary+=("$(printf '%-6s %-52s %4ss  %s' $result "$(basename "$wheel")" $((SECONDS - begin)) \
    "$(grep -E '^(Ran|=+ .* in |OK|FAILED)' "$log" | tail -n 1)")")
done
printf '%s\n' "${summary[@]}"
echo "installed suites in $((SECONDS - start))s"
exit $failed
