#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine (two at a time:
# tests that share the prefix's state take its lock in turn): the x86 build's
# suite, whose tests skip with the reason where this machine cannot run
# 32-bit programs, then the x64 build's. VARDEL_PRESET picks one of them.
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$top/scripts/setup.sh"
cd "$top"
presets=(x86 x64)
[ -n "${VARDEL_PRESET:-}" ] && presets=("$VARDEL_PRESET")
rc=0
for p in "${presets[@]}"; do
  ctest --preset "$p" "$@" || rc=$?
done
exit $rc
