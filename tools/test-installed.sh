#!/usr/bin/env bash
# Installs vesk into a fresh venv of PYTHON, offline, and runs the suite
# against that installed copy from outside the checkout.
#
# Where PYTHON has the build and wheel packages (Debian's python3), the
# sdist and then the wheel built from it go to DIST, and the wheel is
# installed. Elsewhere the venv's own pip installs the checkout
# (pip install --no-build-isolation), which runs the same setup.py.
# With VESK_WHEEL set, that wheel is installed instead (no build): what
# tools/test-wheelhouse.sh runs for each wheel of the wheelhouse.
# Usage: tools/test-installed.sh PYTHON ROOT PYDEPS DIST
set -euo pipefail
python=$1 root=$2 pydeps=$3 dist=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/vesk-installed.XXXXXX")
trap 'rm -rf "$work"' EXIT
venv=$work/venv
cd "$work"

if "$python" -c 'import requests' 2>/dev/null; then
  # Debian's python3: requests and pytest come from Debian's packages.
  "$python" -m venv --system-site-packages "$venv"
else
  # No index: requests comes from Debian's pure-Python stack (tools/pydeps.sh).
  "$python" -m venv "$venv"
  site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  echo "$pydeps" >"$site/vesk-pydeps.pth"
fi

if [ -n "${VESK_WHEEL:-}" ]; then
  # --no-deps on pip 18.1 (3.6) only: Debian's requests, linked in, says it
  # needs 3.7, which that pip enforces.
  deps=()
  "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info >= (3, 7))' && deps=(--no-deps)
  "$venv/bin/python" -m pip install -q --no-index "${deps[@]}" "$VESK_WHEEL" >"$work/install.log" 2>&1 ||
    { tail -n 40 "$work/install.log"; exit 1; }
elif "$python" -c 'import build.__main__, wheel' 2>/dev/null; then
  rm -rf "$dist"
  "$python" -m build --no-isolation --outdir "$dist" "$root" >"$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log"; exit 1; }
  "$venv/bin/python" -m pip install -q --no-index "$dist"/vesk-*.whl
else
  if ! "$venv/bin/python" -c 'import setuptools' 2>/dev/null; then
    # 3.12 on: venv brings pip alone. Debian's setuptools is patched for
    # Debian's python3 (AttributeError: install_layout elsewhere).
    echo "cannot install offline: the venv of $python has no setuptools and there is no index" >&2
    exit 1
  fi
  # The venvs of pyenv's 3.7 to 3.11 have setuptools but not wheel, which
  # setuptools needs to build one: they get Debian's, pure Python, 3.7+.
  if ! "$venv/bin/python" -c 'import wheel' 2>/dev/null &&
     "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info < (3, 7))'; then
    mkdir "$work/wheel"
    ln -s /usr/lib/python3/dist-packages/wheel /usr/lib/python3/dist-packages/wheel-*info "$work/wheel/"
    export PYTHONPATH=$work/wheel
  fi
  # --no-deps: Debian's requests says it needs 3.7, which pip 18.1 (3.6) enforces.
  "$venv/bin/python" -m pip install -q --no-index --no-build-isolation --no-deps "$root" \
    >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log"; exit 1; }
  unset PYTHONPATH
fi

# The suite from a copy of tests/, tools/ and the README (whose first round
# it runs) alone: the test runners put their own folder first on sys.path,
# and the checkout's would hold vesk/.
mkdir "$work/suite"
tar -C "$root" --exclude=__pycache__ -cf - tests tools README.md | tar -C "$work/suite" -xf -
echo "testing vesk installed in $venv"
PATH="$venv/bin:$PATH" VESK_TEST_INSTALLED=$venv \
  "$root/tools/run-tests.sh" "$venv/bin/python" "$work/suite" "$pydeps"
