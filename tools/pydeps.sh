#!/usr/bin/env bash
# Makes a folder of links to Debian's pure-Python requests stack, so that
# interpreters without it (the pyenv ones) can import requests when the
# folder is put first on PYTHONPATH. The metadata folders are linked too:
# pip and pkg_resources (an installed `vesk` command on 3.6) then see
# requests as installed. Usage: tools/pydeps.sh FOLDER
set -euo pipefail
dest=$1
src=/usr/lib/python3/dist-packages
mkdir -p "$dest"
for name in requests urllib3 idna certifi chardet charset_normalizer six; do
  found=0
  for path in "$src/$name" "$src/$name.py" "$src/$name"-*.egg-info "$src/$name"-*.dist-info; do
    [ -e "$path" ] || continue
    ln -sfn "$path" "$dest/$(basename "$path")"
    found=$((found + 1))
  done
  [ "$found" -ge 2 ] || { echo "missing $src/$name or its metadata" >&2; exit 1; }
done
