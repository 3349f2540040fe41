#!/usr/bin/env bash
# Runs one package test in a fresh Wine prefix of its own, with 32-bit
# support (a copy of a pristine prefix made once per build).
#   run-package-test.sh BUILD_DIR ARCH PACKAGE OLDER_PACKAGE GTEST_FILTER [OTHER_ARCH_PACKAGE]
# Exit 77 (CTest: skipped) when the package is not built or the test skipped.
set -u
build=$(cd "$1" && pwd) arch=$2 msi=$3 old=$4 filter=$5 other=${6:-}
for p in "$msi" "$old" $other; do
  if [ ! -f "$p" ]; then
    echo "SKIPPED: $(basename "$p") is not built (scripts/package.sh builds both packages)"
    exit 77
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

# 32-bit Windows programs need Wine's 32-bit loader, which needs a kernel
# that runs 32-bit programs.
runs32=0
if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then runs32=1; fi
winpath() { local p=$1; echo "Z:${p//\//\\}"; }
out=$(mktemp)
VARDEL_MSI=$(winpath "$msi") VARDEL_OLD_MSI=$(winpath "$old") VARDEL_OTHER_MSI=${other:+$(winpath "$other")} VARDEL_ARCH=$arch VARDEL_RUNS_32BIT=$runs32 \
  "$wine" "$build/bin/notz.exe" "$(winpath "$build/bin/package_tests.exe")" --gtest_filter="$filter" \
  </dev/null >"$out" 2>&1
rc=$?
"$server" -k 2>/dev/null
cat "$out"
if [ $rc -eq 0 ] && grep -q '^\[  SKIPPED \] 1 test' "$out"; then rc=77; fi
rm -f "$out"
[ $rc -eq 0 ] || [ $rc -eq 77 ] || { echo "prefix kept: $prefix"; exit $rc; }
rm -rf "$prefix"
exit $rc
