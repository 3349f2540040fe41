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
linux_log=$top/build-linux/test-suite.log
rc=0
echo "== linux suite (the page)"
ctest --preset linux "$@" 2>&1 | tee "$linux_log" || rc=$?
x86_log=$top/build-x86/test-suite.log
echo "== The x86 suite runs beside the x64 suite; its output follows the x64 suite's (and is in $x86_log)"
ctest --preset x86 "$@" >"$x86_log" 2>&1 &
x86=$!
x64_log=$top/build/test-suite.log
ctest --preset x64 "$@" 2>&1 | tee "$x64_log" || rc=$?
wait $x86 || rc=$?
echo "== x86 suite"
cat "$x86_log"
echo "== x64 suite"
grep -E '^[0-9]+% tests passed|^Total Test time' "$x64_log" || true
echo "== linux suite"
grep -E '^[0-9]+% tests passed|^Total Test time' "$linux_log" || true
exit $rc
