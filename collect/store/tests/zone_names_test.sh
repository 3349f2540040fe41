#!/usr/bin/env bash
# The committed zone name rows are what collect/store/zone-names.py makes
# from its sources on this machine, byte for byte.
#     zone_names_test.sh [WINEPREFIX]
# A prefix that exists is read (its time zone table is Wine's own, which no
# test changes); otherwise the script makes a throw-away one. Exits 77 where
# Wine or CLDR is missing.
set -uo pipefail
store=$(cd "$(dirname "$0")/.." && pwd)
out=$(mktemp)
trap 'rm -f "$out"' EXIT
args=(--out "$out")
if [ -n "${1:-}" ] && [ -f "$1/system.reg" ]; then
  args+=(--prefix "$1")
fi
python3 "$store/zone-names.py" "${args[@]}"
rc=$?
if [ $rc -ne 0 ]; then
  exit $rc
fi
if ! diff -u "$store/schema/011_zone_names.sql" "$out"; then
  echo "FAILED: schema/011_zone_names.sql differs from what zone-names.py makes now (run it with --out)"
  exit 1
fi
echo "schema/011_zone_names.sql is what zone-names.py makes"
