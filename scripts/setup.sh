#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root;
# install-packages.sh), then configures and builds the presets (x64, x86 and linux, the collector
# host's page). Safe to run again:
# it installs only what is missing and rebuilds only what changed.
set -euo pipefail
. "$(dirname "$0")/common.sh"
. "$top/scripts/install-packages.sh"
install_packages
# From here on a tool the set-up installs is there: a collector test that
# finds one missing fails rather than skips (collect/tests/testenv.py).
mkdir -p /var/lib/vardel && touch /var/lib/vardel/setup-done
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
