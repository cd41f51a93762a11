#!/usr/bin/env bash
# Builds and tests on every CPython here: Debian's python3, each pyenv
# interpreter from 3.6 on, the free-threaded 3.13 where it has been built
# (make free-threaded-python) and, where `make newest` has made its Debian
# unstable root, the newest interpreters inside it (tools/newest.sh; not with
# MATRIX_NEWEST=no). Prints one line per interpreter; fails if any fails.
# A narrower run (CI, where the installed wheels cover the rest):
#   MATRIX_DEBIAN=no          leaves Debian's python3 out
#   MATRIX_PYENV="3.6 3.13"   only the pyenv interpreters of those versions
#   MATRIX_FREE_THREADED=no   leaves the free-threaded interpreter out
set -uo pipefail
interpreters=()
[ "${MATRIX_DEBIAN:-yes}" = no ] || interpreters+=(/usr/bin/python3)
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
for version in $(ls "$pyenv_root/versions" 2>/dev/null | grep -E '^3\.([6-9]|1[0-9])\.[0-9]+$' | sort -V); do
  if [ -n "${MATRIX_PYENV:-}" ] && ! [[ " $MATRIX_PYENV " == *" ${version%.*} "* ]]; then
    continue
  fi
  interpreters+=("$pyenv_root/versions/$version/bin/python")
done
if [ -z "$(ls "$pyenv_root/versions" 2>/dev/null)" ]; then
  echo "note: no pyenv interpreters under $pyenv_root" >&2
fi
if [ "${MATRIX_FREE_THREADED:-yes}" = no ]; then
  :
elif free_threaded=$(tools/free-threaded-python.sh --if-built plain); then
  interpreters+=("$free_threaded")
else
  echo "note: no free-threaded interpreter built (make free-threaded-python); not tested" >&2
fi
# Those of the root run through tools/sid-root.sh, written "sid:PATH".
root=$(tools/sid-root.sh path)
if [ "${MATRIX_NEWEST:-yes}" != no ] && [ -d "$root" ]; then
  for python in $(tools/newest.sh --interpreters); do
    interpreters+=("sid:/usr/bin/$python")
  done
elif [ "${MATRIX_NEWEST:-yes}" != no ]; then
  echo "note: no Debian unstable root at $root (make newest makes it); its interpreters are left out" >&2
fi
mkdir -p build/matrix
failed=0
summary=()
for python in "${interpreters[@]}"; do
  inside=()
  case $python in
    sid:*) python=${python#sid:}; inside=(tools/sid-root.sh run --) ;;
  esac
  version=$("${inside[@]}" "$python" -c 'import platform, sysconfig
print(platform.python_version() + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
  log="build/matrix/${inside:+sid}$(echo "$python" | tr / _).log"
  start=$SECONDS
  if "${inside[@]}" make --no-print-directory test PYTHON="$python" WERROR="${WERROR:-OFF}" >"$log" 2>&1; then
    result=pass
  else
    result=FAIL
    failed=1
    tail -n 40 "$log"
  fi
  summary+=("$(printf '%-6s %-8s %-46s %4ss  %s' "$result" "$version" "${inside:+sid:}$python" $((SECONDS - start)) "$(tail -n 1 "$log")")")
done
printf '%s\n' "${summary[@]}"
exit $failed
