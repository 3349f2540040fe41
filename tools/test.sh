#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
build=${VARDEL_BUILD_DIR:-$top/build}
cd "$build"
ctest --output-on-failure "$@"
