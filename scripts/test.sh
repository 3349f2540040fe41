#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine (two at a time:
# tests that share the prefix's state take its lock in turn): the x64 build's
# suite, then the x86 build's, whose tests skip with the reason where this
# machine cannot run 32-bit programs. VARDEL_PRESET picks one of them.
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$top/scripts/setup.sh"
cd "$top"
presets=(x64 x86)
[ -n "${VARDEL_PRESET:-}" ] && presets=("$VARDEL_PRESET")
rc=0
for p in "${presets[@]}"; do
  ctest --preset "$p" "$@" || rc=$?
done
exit $rc
