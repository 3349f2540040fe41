#!/usr/bin/env bash
# Builds the installer packages into build/dist/:
#   VardelEventLogger-<version>-x64.msi  from the x64 build (build/)
#   VardelEventLogger-<version>-x86.msi  from the x86 build (build-x86/), where
#                                        CMakePresets.json has an x86 preset
# With a code-signing certificate (VARDEL_SIGN_PFX, VARDEL_SIGN_PASSWORD_FILE,
# optionally VARDEL_SIGN_TIMESTAMP_URL: scripts/signing.sh) the programs and
# the packages are signed; without one they are made unsigned. It ends
# naming each package as signed or unsigned, as it is: one that nothing
# changed keeps what an earlier run made of it.
#
#   package.sh --verify CA_FILE
# checks, against the CA certificates in CA_FILE (PEM), the programs in both
# builds' bin/ that go into the packages, both packages and the programs
# packed in them; exits 1 naming the first file that is missing, unsigned,
# altered or signed under another CA. VARDEL_X64_BIN_DIR, VARDEL_X86_BIN_DIR
# and VARDEL_DIST_DIR check copies elsewhere instead.
set -euo pipefail
. "$(dirname "$0")/common.sh"
. "$top/scripts/signing.sh"
has_x86() { grep -q '"name": *"x86"' "$top/CMakePresets.json"; }

verify_packages() {
  local ca=$1 version arch msi name packed
  [ -r "$ca" ] || { echo "package.sh: cannot read the CA file '$ca'" >&2; exit 2; }
  version=$(sed -n 's/^project(VardelEventLogger VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' "$top/CMakeLists.txt")
  local archs=(x64) dist=${VARDEL_DIST_DIR:-$top/build/dist}
  has_x86 && archs+=(x86)
  local -A bins=([x64]=${VARDEL_X64_BIN_DIR:-$top/build/bin} [x86]=${VARDEL_X86_BIN_DIR:-$top/build-x86/bin})
  for arch in "${archs[@]}"; do
    for name in "${sign_programs_list[@]}"; do verify_file "$ca" "${bins[$arch]}/$name" || exit 1; done
  done
  packed=$(mktemp -d)
  trap "rm -rf '$packed'" EXIT
  for arch in "${archs[@]}"; do
    msi=$dist/VardelEventLogger-$version-$arch.msi
    verify_file "$ca" "$msi" || exit 1
    msiextract -C "$packed/$arch" "$msi" >/dev/null || { echo "NOT VERIFIED: $msi: cannot be unpacked"; exit 1; }
    for name in "${sign_programs_list[@]}"; do
      verify_file "$ca" "$(find "$packed/$arch" -name "$name" -print -quit)" "$msi:$name" || exit 1
    done
  done
  echo "Verified against $ca: the ${archs[*]} programs, packages and the programs packed in them"
}

if [ "${1:-}" = --verify ]; then
  [ $# -eq 2 ] || { echo "usage: package.sh [--verify CA_FILE]" >&2; exit 2; }
  verify_packages "$2"
  exit 0
fi

# The certificate is checked before anything is built or signed.
signing=0
if signing_configured; then signing=1; fi
# A package that nothing changed is not packed again (by the set-up's build
# or below) and keeps the signature, or none, of the run that packed it: the
# summary says which it is.
declare -A before=()
for msi in "$top/build/dist"/*.msi; do [ -f "$msi" ] && before[$msi]=$(stat -c %Y "$msi"); done
VARDEL_PRESET=x64 "$top/scripts/setup.sh"
targets=(packages)
bin_dirs=("$top/build/bin")
if has_x86; then
  (preset=x86; configure_and_build VardelEventLogger vardel-log)
  targets+=(packages-x86)
  bin_dirs+=("$top/build-x86/bin")
fi
# Signing order: the programs in place first, so that what the packages hold
# is signed too (signing makes them newer than the packages, which are
# therefore packed again), then each package as it is packed (build-msi.sh,
# which also signs programs that a later build links afresh).
if [ $signing = 1 ]; then
  for bin in "${bin_dirs[@]}"; do sign_programs "$bin"; done
else
  echo "Not signing: VARDEL_SIGN_PFX and VARDEL_SIGN_PASSWORD_FILE are not set; packages packed now are unsigned"
fi
cmake --build "$top/build" --target "${targets[@]}"
for msi in "$top/build/dist"/*.msi; do
  [ -f "$msi" ] || continue
  when="packed now"
  [ "${before[$msi]:-}" = "$(stat -c %Y "$msi")" ] && when="unchanged since an earlier run"
  echo "$(package_state "$msi"), $when: $msi"
done
