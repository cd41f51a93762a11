#!/usr/bin/env bash
# The threaded tests under ThreadSanitizer: the free-threaded interpreter
# built with it (tools/free-threaded-python.sh tsan) and both modules built
# with clang's -fsanitize=thread, in a copy of the tree so that the in-place
# modules stay as they are. Passes when no test fails and no report names
# code of ours; reports from the interpreter alone are listed, not counted.
# Usage: tools/check-tsan.sh PYTHON ROOT PYDEPS
set -euo pipefail
python=$1 root=$2 pydeps=$3
prefix=$(cd "$(dirname "$python")/.." && pwd)
work=$root/build/tsan
tree=$work/tree
rm -rf "$tree" && mkdir -p "$tree"
tar -C "$root" --exclude=__pycache__ --exclude='*.so' -cf - CMakeLists.txt vesk tests tools |
  tar -C "$tree" -xf -
# clang, as the interpreter: its ThreadSanitizer runtime lives in the
# interpreter's executable, and the modules must call that one.
CXX=clang++ cmake -S "$tree" -B "$work/obj" -G Ninja -DPython_EXECUTABLE="$python" \
  -DVESK_WERROR="${WERROR:-OFF}" -DVESK_SANITIZE=thread >/dev/null
cmake --build "$work/obj"

# The interpreter's own known reports are CPython's suppressions, as its
# free-threading CI uses them; nothing of ours is suppressed.
suppressions=$prefix/share/tsan/suppressions_free_threading.txt
log=$work/reports.log
rm -f "$log".*
status=0
PYTHON_GIL=0 TSAN_OPTIONS="suppressions=$suppressions:log_path=$log:halt_on_error=0:second_deadlock_stack=1" \
  "$root/tools/run-tests.sh" "$python" "$tree" "$pydeps" \
  tests.test_threads tests.test_token_concurrency ||
  status=$?

logs=$(cat "$log".* 2>/dev/null || true)
reports=$(grep -c '^WARNING: ThreadSanitizer' <<<"$logs" || true)
ours=$(awk '/^WARNING: ThreadSanitizer/{report=""} {report=report $0 "\n"}
            /^SUMMARY: ThreadSanitizer/{if (report ~ /(vandrel|urls)\.cpython|lite_extensions/) n++}
            END{print n+0}' <<<"$logs")
echo "ThreadSanitizer: $reports report(s) in all, $ours naming our modules (logs: $log.*)"
if [ "$ours" -ne 0 ]; then
  awk '/^WARNING: ThreadSanitizer/,/^SUMMARY: ThreadSanitizer/' <<<"$logs" | head -n 200
  exit 1
fi
exit $status
