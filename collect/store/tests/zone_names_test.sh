#!/usr/bin/env bash
# The committed zone name rows are what collect/store/zone-names.py makes
# from its sources on this machine, byte for byte.
#     zone_names_test.sh [WINEPREFIX]
# A prefix that exists is read (its time zone table is Wine's own, which no
# test changes); otherwise the script makes a throw-away one. CLDR or Wine
# missing fails under CI=true and is skipped (77) elsewhere, named either
# way; the script failing is a failure.
set -uo pipefail
store=$(cd "$(dirname "$0")/.." && pwd)
cldr=/usr/share/unicode/cldr/common/supplemental/windowsZones.xml
missing() {
  if [ "${CI:-}" = true ]; then echo "FAILED: $1 (scripts/setup.sh installs it; CI=true)"; exit 1; fi
  echo "SKIP: $1 (scripts/setup.sh installs it)"; exit 77
}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
args=(--out "$out")
if [ -n "${1:-}" ] && [ -f "$1/system.reg" ]; then
  args+=(--prefix "$1")
else
  command -v wineboot >/dev/null || missing "Wine missing: no wineboot to make a prefix, and no prefix given"
fi
[ -f "$cldr" ] || missing "CLDR missing: $cldr (unicode-cldr-core)"
if ! python3 "$store/zone-names.py" "${args[@]}"; then
  echo "FAILED: zone-names.py failed (its reason above)"
  exit 1
fi
if ! diff -u "$store/schema/011_zone_names.sql" "$out"; then
  echo "FAILED: schema/011_zone_names.sql differs from what zone-names.py makes now (run it with --out)"
  exit 1
fi
echo "schema/011_zone_names.sql is what zone-names.py makes"
