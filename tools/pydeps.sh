#!/usr/bin/env bash
# Makes a folder of links to Debian's pure-Python requests stack, so that
# interpreters without it (the pyenv ones) can import requests when the
# folder is put first on PYTHONPATH. Usage: tools/pydeps.sh FOLDER
set -euo pipefail
dest=$1
src=/usr/lib/python3/dist-packages
mkdir -p "$dest"
for name in requests urllib3 idna certifi chardet charset_normalizer six.py; do
  [ -e "$src/$name" ] || { echo "missing $src/$name" >&2; exit 1; }
  ln -sfn "$src/$name" "$dest/$name"
done
