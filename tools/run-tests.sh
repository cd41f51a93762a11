#!/usr/bin/env bash
# Runs the suite of the tree ROOT on PYTHON, or only the named test modules
# (tests.test_x ...): under pytest where the interpreter has it, under
# unittest elsewhere.
# Usage: tools/run-tests.sh PYTHON ROOT PYDEPS [MODULE...]
set -euo pipefail
python=$1 root=$2 pydeps=$3
shift 3
cd "$root"
export PYTHONPATH="$root:$pydeps"
export PYTHONDONTWRITEBYTECODE=1
if "$python" -c 'import pytest' 2>/dev/null; then
  paths=()
  for module in "$@"; do
    paths+=("${module//.//}.py")
  done
  exec "$python" -m pytest -q -p no:cacheprovider -rs "${paths[@]:-tests}"
elif [ $# -gt 0 ]; then
  exec "$python" -m unittest "$@"
else
  exec "$python" -m unittest discover -s tests -t .
fi
