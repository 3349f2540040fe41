#!/usr/bin/env bash
# Runs one package test in a fresh Wine prefix of its own, with 32-bit
# support (a copy of a pristine prefix made once per build).
#   run-package-test.sh BUILD_DIR ARCH PACKAGE OLDER_PACKAGE GTEST_FILTER [OTHER_ARCH_PACKAGE]
# Exit 77 (CTest: skipped) when a test skipped (32-bit programs cannot run
# here); a package that is not built is a failure (the set-up builds both).
set -u
build=$(cd "$1" && pwd) arch=$2 msi=$3 old=$4 filter=$5 other=${6:-}
for p in "$msi" "$old" $other; do
  if [ ! -f "$p" ]; then
    echo "FAILED: $(basename "$p") is not built (scripts/setup.sh builds both packages)"
    exit 1
  fi
done
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64 TZ="${TZ:-UTC}" LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
wine=/usr/lib/wine/wine64; [ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
server=/usr/lib/wine/wineserver64; [ -x "$server" ] || server=$(command -v wineserver)
root=$build/installer/prefixes
mkdir -p "$root"
( flock 9
  if [ ! -f "$root/pristine/system.reg" ]; then
    rm -rf "$root/pristine"
    WINEPREFIX="$root/pristine" "$wine" wineboot -i </dev/null >"$root/wineboot.log" 2>&1 9>&-
    WINEPREFIX="$root/pristine" "$server" -w 9>&-
  fi
) 9>"$root/.lock"
name=${filter##*.}
prefix=$root/$arch-${name//\*/}
rm -rf "$prefix"; cp -a "$root/pristine" "$prefix"
export WINEPREFIX=$prefix

# Why 32-bit Windows programs cannot run here (empty where they can), as the
# launcher of every other test answers it.
no32=$(bash "$(dirname "$0")/../cmake/wine-run" "$build" --why-no-32)
winpath() { local p=$1; echo "Z:${p//\//\\}"; }
out=$(mktemp)
VARDEL_MSI=$(winpath "$msi") VARDEL_OLD_MSI=$(winpath "$old") VARDEL_OTHER_MSI=${other:+$(winpath "$other")} VARDEL_ARCH=$arch VARDEL_NO_32BIT_REASON=$no32 \
  VARDEL_X86_CLIENT=${VARDEL_X86_CLIENT:+$(winpath "$VARDEL_X86_CLIENT")} \
  "$wine" "$build/bin/notz.exe" "$(winpath "$build/bin/package_tests.exe")" --gtest_filter="$filter" \
  </dev/null >"$out" 2>&1
rc=$?
"$server" -k 2>/dev/null
cat "$out"
if [ $rc -eq 0 ] && grep -q -E '^\[  SKIPPED \] [0-9]+ tests?, listed below' "$out"; then rc=77; fi
rm -f "$out"
[ $rc -eq 0 ] || [ $rc -eq 77 ] || { echo "prefix kept: $prefix"; exit $rc; }
rm -rf "$prefix"
exit $rc
