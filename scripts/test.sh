#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine (two at a time:
# tests that share the prefix's state take its lock in turn).
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$top/scripts/setup.sh"
cd "$top"
ctest --preset "$preset" "$@"
