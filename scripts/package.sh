#!/usr/bin/env bash
# Builds the installer packages into build/dist/:
#   VardelEventLogger-<version>-x64.msi  from the x64 build (build/)
#   VardelEventLogger-<version>-x86.msi  from the x86 build (build-x86/), where
#                                        CMakePresets.json has an x86 preset
set -euo pipefail
. "$(dirname "$0")/common.sh"
VARDEL_PRESET=x64 "$top/scripts/setup.sh"
targets=(packages)
if grep -q '"name": *"x86"' "$top/CMakePresets.json"; then
  (preset=x86; configure_and_build VardelEventLogger vardel-log)
  targets+=(packages-x86)
fi
cmake --build "$top/build" --target "${targets[@]}"
ls -l "$top/build/dist"
