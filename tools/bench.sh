#!/usr/bin/env bash
# Builds (tools/setup.sh), runs the benchmarks under Wine in the build's
# private prefix, prints one table and writes the same rows as JSON to
# <build>/bench/results.json. See bench/README.md.
#   bash tools/bench.sh [--no-setup] [--tiny]
#     --no-setup  skip installing and the full build; build only the benchmark
#     --tiny      the test suite's tiny sizes: shows it runs, measures nothing
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${VARDEL_BUILD_DIR:-$top/build}
setup=1
args=()
for arg in "$@"; do
  case "$arg" in
    --no-setup) setup=0 ;;
    --tiny) args+=(--tiny) ;;
    *) echo "usage: bash tools/bench.sh [--no-setup] [--tiny]" >&2; exit 2 ;;
  esac
done
if [ $setup = 1 ]; then
  "$top/tools/setup.sh"
else
  cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$build" -j2 --target vardel_bench
fi
mkdir -p "$build/bench"
json="$build/bench/results.json"
rm -f "$json"
rc=0
"$top/cmake/wine-run" "$build" "$build/bin/vardel_bench.exe" "${args[@]}" --json "Z:${json//\//\\}" || rc=$?
"$top/cmake/wine-run" "$build" --stop
[ -f "$json" ] && echo "written: $json"
exit $rc
