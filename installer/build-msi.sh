#!/usr/bin/env bash
# Builds one installer package.
#   build-msi.sh GENERATOR SOURCE_DIR ARCH BIN_DIR VERSION OUTPUT.msi
# GENERATOR is the build-machine tool (WxiRegistry.cpp); BIN_DIR holds the
# ARCH build's VardelEventLogger.exe, vardel-log.exe and VardelShipper.exe. With a code-signing
# certificate in the environment (scripts/signing.sh) the programs are signed
# in place before they are packed, where they are not yet, and the package
# once it is made.
set -euo pipefail
gen=$1 src=$2 arch=$3 bin=$4 version=$5
out=$(cd "$(dirname "$6")" && pwd)/$(basename "$6") # wixl runs elsewhere
. "$src/scripts/signing.sh"
signed=0
if signing_configured; then
  signed=1
  sign_unsigned_programs "$bin"
fi
stage="$(dirname "$out")/stage-$arch-$version"
rm -rf "$stage"; mkdir -p "$stage"
cp "$bin/VardelEventLogger.exe" "$bin/vardel-log.exe" "$bin/VardelShipper.exe" "$stage/"
"$gen" --arch "$arch" --idl "$src/server/VardelEventLogger.idl" \
       --rgs "$src/server/VardelEventLoggerAppID.rgs" --rgs "$src/server/VardelEventLog.rgs" \
       --out "$stage/Registration.wxi" --sql "$stage/Registration.sql"
# One product code per architecture and version, the same in every build of
# it, so that "msiexec /x" with any build of the package removes what another
# build of it installed; a new version gets a new code, as a major upgrade needs.
h=$(printf 'VardelEventLogger %s %s' "$arch" "$version" | sha1sum)
code=$(echo "${h:0:8}-${h:8:4}-5${h:13:3}-a${h:17:3}-${h:20:12}" | tr a-f A-F)
# wixl reads sources and includes relative to the folder it runs in.
tmp=${out%.msi}.tmp.msi
rm -f "$tmp"
(cd "$stage" && wixl -a "$arch" -D Version="$version" -D Arch="$arch" -D ProductCode="$code" -D Generated=Registration.wxi \
     -o "$tmp" "$src/installer/VardelEventLogger.wxs")
# wixl 0.101 leaves IncludeMaximum (0x200) out of the Upgrade table: the row
# that replaces the other architecture's package up to this very version is
# written again with it (MSI cannot update a key column in place).
other=$(msiinfo export "$tmp" Upgrade | tr -d '\r' | awk -F'\t' '$7 == "VARDEL_OTHER_ARCH_FOUND" { print $1 }')
[ -n "$other" ] || { echo "build-msi.sh: no VARDEL_OTHER_ARCH_FOUND row in the Upgrade table" >&2; exit 1; }
msibuild "$tmp" -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'VARDEL_OTHER_ARCH_FOUND'"
msibuild "$tmp" -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMin\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$other', '0.0.0', '$version', 768, 'VARDEL_OTHER_ARCH_FOUND')"
while IFS= read -r statement; do
  [ -n "$statement" ] && msibuild "$tmp" -q "$statement"
done <"$stage/Registration.sql"
# Signed last: any change to the package after this breaks its signature.
[ $signed = 0 ] || sign_file "$tmp"
mv -f "$tmp" "$out"
rm -rf "$stage"
