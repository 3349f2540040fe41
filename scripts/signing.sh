# shellcheck shell=bash
# Authenticode signing and checking of the programs and the packages, sourced
# by scripts/package.sh and installer/build-msi.sh. The code-signing
# certificate comes from the environment, never from a command line or the
# tree:
#   VARDEL_SIGN_PFX            its PKCS#12 file (key, certificate and chain)
#   VARDEL_SIGN_PASSWORD_FILE  a file that holds the PKCS#12 password
#   VARDEL_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional)
#   VARDEL_SIGN_URL            the URL each signature names (optional)

sign_programs_list=(VardelEventLogger.exe vardel-log.exe)
sign_description=VardelEventLogger
sign_url=${VARDEL_SIGN_URL:-https://www.pellucor.example/vardeleventlogger}

# True when a certificate is given; ends the script, naming what is missing,
# when only half of one is (a package meant to be signed is never made unsigned).
signing_configured() {
  [ -z "${VARDEL_SIGN_PFX:-}" ] && [ -z "${VARDEL_SIGN_PASSWORD_FILE:-}" ] && return 1
  local file
  for file in "${VARDEL_SIGN_PFX:-}" "${VARDEL_SIGN_PASSWORD_FILE:-}"; do
    if [ -z "$file" ] || [ ! -r "$file" ]; then
      echo "signing: cannot read '$file': VARDEL_SIGN_PFX and VARDEL_SIGN_PASSWORD_FILE name the certificate and its password file" >&2
      exit 1
    fi
  done
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
# certificates; on failure says why, naming the file as NAME.
verify_file() {
  local ca=$1 file=$2 name=${3:-$2} log
  if [ ! -f "$file" ]; then
    echo "NOT VERIFIED: $name: missing"
    return 1
  fi
  log=$(osslsigncode verify -CAfile "$ca" -in "$file" 2>&1) && return 0
  if ! is_signed "$file"; then
    echo "NOT VERIFIED: $name: unsigned"
  elif grep -q MISMATCH <<<"$log"; then
    echo "NOT VERIFIED: $name: altered since it was signed"
  else
    echo "NOT VERIFIED: $name: not signed under a CA of $ca"
  fi
  return 1
}
