#!/usr/bin/env bash
# Prints the signer pin of FILE: the SHA-256 of the DER SubjectPublicKeyInfo,
# as 64 lowercase hex digits, the form SIGNER_KEY_SHA256 takes.
# FILE is a certificate (PEM or DER) or an Authenticode-signed executable,
# whose signing certificate is used.
# Usage: signer-pin.sh FILE
set -euo pipefail
file=${1:?usage: signer-pin.sh CERTIFICATE-OR-SIGNED-EXE}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if openssl x509 -in "$file" -noout 2>/dev/null; then
  cert=$file
elif openssl x509 -in "$file" -inform DER -noout 2>/dev/null; then
  openssl x509 -in "$file" -inform DER -out "$work/cert.pem"
  cert=$work/cert.pem
elif osslsigncode extract-signature -in "$file" -out "$work/signature.der" >/dev/null 2>&1; then
  # The signer is the certificate its SignerInfo names by serial number, not
  # whichever chain certificate comes first.
  serial=$(openssl pkcs7 -inform DER -in "$work/signature.der" -print |
    sed -n '/signer_info:/,$ s/^ *serial: *//p' | head -n 1)
  case $serial in
    0x*) serial=${serial#0x} ;;
    *) serial=$(printf '%X' "$serial") ;;
  esac
  openssl pkcs7 -inform DER -in "$work/signature.der" -print_certs -out "$work/chain.pem"
  csplit -s -z -f "$work/cert-" "$work/chain.pem" '/-----BEGIN CERTIFICATE-----/' '{*}'
  cert=
  for candidate in "$work"/cert-*; do
    grep -q "BEGIN CERTIFICATE" "$candidate" || continue
    number=$(openssl x509 -in "$candidate" -noout -serial | sed 's/^serial=//; s/^0*//')
    [ "$number" = "$(echo "${serial#"${serial%%[!0]*}"}" | tr a-f A-F)" ] && cert=$candidate
  done
  [ -n "$cert" ] || { echo "signer-pin: no signing certificate found in $file" >&2; exit 1; }
else
  echo "signer-pin: $file is neither a certificate nor a signed executable" >&2
  exit 1
fi
openssl x509 -in "$cert" -noout -pubkey | openssl pkey -pubin -outform DER | sha256sum | cut -d' ' -f1
