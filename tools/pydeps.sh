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
# requests and what it needs. Older Debian's urllib3 needs six and its
# requests one of chardet and charset_normalizer; newer Debian has no six
# under requests: those are linked where Debian has them.
required=(requests urllib3 idna certifi)
optional=(charset_normalizer chardet six)
for name in "${required[@]}" "${optional[@]}"; do
  found=0
  for path in "$src/$name" "$src/$name.py" "$src/$name"-*.egg-info "$src/$name"-*.dist-info; do
    [ -e "$path" ] || continue
    # Only where it is missing or leads elsewhere: runs side by side share
    # the folder, and a link replaced while another run reads it could be
    # missing for a moment.
    [ "$(readlink "$dest/$(basename "$path")" 2>/dev/null)" = "$path" ] ||
      ln -sfn "$path" "$dest/$(basename "$path")"
    found=$((found + 1))
  done
  if [ "$found" -lt 2 ]; then
    rm -f "$dest/$name" "$dest/$name.py" "$dest/$name"-*-info
    case " ${required[*]} " in
      *" $name "*) echo "missing $src/$name or its metadata" >&2; exit 1 ;;
    esac
  fi
done
