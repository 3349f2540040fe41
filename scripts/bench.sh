#!/usr/bin/env bash
# Builds (scripts/setup.sh), runs the benchmarks under Wine in the build's
# private prefix, prints one table and writes the same rows as JSON to
# <build>/bench/results.json. See bench/README.md.
#   bash scripts/bench.sh [--no-setup] [--tiny]
#     --no-setup  skip installing and the full build; build only the benchmark
#     --tiny      the test suite's tiny sizes: shows it runs, measures nothing
set -euo pipefail
. "$(dirname "$0")/common.sh"
setup=1
args=()
for arg in "$@"; do
  case "$arg" in
    --no-setup) setup=0 ;;
    --tiny) args+=(--tiny) ;;
    *) echo "usage: bash scripts/bench.sh [--no-setup] [--tiny]" >&2; exit 2 ;;
  esac
done
if [ $setup = 1 ]; then
  "$top/scripts/setup.sh"
else
  configure_and_build vardel_bench
fi
mkdir -p "$build/bench"
json="$build/bench/results.json"
rm -f "$json"
rc=0
"$top/cmake/wine-run" "$build" "$build/bin/vardel_bench.exe" "${args[@]}" --json "Z:${json//\//\\}" || rc=$?
"$top/cmake/wine-run" "$build" --stop
[ -f "$json" ] && echo "written: $json"
exit $rc
