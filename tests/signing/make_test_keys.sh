#!/usr/bin/env bash
# Makes throwaway test keys in OUT_DIR (once; nothing here is ever committed):
#   ca.pem, ca.der            a test CA, trusted only by the test prefixes
#   localhost.pem/.key        a TLS server certificate for DNS name localhost
#   otherhost.pem/.key        one the same CA issued for another name
#   proxied.pem/.key          one for downloads.orvinta.test, which only the
#                             tests' proxy resolves
#   pinned.pem/.key           the code-signing key the signed test build pins
#   other.pem/.key            another code-signing key under the same CA
#   intermediate.pem/.key     an intermediate CA under the test CA
#   chained.pem/.key          a code-signing key under that intermediate
#   expired.pem/.key          a code-signing key whose certificate expired in 2020
#   *.pin                     the code-signing keys' SHA-256 public-key pins
# Usage: make_test_keys.sh OUT_DIR
set -euo pipefail
out=$1
[ -f "$out/expired.pin" ] && [ -f "$out/proxied.pem" ] && exit 0
mkdir -p "$out"
pin_script=$(cd "$(dirname "$0")/../../scripts" && pwd)/signer-pin.sh
cd "$out"
quiet() { "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; "$@"; exit 1; }; }

quiet openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Orvinta Test CA" \
  -keyout ca.key -out ca.pem \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
quiet openssl x509 -in ca.pem -outform DER -out ca.der

# issue NAME SUBJECT EXTENSIONS [ISSUER]: a key and a certificate signed by
# ISSUER (default: the CA).
issue() {
  local issuer=${4:-ca}
  printf '%s\n' "$3" >"$1.ext"
  quiet openssl req -newkey rsa:2048 -nodes -subj "$2" -keyout "$1.key" -out "$1.csr"
  quiet openssl x509 -req -in "$1.csr" -CA "$issuer.pem" -CAkey "$issuer.key" -CAcreateserial \
    -days 30 -extfile "$1.ext" -out "$1.pem"
  rm -f "$1.csr" "$1.ext"
}
issue localhost "/CN=localhost" "subjectAltName=DNS:localhost
extendedKeyUsage=serverAuth"
issue otherhost "/CN=downloads.example.com" "subjectAltName=DNS:downloads.example.com
extendedKeyUsage=serverAuth"
issue proxied "/CN=downloads.orvinta.test" "subjectAltName=DNS:downloads.orvinta.test
extendedKeyUsage=serverAuth"
code_signing="extendedKeyUsage=codeSigning
keyUsage=critical,digitalSignature"
for signer in pinned other; do
  issue "$signer" "/CN=Orvinta Test Publisher ($signer)" "$code_signing"
  bash "$pin_script" "$signer.pem" >"$signer.pin"
done
issue intermediate "/CN=Orvinta Test Intermediate CA" "basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign"
issue chained "/CN=Orvinta Test Publisher (chained)" "$code_signing" intermediate
bash "$pin_script" chained.pem >chained.pin
# openssl x509 cannot date a certificate in the past; openssl ca can.
printf '%s\n' "[ca]" "default_ca=test" "[test]" "database=expired.db" "new_certs_dir=." \
  "serial=expired.serial" "default_md=sha256" "policy=any" "[any]" "commonName=supplied" \
  "[codesign]" "extendedKeyUsage=codeSigning" "keyUsage=critical,digitalSignature" >expired.cnf
: >expired.db
echo 1000 >expired.serial
quiet openssl req -newkey rsa:2048 -nodes -subj "/CN=Orvinta Test Publisher (expired)" \
  -keyout expired.key -out expired.csr
quiet openssl ca -batch -config expired.cnf -cert ca.pem -keyfile ca.key -in expired.csr \
  -out expired.pem -startdate 20200101000000Z -enddate 20200201000000Z -extensions codesign
rm -f expired.csr expired.cnf expired.db* expired.serial* 1000.pem
bash "$pin_script" expired.pem >expired.pin
