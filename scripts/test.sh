#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine: the x64
# build's suite and, beside it, the x86 build's (what differs by bitness),
# whose tests skip with the reason where this machine cannot run 32-bit
# programs. Each suite runs two at a time in a prefix of its own (tests that
# share the prefix's state take its lock in turn), and the two share no
# state, so they run at once. The linux suite (the collector host's page,
# a native build) runs first; it is small. VARDEL_PRESET picks one suite.
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$top/scripts/setup.sh"
cd "$top"
if [ -n "${VARDEL_PRESET:-}" ]; then
  exec ctest --preset "$VARDEL_PRESET" "$@"
fi
# suite NAME PRESET [CTEST ARGS...]: one ctest run, its console output in
# the build's NAME.log and its results in NAME.xml for the summary.
dir_of() { case "$1" in x64) echo "$top/build" ;; *) echo "$top/build-$1" ;; esac; }
suite() {
  local name=$1 preset=$2 dir; shift 2
  dir=$(dir_of "$preset")
  ctest --preset "$preset" --output-junit "$dir/$name.xml" "$@" >"$dir/$name.log" 2>&1
}
results=(linux="$top/build-linux/test-suite.xml" x64="$top/build/test-suite.xml" x86="$top/build-x86/test-suite.xml")
rc=0
echo "== linux suite (the collector host's page)"
suite test-suite linux "$@" || rc=$?
cat "$top/build-linux/test-suite.log"
echo "== The x86 suite runs beside the x64 suite; its output follows the x64 suite's"
suite test-suite x86 "$@" &
x86=$!
suite test-suite x64 "$@" || rc=$?
wait $x86 || rc=$?
cat "$top/build/test-suite.log"
echo "== x86 suite"
cat "$top/build-x86/test-suite.log"

# The skip paths: where 32-bit programs run, the tests whose path depends on
# that (label no32, and the whole x86 suite) run once more as on a machine
# without them (VARDEL_NO_32BIT=1), so that neither path breaks unseen.
why=$(bash "$top/cmake/wine-run" "$top/build" --why-no-32)
if [ -z "$why" ]; then
  echo "== Once more as a machine without 32-bit programs (VARDEL_NO_32BIT=1)"
  results+=(x64-no32="$top/build/test-suite-no32.xml" x86-no32="$top/build-x86/test-suite-no32.xml")
  VARDEL_NO_32BIT=1 suite test-suite-no32 x86 "$@" &
  x86=$!
  VARDEL_NO_32BIT=1 suite test-suite-no32 x64 -L no32 "$@" || rc=$?
  wait $x86 || rc=$?
  for log in "$top/build/test-suite-no32.log" "$top/build-x86/test-suite-no32.log"; do
    grep -E '^[0-9]+% tests passed|\((Failed|Timeout|Not Run)\)|\(Skipped\)' "$log" || true
  done
else
  echo "== 32-bit programs cannot run here ($why): the suites above took the skip paths"
fi

echo "== Summary"
for log in build-linux/test-suite.log build/test-suite.log build-x86/test-suite.log; do
  echo "$log: $(grep -E '^[0-9]+% tests passed' "$top/$log" || echo 'no result')"
done
python3 "$top/scripts/test_summary.py" "${results[@]}"
exit $rc
