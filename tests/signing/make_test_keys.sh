#!/usr/bin/env bash
# Makes throwaway test keys in OUT_DIR (once; nothing here is ever committed):
#   ca.pem, ca.der            a test CA, trusted only by the test prefixes
#   localhost.pem/.key        a TLS server certificate for DNS name localhost
#   pinned.pem/.key           the code-signing key the signed test build pins
#   other.pem/.key            another code-signing key under the same CA
#   pinned.pin, other.pin     their SHA-256 public-key pins (64 hex digits)
# Usage: make_test_keys.sh OUT_DIR
set -euo pipefail
out=$1
[ -f "$out/other.pin" ] && exit 0
mkdir -p "$out"
pin_script=$(cd "$(dirname "$0")/../../scripts" && pwd)/signer-pin.sh
cd "$out"
quiet() { "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; "$@"; exit 1; }; }

quiet openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Orvinta Test CA" \
  -keyout ca.key -out ca.pem \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
quiet openssl x509 -in ca.pem -outform DER -out ca.der

# issue NAME SUBJECT EXTENSIONS: a key and a certificate signed by the CA.
issue() {
  printf '%s\n' "$3" >"$1.ext"
  quiet openssl req -newkey rsa:2048 -nodes -subj "$2" -keyout "$1.key" -out "$1.csr"
  quiet openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
    -extfile "$1.ext" -out "$1.pem"
  rm -f "$1.csr" "$1.ext"
}
issue localhost "/CN=localhost" "subjectAltName=DNS:localhost
extendedKeyUsage=serverAuth"
for signer in pinned other; do
  issue "$signer" "/CN=Orvinta Test Publisher ($signer)" "extendedKeyUsage=codeSigning
keyUsage=critical,digitalSignature"
  bash "$pin_script" "$signer.pem" >"$signer.pin"
done
