#!/usr/bin/env bash
# The wheelhouse: the sdist and one wheel per CPython of the machine, each
# built by its own interpreter from the unpacked sdist through setup.py (the
# CMake build), then tagged manylinux by auditwheel in the Debian unstable
# root and checked by twine there. Everything lands in dist/wheelhouse/.
#
# Usage: tools/wheelhouse.sh             builds the wheelhouse
#        tools/wheelhouse.sh --list      prints "LABEL PYTHON" per interpreter
#                                        (PYTHON "root:/usr/bin/..." runs in
#                                        the unstable root)
# Exit status: 0 when every wheel is built and passes the checks, 1 when one
# fails, 69 when the unstable root or the free-threaded build is missing
# and cannot be made (tools/sid-root.sh says why).
set -uo pipefail
cd "$(dirname "$0")/.."
root_dir=$PWD
# The oldest tag auditwheel gives: pip 18.1 (pyenv's 3.6) installs
# manylinux1 wheels but no manylinux2010/2014 or manylinux_X_Y ones, and
# the modules need nothing of glibc newer than 2.4 (glibc_compat.h).
plat=${VESK_WHEEL_PLAT:-manylinux_2_5_x86_64}
pyenv_versions=(3.6 3.7 3.8 3.9 3.10 3.11 3.12 3.13)
root_pythons=(python3.14 python3.15)

# The newest pyenv release of a minor version, or nothing.
pyenv_python() {
  local prefix=${PYENV_ROOT:-$HOME/.pyenv}/versions found
  found=$(ls -d "$prefix/$1".* 2>/dev/null | grep -E "/$1\.[0-9]+$" | sort -V | tail -n 1)
  [ -n "$found" ] && [ -x "$found/bin/python" ] && echo "$found/bin/python"
}

list() {
  local version python
  for version in "${pyenv_versions[@]}"; do
    python=$(pyenv_python "$version") && echo "cp${version/./} $python"
  done
  python=$(tools/free-threaded-python.sh --if-built plain 2>/dev/null | tail -n 1)
  [ -n "$python" ] && echo "cp313t $python"
  for python in "${root_pythons[@]}"; do
    [ -e "$(tools/sid-root.sh path)/usr/bin/$python" ] && echo "cp${python#python}" | tr -d . |
      sed "s|\$| root:/usr/bin/$python|"
  done
  return 0
}

if [ "${1:-}" = --list ]; then
  list
  exit 0
fi

start=$SECONDS
# One time for every archive and tool (the commit's unless set): together
# with the re-packing of build_support/reproducible.py, one commit gives the
# same bytes wherever and whenever it is built.
SOURCE_DATE_EPOCH=$(/usr/bin/python3 build_support/reproducible.py --print-epoch) || exit 1
export SOURCE_DATE_EPOCH
read -ra packages <<<"$(make -s --no-print-directory newest-packages)"
tools/sid-root.sh install "${packages[@]}" >/dev/null || exit $?
tools/free-threaded-python.sh plain >/dev/null || exit $?

work=$root_dir/build/wheelhouse
out=$root_dir/dist/wheelhouse
rm -rf "$work" "$out"
mkdir -p "$work/raw" "$work/logs" "$out"

# The sdist, from the checkout with Debian's python3 (build and setuptools).
if ! /usr/bin/python3 -m build --sdist --no-isolation --outdir "$out" . >"$work/logs/sdist.log" 2>&1; then
  tail -n 40 "$work/logs/sdist.log"
  exit 1
fi
sdist=$(ls "$out"/vesk-*.tar.gz)
tar -C "$work" -xzf "$sdist"
src=$(ls -d "$work"/vesk-*/)
src=${src%/}
echo "sdist $(basename "$sdist") in $((SECONDS - start))s"

# Build tools the interpreters lack, pure Python: Debian's wheel (3.7+) for
# pyenv's 3.7 to 3.11, which have setuptools but not wheel; the setuptools
# and wheel of trixie carried by the free-threaded build (3.9+) for pyenv's
# 3.12 and 3.13, which have pip alone (Debian's setuptools is patched for
# Debian's interpreter and fails on others).
mkdir -p "$work/tools-wheel"
# (the metadata too: setuptools finds bdist_wheel through its entry points)
ln -sfn /usr/lib/python3/dist-packages/wheel /usr/lib/python3/dist-packages/wheel-*info "$work/tools-wheel/"
ft_python=$(tools/free-threaded-python.sh --if-built plain | tail -n 1)
ft_tools=$(dirname "$(dirname "$ft_python")")/lib/python3/dist-packages

failed=0
summary=()
while read -r label python; do
  begin=$SECONDS
  before=$(ls "$work/raw" | wc -l)
  log=$work/logs/$label.log
  case "$label:$python" in
    *:root:*)
      # Debian's own 3.14/3.15 with the root's setuptools and wheel.
      tools/sid-root.sh run --env SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" -- \
        "${python#root:}" -m pip wheel --no-index --no-build-isolation \
        --no-deps -w "$work/raw" "$src" >"$log" 2>&1 ;;
    cp36:*)
      # No wheel package for 3.6: setup.py installs into a stage, which
      # tools/wheelhouse.py packs with the interpreter's own tag.
      tag=$("$python" -c 'import sys; v = "%d%d" % sys.version_info[:2]; print("cp%s-cp%sm-linux_x86_64" % (v, v))')
      stage=$work/stage36
      (cd "$src" && "$python" setup.py install --single-version-externally-managed \
          --record "$stage/record.txt" --prefix "$stage" --install-lib "$stage/site" \
          --install-scripts "$stage/bin" --install-data "$stage/data" &&
        /usr/bin/python3 "$root_dir/tools/wheelhouse.py" "$stage/site" "$tag" "$work/raw") \
        >"$log" 2>&1 ;;
    cp313t:*)
      "$python" -m build --wheel --no-isolation --outdir "$work/raw" "$src" >"$log" 2>&1 ;;
    cp312:* | cp313:*)
      PYTHONPATH=$ft_tools "$python" -m pip wheel --no-index --no-build-isolation --no-deps \
        -w "$work/raw" "$src" >"$log" 2>&1 ;;
    *)
      PYTHONPATH=$work/tools-wheel "$python" -m pip wheel --no-index --no-build-isolation --no-deps \
        -w "$work/raw" "$src" >"$log" 2>&1 ;;
  esac
  status=$?
  built=$(ls -t "$work/raw"/*.whl 2>/dev/null | head -n 1)
  if [ $status -ne 0 ] || [ "$(ls "$work/raw" | wc -l)" -ne $((before + 1)) ]; then
    failed=1
    tail -n 30 "$log"
    summary+=("$(printf 'FAIL   %-8s %4ss  %s' "$label" $((SECONDS - begin)) "$log")")
  else
    summary+=("$(printf 'built  %-8s %4ss  %s' "$label" $((SECONDS - begin)) "$(basename "$built")")")
  fi
done < <(list)

# The manylinux tag, judged by auditwheel; then the metadata of all. What
# auditwheel writes is re-packed as the backend re-packs what it builds (its
# own output is kept in build/wheelhouse/repaired to compare).
begin=$SECONDS
if ! tools/sid-root.sh run --env SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" -- \
     auditwheel repair --plat "$plat" --only-plat -w "$work/repaired" "$work"/raw/*.whl \
     >"$work/logs/auditwheel.log" 2>&1; then
  failed=1
  tail -n 30 "$work/logs/auditwheel.log"
fi
if ls "$work"/repaired/*.whl >/dev/null 2>&1; then
  cp "$work"/repaired/*.whl "$out"/ &&
    /usr/bin/python3 build_support/reproducible.py "$out"/*.whl || failed=1
fi
summary+=("$(printf 'tagged %-8s %4ss  %s' "$plat" $((SECONDS - begin)) "$(ls "$out"/*.whl 2>/dev/null | wc -l) wheels")")
if ! tools/sid-root.sh run -- twine check --strict "$out"/* >"$work/logs/twine.log" 2>&1; then
  failed=1
  cat "$work/logs/twine.log"
fi
summary+=("$(printf 'twine  %-8s %4ss  %s' check 0 "$(grep -c PASSED "$work/logs/twine.log") files passed")")
printf '%s\n' "${summary[@]}"
echo "wheelhouse in $((SECONDS - start))s: $out"
exit $failed
