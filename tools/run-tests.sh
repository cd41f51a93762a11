#!/usr/bin/env bash
# Runs the suite of the tree ROOT on PYTHON: under pytest where the
# interpreter has it, under unittest elsewhere.
# Usage: tools/run-tests.sh PYTHON ROOT PYDEPS
set -euo pipefail
python=$1 root=$2 pydeps=$3
cd "$root"
export PYTHONPATH="$root:$pydeps"
export PYTHONDONTWRITEBYTECODE=1
if "$python" -c 'import pytest' 2>/dev/null; then
  exec "$python" -m pytest -q -p no:cacheprovider -rs tests
else
  exec "$python" -m unittest discover -s tests -t .
fi
