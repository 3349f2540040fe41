#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root), then
# configures and builds the preset (scripts/common.sh). Safe to run again:
# it installs only what is missing and rebuilds only what changed.
set -euo pipefail
. "$(dirname "$0")/common.sh"
packages=(cmake make g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
          binutils-mingw-w64-x86-64 mingw-w64-tools wine wine64 libwine-dev
          libboost1.81-dev googletest util-linux g++ wixl msitools)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
configure_and_build
