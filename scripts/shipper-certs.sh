#!/usr/bin/env bash
# Certificates for the shippers' input: a site CA, the collector's
# certificate and one certificate per PC, made with openssl into FOLDER
# (keys readable by their owner only).
#   shipper-certs.sh FOLDER ca                the site CA: ca.pem, ca.key
#   shipper-certs.sh FOLDER collector NAME    collector.pem, collector.key for the
#                                             collector's DNS name or address
#   shipper-certs.sh FOLDER pc NAME           pc-NAME.pem, pc-NAME.key and pc-NAME.pfx
#                                             (no password: import it on the PC and
#                                             delete it) for the PC named NAME, its
#                                             key one that Wine's PFX import keeps whole
#   shipper-certs.sh FOLDER gate              FOLDER/gate/ (this user's only): the
#                                             shippers' gate's own CA, the collector's
#                                             inner input's certificate (collector.*)
#                                             and the gate's (pc-gate.*)
# A certificate is made by the CA in FOLDER; an existing file is never
# replaced. Exit codes: 0 made, 1 failure, 2 bad arguments.
set -euo pipefail
days=3650
usage() { echo "usage: shipper-certs.sh FOLDER ca | collector NAME | pc NAME | gate" >&2; exit 2; }

# Whether the RSA key in file $1 has each private number at the width Wine's
# PFX import copies it at (its crypt32, Wine 8): the private exponent the
# modulus's, the primes and the CRT numbers half of it. A shorter one (its top
# byte zero: a few keys in a hundred) is left unset there, with every number
# after it, and Schannel then fails to sign with the key ("Public key signing
# has failed"). Windows takes any key; a PC under Wine takes only these.
full_widths() {
  openssl rsa -in "$1" -noout -text 2>/dev/null | awk '
    /^[A-Za-z]/ { name = $1; sub(/:.*/, "", name); next }
    /^ / { gsub(/[ :]/, ""); hex[name] = hex[name] $0 }
    END {
      for (k in hex) { sub(/^(00)+/, "", hex[k]); bytes[k] = length(hex[k]) / 2 }
      n = bytes["modulus"]
      if (!n || bytes["privateExponent"] != n) exit 1
      split("prime1 prime2 exponent1 exponent2 coefficient", half, " ")
      for (i in half) if (bytes[half[i]] != int(n / 2)) exit 1
    }'
}
self=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")
[ $# -ge 2 ] || usage
folder=$1 kind=$2 name=${3:-}
case "$kind" in
  ca|gate) [ $# -eq 2 ] || usage ;;
  collector|pc) [ $# -eq 3 ] || usage
    # A name as a certificate and a file name may hold it.
    [[ $name =~ ^[A-Za-z0-9]([A-Za-z0-9.-]{0,62})$ ]] || { echo "shipper-certs: not a host name: $name" >&2; exit 2; } ;;
  *) usage ;;
esac
mkdir -p "$folder"
umask 077
cd "$folder"

if [ "$kind" = gate ]; then
  # A CA of its own that signs only the gate and the inner input: no site
  # PC and no other local user can open a session on the inner input.
  [ ! -e gate/ca.pem ] || { echo "shipper-certs: $folder/gate/ca.pem exists" >&2; exit 1; }
  mkdir -p gate
  chmod 700 gate
  for args in ca "collector 127.0.0.1" "pc gate"; do
    # shellcheck disable=SC2086
    bash "$self" gate $args >/dev/null
  done
  rm -f gate/pc-gate.pfx
  echo "shipper-certs: the gate's CA and certificates in $folder/gate"
  exit 0
fi

if [ "$kind" = ca ]; then
  [ ! -e ca.pem ] || { echo "shipper-certs: $folder/ca.pem exists" >&2; exit 1; }
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days "$days" -subj "/CN=VardelEventLogger site CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  chmod 644 ca.pem
  echo "shipper-certs: site CA in $folder/ca.pem"
  exit 0
fi

[ -r ca.pem ] && [ -r ca.key ] || { echo "shipper-certs: no site CA in $folder (make it first: ca)" >&2; exit 1; }
file=collector usage_ext=serverAuth
[ "$kind" = collector ] || { file=pc-$name usage_ext=clientAuth; }
[ ! -e "$file.pem" ] || { echo "shipper-certs: $folder/$file.pem exists" >&2; exit 1; }
if [[ $name =~ ^[0-9.]+$ ]]; then san="IP:$name"; else san="DNS:$name"; fi
ext=$(mktemp)
trap 'rm -f "$ext" "$file.csr"' EXIT
printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=%s\nsubjectAltName=%s\n' \
  "$usage_ext" "$san" >"$ext"
if [ "$kind" = pc ]; then
  for _ in $(seq 20); do
    openssl genrsa -out "$file.key" 2048 2>/dev/null && full_widths "$file.key" && break
    rm -f "$file.key"
  done
  [ -e "$file.key" ] || { echo "shipper-certs: no key for $name that Wine's PFX import keeps whole in 20 tries" >&2; exit 1; }
  openssl req -new -key "$file.key" -out "$file.csr" -subj "/CN=$name" 2>/dev/null
else
  openssl req -newkey rsa:2048 -nodes -keyout "$file.key" -out "$file.csr" -subj "/CN=$name" 2>/dev/null
fi
openssl x509 -req -in "$file.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days "$days" -extfile "$ext" \
  -out "$file.pem" 2>/dev/null
chmod 644 "$file.pem"
if [ "$kind" = pc ]; then
  openssl pkcs12 -export -in "$file.pem" -inkey "$file.key" -certfile ca.pem -out "$file.pfx" -passout pass: 2>/dev/null
fi
echo "shipper-certs: $folder/$file.pem for $name"
