#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
build=${VARDEL_BUILD_DIR:-$top/build}
build_x86=${VARDEL_X86_BUILD_DIR:-$top/build-x86}
# The x64 build's whole suite, then the x86 build's, whose tests skip with
# the reason where this machine cannot run 32-bit programs.
rc=0
(cd "$build" && ctest --output-on-failure "$@") || rc=$?
(cd "$build_x86" && ctest --output-on-failure "$@") || rc=$?
exit $rc
