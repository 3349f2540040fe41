# shellcheck shell=bash
# Authenticode signing and checking of the programs and the packages, sourced
# by scripts/package.sh and installer/build-msi.sh. The code-signing
# certificate comes from the environment, never from a command line or the
# tree:
#   VARDEL_SIGN_PFX            its PKCS#12 file (key, certificate and chain)
#   VARDEL_SIGN_PASSWORD_FILE  a file that holds the PKCS#12 password
#   VARDEL_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional)
#   VARDEL_SIGN_URL            the URL each signature names (optional)

sign_programs_list=(VardelEventLogger.exe vardel-log.exe VardelShipper.exe)
sign_description=VardelEventLogger
sign_url=${VARDEL_SIGN_URL:-https://www.pellucor.example/vardeleventlogger}

# True when a certificate is given; ends the script, naming what is missing,
# when only half of one is (a package meant to be signed is never made
# unsigned), and naming the reason when the certificate cannot sign code now
# (osslsigncode signs with any certificate, and a file signed with an
# expired one fails only when it is checked).
signing_configured() {
  [ -z "${VARDEL_SIGN_PFX:-}" ] && [ -z "${VARDEL_SIGN_PASSWORD_FILE:-}" ] && return 1
  local file problem
  for file in "${VARDEL_SIGN_PFX:-}" "${VARDEL_SIGN_PASSWORD_FILE:-}"; do
    if [ -z "$file" ] || [ ! -r "$file" ]; then
      echo "signing: cannot read '$file': VARDEL_SIGN_PFX and VARDEL_SIGN_PASSWORD_FILE name the certificate and its password file" >&2
      exit 1
    fi
  done
  problem=$(certificate_problem)
  if [ -n "$problem" ]; then
    echo "signing: refused, nothing signed: $VARDEL_SIGN_PFX: $problem" >&2
    exit 1
  fi
}

# certificate_problem: why the signing certificate (the one that belongs to
# the key in VARDEL_SIGN_PFX) cannot sign code now; nothing when it can.
# Without an extended key usage a certificate serves every purpose.
certificate_problem() {
  local pem start exts eku ku
  pem=$(openssl pkcs12 -in "$VARDEL_SIGN_PFX" -passin "file:$VARDEL_SIGN_PASSWORD_FILE" -nokeys -clcerts 2>/dev/null ||
        openssl pkcs12 -legacy -in "$VARDEL_SIGN_PFX" -passin "file:$VARDEL_SIGN_PASSWORD_FILE" -nokeys -clcerts 2>/dev/null) ||
    { echo "cannot be opened with the password in $VARDEL_SIGN_PASSWORD_FILE"; return; }
  grep -q 'BEGIN CERTIFICATE' <<<"$pem" || { echo "holds no certificate for its key"; return; }
  if ! openssl x509 -noout -checkend 0 <<<"$pem" >/dev/null; then
    echo "the certificate has expired ($(openssl x509 -noout -enddate <<<"$pem"))"
    return
  fi
  start=$(openssl x509 -noout -startdate <<<"$pem")
  if [ "$(date -d "${start#notBefore=}" +%s)" -gt "$(date +%s)" ]; then
    echo "the certificate is not yet valid ($start)"
    return
  fi
  exts=$(openssl x509 -noout -ext extendedKeyUsage,keyUsage <<<"$pem" 2>/dev/null)
  eku=$(awk '/X509v3 Extended Key Usage/ { getline; sub(/^ +/, ""); print; exit }' <<<"$exts")
  if [ -n "$eku" ] && ! grep -qE '(^|, )(Code Signing|Any Extended Key Usage)(,|$)' <<<"$eku"; then
    echo "the certificate does not allow code signing (extended key usage: $eku)"
    return
  fi
  ku=$(awk '/X509v3 Key Usage/ { getline; sub(/^ +/, ""); print; exit }' <<<"$exts")
  if [ -n "$ku" ] && ! grep -q 'Digital Signature' <<<"$ku"; then
    echo "the certificate does not allow digital signatures (key usage: $ku)"
  fi
}

# sign_file FILE: signs a program or a package in place, with SHA-256, the
# product's name and URL, and a time stamp when a server is named; a
# signature it had is replaced. The password is read from its file, so it
# never shows in the process list.
sign_file() {
  local file=$1 tmp="$1.signing" options=()
  [ -n "${VARDEL_SIGN_TIMESTAMP_URL:-}" ] && options+=(-ts "$VARDEL_SIGN_TIMESTAMP_URL")
  # A package's signature covers its streams' metadata too.
  case $file in *.msi) options+=(-add-msi-dse) ;; esac
  rm -f "$tmp"
  if ! osslsigncode sign -pkcs12 "$VARDEL_SIGN_PFX" -readpass "$VARDEL_SIGN_PASSWORD_FILE" -h sha256 \
       -n "$sign_description" -i "$sign_url" "${options[@]}" -in "$file" -out "$tmp" >"$tmp.log" 2>&1; then
    cat "$tmp.log" >&2
    rm -f "$tmp" "$tmp.log"
    echo "signing: cannot sign $file" >&2
    return 1
  fi
  rm -f "$tmp.log"
  mv -f "$tmp" "$file"
}

# is_signed FILE: true when the file carries a signature (of any signer).
is_signed() {
  local sig
  sig=$(mktemp -u)
  osslsigncode extract-signature -in "$1" -out "$sig" >/dev/null 2>&1 && rm -f "$sig"
}

# package_state FILE: "Signed" or "Unsigned", as the file is.
package_state() {
  if is_signed "$1"; then echo Signed; else echo Unsigned; fi
}

# sign_programs BIN_DIR: signs (again) the programs that go into a package.
sign_programs() {
  local name
  for name in "${sign_programs_list[@]}"; do sign_file "$1/$name" || return 1; done
}

# sign_unsigned_programs BIN_DIR: signs those of them that carry no signature
# (freshly linked), one packing job at a time.
sign_unsigned_programs() {
  local name
  ( flock 9
    for name in "${sign_programs_list[@]}"; do
      is_signed "$1/$name" || sign_file "$1/$name" || exit 1
    done
  ) 9>"$1/.signing.lock"
}

# verify_file CA_FILE FILE [NAME]: checks the file's signature against the CA
# certificates; on failure says why, naming the file as NAME, with
# osslsigncode's own words where it gives a reason.
verify_file() {
  local ca=$1 file=$2 name=${3:-$2} log reason
  if [ ! -f "$file" ]; then
    echo "NOT VERIFIED: $name: missing"
    return 1
  fi
  log=$(osslsigncode verify -CAfile "$ca" -in "$file" 2>&1) && return 0
  reason=$(grep -m1 -oP 'Verify error: \K.*' <<<"$log" || true)
  if ! is_signed "$file"; then
    echo "NOT VERIFIED: $name: unsigned"
  elif grep -q MISMATCH <<<"$log"; then
    echo "NOT VERIFIED: $name: altered since it was signed"
  elif [ "$reason" = "certificate has expired" ] || [ "$reason" = "certificate is not yet valid" ]; then
    echo "NOT VERIFIED: $name: signed with a certificate that is not valid now ($reason)"
  elif grep -q "Unsupported Signer's certificate purpose" <<<"$log"; then
    echo "NOT VERIFIED: $name: signed with a certificate that does not allow code signing ($(grep -m1 "Unsupported Signer's certificate purpose" <<<"$log"))"
  else
    echo "NOT VERIFIED: $name: not signed under a CA of $ca (${reason:-$(grep -m1 -i error <<<"$log" || echo "signature verification failed")})"
  fi
  return 1
}
