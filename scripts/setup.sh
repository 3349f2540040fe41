#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root), then
# configures and builds the presets (x64, x86 and linux, the collector
# host's page). Safe to run again:
# it installs only what is missing and rebuilds only what changed.
set -euo pipefail
. "$(dirname "$0")/common.sh"
packages=(cmake make g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
          binutils-mingw-w64-x86-64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
          binutils-mingw-w64-i686 mingw-w64-tools wine wine64 wine32:i386 libwine-dev
          libboost1.81-dev googletest util-linux g++ wixl msitools osslsigncode openssl
          rsyslog rsyslog-relp python3
          rsyslog-pgsql postgresql libpq-dev libcpp-httplib-dev unicode-cldr-core chromium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
# The builds: x64 into build/, x86 into build-x86/, the page into
# build-linux/ (VARDEL_PRESET=x64, x86 or linux builds only that one).
if [ -n "${VARDEL_PRESET:-}" ]; then
  configure_and_build
else
  for preset in linux x64 x86; do configure_and_build; done
fi
# The x86 package is made by the x64 build (where the package tests run)
# from the x86 build's programs, so once both builds are there.
if [ -f "$top/build/CMakeCache.txt" ] && [ -f "$top/build-x86/bin/VardelEventLogger.exe" ]; then
  (preset=x64; configure_and_build packages-x86)
fi
