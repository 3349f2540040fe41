#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root), then
# configures and builds the x64 build into build/ and the x86 build into
# build-x86/. Safe to run again: it installs only what is missing and
# rebuilds only what changed. 32-bit Wine (wine32:i386) runs the x86 build
# and 32-bit clients; it needs the i386 architecture in dpkg.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
packages=(cmake make g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
          binutils-mingw-w64-x86-64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
          binutils-mingw-w64-i686 mingw-w64-tools wine wine64 wine32:i386 libwine-dev
          libboost1.81-dev googletest util-linux)
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
build=${VARDEL_BUILD_DIR:-$top/build}
build_x86=${VARDEL_X86_BUILD_DIR:-$top/build-x86}
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
      -DVARDEL_X86_BUILD_DIR="$build_x86" >/dev/null
cmake --build "$build" -j"$(nproc)"
cmake -S "$top" -B "$build_x86" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-i686.cmake" \
      -DVARDEL_X64_BUILD_DIR="$build" >/dev/null
cmake --build "$build_x86" -j"$(nproc)"
