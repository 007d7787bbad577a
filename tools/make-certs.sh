#!/usr/bin/env bash
# Creates a test authority, a server certificate and two master certificates for trying out
# Modbus/TCP Security. Not for a plant: use the plant's own authority there.
#   tools/make-certs.sh DIR
# DIR gets: ca.pem ca.key, server.pem server.key (CN localhost, SAN localhost and 127.0.0.1),
# operator.pem operator.key (role "operator"), norole.pem norole.key (no role).
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
dir=$1
mkdir -p "$dir"
cd "$dir"
umask 077

days=3650
# The role extension of Modbus/TCP Security: an ASN.1 UTF8String under this OID.
role_oid=1.3.6.1.4.1.50316.802.1

openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout ca.key -out ca.pem -days "$days" -subj "/CN=tesmor test authority" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  2>/dev/null

# issue NAME SUBJECT EXTENSIONS
issue() {
  local name=$1 subject=$2 extensions=$3
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$name.key" -out "$name.csr" -subj "$subject" 2>/dev/null
  printf '%s\n' "$extensions" > "$name.ext"
  openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key -CAcreateserial \
    -out "$name.pem" -days "$days" -extfile "$name.ext" 2>/dev/null
  rm -f "$name.csr" "$name.ext"
}

common="basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment"

issue server "/CN=localhost" "$common
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,IP:127.0.0.1"
issue operator "/CN=tesmor test operator" "$common
extendedKeyUsage=clientAuth
$role_oid=ASN1:UTF8String:operator"
issue norole "/CN=tesmor test master" "$common
extendedKeyUsage=clientAuth"

rm -f ca.srl
chmod 644 ./*.pem
echo "$dir: ca.pem server.pem server.key operator.pem operator.key norole.pem norole.key"
