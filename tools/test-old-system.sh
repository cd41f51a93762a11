#!/usr/bin/env bash
# The cp39 wheel of dist/wheelhouse/ on an older system with no compiler: a
# Debian 11 (bullseye) root of tools/sid-root.sh, with glibc 2.31 and its
# own python3 (3.9), pip, venv, requests and pytest. The wheel goes offline
# (pip install --no-index) into a fresh venv there, outside the checkout,
# and the suite runs against that installed copy, as tools/test-installed.sh
# runs it.
# Usage: tools/test-old-system.sh [WHEEL]     (make test-old-system)
#        tools/test-old-system.sh --prepare   makes the root only
# Exit status: the suite's; 69 when the root cannot be made.
set -euo pipefail
cd "$(dirname "$0")/.."
suite=bullseye
packages=(python3 python3-pip python3-venv python3-requests python3-pytest)

if [ "${1:-}" = --prepare ]; then
  # Only the root and its packages (CI makes it beside other work).
  exec tools/sid-root.sh --suite "$suite" install "${packages[@]}"
fi

if [ "${1:-}" = --inside ]; then
  # In the root: nothing may compile the modules here.
  wheel=$2
  for compiler in cc gcc g++ c++ clang; do
    if command -v "$compiler" >/dev/null; then
      echo "the $suite root has a compiler ($compiler): it must not" >&2
      exit 1
    fi
  done
  echo "$(. /etc/os-release && echo "$PRETTY_NAME"), $(ldd --version | head -n 1), $(python3 -V)"
  work=$(mktemp -d /tmp/vesk-old-system.XXXXXX)
  python3 -m venv --system-site-packages "$work/venv"
  "$work/venv/bin/python" -m pip install -q --no-index "$wheel"
  mkdir "$work/suite"
  tar --exclude=__pycache__ -cf - tests tools README.md | tar -C "$work/suite" -xf -
  echo "testing $(basename "$wheel") installed in $work/venv"
  PATH="$work/venv/bin:$PATH" VESK_TEST_INSTALLED=$work/venv \
    exec tools/run-tests.sh "$work/venv/bin/python" "$work/suite" "$work/suite"
fi

wheel=${1:-$(ls dist/wheelhouse/vesk-*-cp39-cp39-*.whl 2>/dev/null | head -n 1)}
if [ -z "$wheel" ] || [ ! -f "$wheel" ]; then
  echo "no cp39 wheel in dist/wheelhouse/ (make wheelhouse)" >&2
  exit 1
fi
wheel=$(cd "$(dirname "$wheel")" && pwd)/$(basename "$wheel")
tools/sid-root.sh --suite "$suite" install "${packages[@]}"
tools/sid-root.sh --suite "$suite" run --bind "$(dirname "$wheel")" -- \
  bash tools/test-old-system.sh --inside "$wheel"
