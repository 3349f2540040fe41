#!/usr/bin/env bash
# Signs copies of both builds' programs and packs and signs both packages from
# them, with a throw-away CA and code-signing certificate made afresh in the
# build folder; then checks that the verify step of scripts/package.sh passes
# them and fails each fault below, naming the faulty file. The signed x64
# package stays for the install test (package.x64.signed).
#   signing-test.sh BUILD_DIR SOURCE_DIR X86_BIN_DIR VERSION
# A tool or the x86 build's programs missing is a failure: the set-up
# installs and builds them.
set -euo pipefail
build=$(cd "$1" && pwd) src=$2 x86bin=$3 version=$4
work=$build/installer/signing
for tool in osslsigncode openssl msiextract; do
  command -v $tool >/dev/null || { echo "FAILED: no $tool (scripts/setup.sh installs it)"; exit 1; }
done
[ -f "$x86bin/vardel-log.exe" ] || { echo "FAILED: no x86 build in $x86bin (scripts/setup.sh builds it)"; exit 1; }
rm -rf "$work"; mkdir -p "$work"; cd "$work"

# ca NAME: a CA certificate NAME.pem with its key NAME.key.
ca() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 2 -subj "/CN=$1" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
ca test-ca
ca other-ca
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/O=Pellucor/CN=Pellucor" 2>/dev/null
printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
openssl x509 -req -in signer.csr -CA test-ca.pem -CAkey test-ca.key -CAcreateserial -days 2 -extfile signer.ext \
  -out signer.pem 2>/dev/null
openssl rand -hex 16 >password
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile test-ca.pem -passout file:password -out signer.pfx
# Two that must not sign: one that expired yesterday, one for web servers only.
openssl x509 -req -in signer.csr -CA test-ca.pem -CAkey test-ca.key -CAcreateserial -days -1 -extfile signer.ext \
  -out expired.pem 2>/dev/null
sed 's/codeSigning/serverAuth/' signer.ext >web.ext
openssl x509 -req -in signer.csr -CA test-ca.pem -CAkey test-ca.key -CAcreateserial -days 2 -extfile web.ext \
  -out web.pem 2>/dev/null
for cert in expired web; do
  openssl pkcs12 -export -inkey signer.key -in $cert.pem -certfile test-ca.pem -passout file:password -out $cert.pfx
done
# resign FILE CERT: signs a file with one of them, as osslsigncode alone would.
resign() {
  local dse=()
  case $1 in *.msi) dse=(-add-msi-dse) ;; esac
  osslsigncode sign -pkcs12 "$work/$2.pfx" -readpass "$work/password" -h sha256 "${dse[@]}" -in "$1" -out "$1.new" \
    >/dev/null && mv "$1.new" "$1"
}

# copy_programs ARCH TO: unsigned copies of a build's programs (the build's
# own may have been signed by package.sh).
copy_programs() {
  local from=$build/bin name
  [ $1 = x86 ] && from=$x86bin
  mkdir -p "$2"
  for name in VardelEventLogger.exe vardel-log.exe VardelShipper.exe; do
    osslsigncode remove-signature -in "$from/$name" -out "$2/$name" >/dev/null 2>&1 || cp "$from/$name" "$2/"
  done
}
# pack TREE: copies of both builds' programs in TREE/x64 and TREE/x86 (unless
# there already), and their packages in TREE/dist, each signed when the
# environment names a certificate.
pack() {
  local arch
  for arch in x64 x86; do
    mkdir -p "$1/dist"
    [ -f "$1/$arch/vardel-log.exe" ] || copy_programs $arch "$1/$arch"
    bash "$src/installer/build-msi.sh" "$build/installer/wxi-registry" "$src" $arch "$1/$arch" "$version" \
      "$1/dist/VardelEventLogger-$version-$arch.msi"
  done
}
# The x64 programs are signed as package.sh signs them, the x86 ones by the
# packing step, which signs programs that are not yet.
(export VARDEL_SIGN_PFX=$work/signer.pfx VARDEL_SIGN_PASSWORD_FILE=$work/password
 . "$src/scripts/signing.sh"
 copy_programs x64 signed/x64
 sign_programs signed/x64
 pack "$work/signed")
(unset VARDEL_SIGN_PFX VARDEL_SIGN_PASSWORD_FILE; pack "$work/unsigned")

flip() { # flip FILE OFFSET: inverts one byte
  local byte
  byte=$(od -An -tu1 -j "$2" -N1 "$1")
  printf "$(printf '\\%03o' $((255 - byte)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
msi64=dist/VardelEventLogger-$version-x64.msi msi86=dist/VardelEventLogger-$version-x86.msi
# A byte in the middle of a program is in its code; one past the cabinet's
# header in a package is in the cabinet stream, which its signature covers.
cabinet() { grep -obUaP 'MSCF\x00' "$1" | head -1 | cut -d: -f1; }
cases=(
  # name | tree | change to a copy of it | CA | the file the failure names ('' passes) | the reason given
  "all signed|signed|:|test-ca||"
  "another CA|signed|:|other-ca|x64/VardelEventLogger.exe|not signed under a CA of $work/other-ca.pem ("
  "a byte of an x86 program|signed|flip x86/vardel-log.exe \$((\$(stat -c%s x86/vardel-log.exe) / 2))|test-ca|x86/vardel-log.exe|altered since it was signed"
  "a byte of the x64 package|signed|flip $msi64 \$((\$(cabinet $msi64) + 100))|test-ca|$msi64|altered since it was signed"
  "the x86 package's signature removed|signed|osslsigncode remove-signature -in $msi86 -out t.msi >/dev/null && mv t.msi $msi86|test-ca|$msi86|unsigned"
  "an unsigned build|unsigned|:|test-ca|x64/VardelEventLogger.exe|unsigned"
  "signed packages of unsigned programs|unsigned|cp ../signed/x64/* x64/ && cp ../signed/x86/* x86/ && sign_packages|test-ca|$msi64:VardelEventLogger.exe|unsigned"
  "an expired certificate|signed|resign x86/VardelEventLogger.exe expired|test-ca|x86/VardelEventLogger.exe|signed with a certificate that is not valid now (certificate has expired)"
  "a certificate for web servers|signed|resign $msi86 web|test-ca|$msi86|signed with a certificate that does not allow code signing"
)
sign_packages() {
  (export VARDEL_SIGN_PFX=$work/signer.pfx VARDEL_SIGN_PASSWORD_FILE=$work/password
   . "$src/scripts/signing.sh" && sign_file "$msi64" && sign_file "$msi86")
}
failed=0
for entry in "${cases[@]}"; do
  IFS='|' read -r name tree change ca expected reason <<<"$entry"
  rm -rf case; cp -a "$tree" case
  (cd case && eval "$change")
  rc=0
  out=$(VARDEL_X64_BIN_DIR=$work/case/x64 VARDEL_X86_BIN_DIR=$work/case/x86 VARDEL_DIST_DIR=$work/case/dist \
        bash "$src/scripts/package.sh" --verify "$work/$ca.pem" 2>&1) || rc=$?
  first=$(grep -m1 'NOT VERIFIED' <<<"$out" || true)
  if [ -z "$expected" ] && [ $rc -eq 0 ]; then
    echo "ok: $name: verified"
  elif [ -n "$expected" ] && [ $rc -ne 0 ] && [[ "$first" == "NOT VERIFIED: $work/case/$expected: $reason"* ]]; then
    echo "ok: $name: $first"
  else
    echo "FAILED: $name: exit $rc, expected ${expected:-success}:"; echo "$out"; failed=1
  fi
done
rm -rf case

# A certificate named but unusable ends packing with an error that says why,
# never with an unsigned package or a program changed.
printf 'wrong\n' >wrong-password
for given in "signer.pfx:no-such-file:cannot read" "signer.pfx:wrong-password:cannot be opened with the password" \
             ":password:cannot read" "expired.pfx:password:the certificate has expired" \
             "web.pfx:password:the certificate does not allow code signing"; do
  IFS=: read -r pfx password why <<<"$given"
  rm -rf bad; cp -a unsigned bad; rm bad/dist/*
  if VARDEL_SIGN_PFX=${pfx:+$work/$pfx} VARDEL_SIGN_PASSWORD_FILE=$work/$password bash "$src/installer/build-msi.sh" \
       "$build/installer/wxi-registry" "$src" x64 "$work/bad/x64" "$version" "$work/bad/dist/x.msi" >bad.log 2>&1 ||
     [ -n "$(ls bad/dist)" ] || ! cmp -s bad/x64/vardel-log.exe unsigned/x64/vardel-log.exe ||
     ! grep -q "$why" bad.log; then
    echo "FAILED: certificate '$pfx', password file '$password' (expected: $why):"; cat bad.log; failed=1
  else
    echo "ok: certificate '$pfx', password file '$password': $(tail -1 bad.log)"
  fi
done
rm -rf bad

# The package command refuses those two before it builds anything (a cmake
# that fails and leaves a mark stands in for the build).
mkdir -p shim
printf '#!/bin/sh\ntouch "%s/shim/built"\nexit 1\n' "$work" >shim/cmake; chmod +x shim/cmake
for pfx in expired web; do
  rm -f shim/built
  rc=0
  out=$(PATH=$work/shim:$PATH VARDEL_SIGN_PFX=$work/$pfx.pfx VARDEL_SIGN_PASSWORD_FILE=$work/password \
        bash "$src/scripts/package.sh" 2>&1) || rc=$?
  if [ $rc -ne 0 ] && [ ! -e shim/built ] && [[ "$out" == "signing: refused, nothing signed: $work/$pfx.pfx: the certificate"* ]]; then
    echo "ok: package.sh with $pfx.pfx: $out"
  else
    echo "FAILED: package.sh with $pfx.pfx: exit $rc, built: $([ -e shim/built ] && echo yes || echo no):"; echo "$out"; failed=1
  fi
done

# What the package command says each package is.
(. "$src/scripts/signing.sh"
 [ "$(package_state "signed/$msi64") $(package_state "unsigned/$msi86")" = "Signed Unsigned" ]) ||
  { echo "FAILED: package_state does not tell signed from unsigned packages"; failed=1; }
exit $failed
