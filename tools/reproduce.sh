#!/usr/bin/env bash
# Builds the checked-out commit twice and compares the results byte for
# byte: two clones at different paths, the second under another umask and
# started when the first is done, SOURCE_DATE_EPOCH the commit's time in
# both. Uncommitted changes are not part of it.
#
# Usage: tools/reproduce.sh [--wheelhouse]
#   default        `make dist` in each clone: the sdist and PYTHON's wheel
#   --wheelhouse   `make wheelhouse` in each clone: every file of it
# PYTHON (environment) is passed on to make. Prints the SHA-256 of every
# file of both builds side by side, then the files that differ.
# Exit status: 0 when every file is the same, 1 when one differs or is
# missing from one side, 69 when the wheelhouse cannot be made here (see
# tools/wheelhouse.sh), else that of the build that failed.
set -uo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
target=dist
folder=dist
case "${1:-}" in
  "") ;;
  --wheelhouse) target=wheelhouse folder=dist/wheelhouse ;;
  *) sed -n '/^# Usage:/,/^# Exit/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 64 ;;
esac
make_args=(--no-print-directory "$target")
[ -n "${PYTHON:-}" ] && make_args+=("PYTHON=$PYTHON")
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) || exit 1
export SOURCE_DATE_EPOCH

work=$checkout/build/reproduce
rm -rf "$work"
mkdir -p "$work"
# Paths of different lengths: a path that slipped into a build would shift
# everything after it as well.
first=$work/first/vesk
second=$work/second/at/another/path/vesk

# build LABEL DIR UMASK: a clone of the checkout's HEAD at DIR, built there.
build() {
  local log=$work/$1.log dir=$2 mask=$3 status=0
  (
    umask "$mask"
    git clone --quiet --no-checkout "$checkout" "$dir" &&
      git -C "$dir" fetch --quiet "$checkout" HEAD &&
      git -C "$dir" checkout --quiet --detach FETCH_HEAD &&
      make -C "$dir" "${make_args[@]}"
  ) >"$log" 2>&1 || status=$?
  if [ $status -ne 0 ]; then
    tail -n 30 "$log" >&2
    echo "reproduce: the build in $dir failed ($status), log: $log" >&2
  fi
  return $status
}

# "SHA-256 NAME" per file of a build, sorted by name.
hashes() {
  (cd "$1/$folder" && find . -maxdepth 1 -type f -printf '%f\n' | LC_ALL=C sort |
    while read -r name; do sha256sum "$name"; done)
}

start=$SECONDS
build first "$first" 022 || exit $?
echo "first build ($target, umask 022) in $((SECONDS - start))s: $first"
begin=$SECONDS
build second "$second" 077 || exit $?
echo "second build ($target, umask 077) in $((SECONDS - begin))s: $second"

hashes "$first" >"$work/first.sha256"
hashes "$second" >"$work/second.sha256"
differ=0
printf '%-64s  %-64s  %s\n' "SHA-256 of the first" "SHA-256 of the second" file
while read -r name; do
  one=$(awk -v n="$name" '$2 == n { print $1 }' "$work/first.sha256")
  two=$(awk -v n="$name" '$2 == n { print $1 }' "$work/second.sha256")
  mark=""
  if [ -z "$one" ] || [ "$one" != "$two" ]; then
    mark="  DIFFERS"
    differ=1
  fi
  printf '%-64s  %-64s  %s%s\n' "${one:--}" "${two:--}" "$name" "$mark"
done < <(cat "$work/first.sha256" "$work/second.sha256" | awk '{ print $2 }' | LC_ALL=C sort -u)
if [ $differ -ne 0 ]; then
  echo "reproduce: the two builds differ (the files marked above; full hashes in $work)" >&2
  exit 1
fi
echo "reproduce: $(wc -l <"$work/first.sha256") files, the same bytes in both builds"
