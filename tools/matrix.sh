#!/usr/bin/env bash
# Builds and tests on every CPython here: Debian's python3 and each pyenv
# interpreter from 3.6 on. Prints one line per interpreter; fails if any fails.
set -uo pipefail
interpreters=(/usr/bin/python3)
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
for version in $(ls "$pyenv_root/versions" 2>/dev/null | grep -E '^3\.([6-9]|1[0-9])\.[0-9]+$' | sort -V); do
  interpreters+=("$pyenv_root/versions/$version/bin/python")
done
if [ ${#interpreters[@]} -eq 1 ]; then
  echo "note: no pyenv interpreters under $pyenv_root; testing Debian's python3 only" >&2
fi
mkdir -p build/matrix
failed=0
summary=()
for python in "${interpreters[@]}"; do
  version=$("$python" -c 'import platform; print(platform.python_version())')
  log="build/matrix/$(echo "$python" | tr / _).log"
  start=$SECONDS
  if make --no-print-directory test PYTHON="$python" WERROR="${WERROR:-OFF}" >"$log" 2>&1; then
    result=pass
  else
    result=FAIL
    failed=1
    tail -n 40 "$log"
  fi
  summary+=("$(printf '%-6s %-8s %-40s %4ss  %s' "$result" "$version" "$python" $((SECONDS - start)) "$(tail -n 1 "$log")")")
done
printf '%s\n' "${summary[@]}"
exit $failed
