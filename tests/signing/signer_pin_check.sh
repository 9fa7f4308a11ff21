#!/usr/bin/env bash
# scripts/signer-pin.sh gives a key's pin from its certificate in PEM or DER
# and from a file it signed (whose signature also carries the CA), and
# refuses a file that is neither. Usage: signer_pin_check.sh TEST_KEYS_DIR
set -uo pipefail
keys=$1
pin_script="$(cd "$(dirname "$0")/../../scripts" && pwd)/signer-pin.sh"
passed=0 failed=0
row() {  # row WHAT EXPECTED FILE
  local got
  got=$(bash "$pin_script" "$3" 2>/dev/null) || got="(refused)"
  if [ "$got" = "$2" ]; then
    passed=$((passed + 1)); echo "ok    $1"
  else
    failed=$((failed + 1)); echo "FAIL  $1: got $got, expected $2"
  fi
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl x509 -in "$keys/other.pem" -outform DER -out "$work/other.der"
row "certificate in PEM" "$(cat "$keys/pinned.pin")" "$keys/pinned.pem"
row "certificate in DER" "$(cat "$keys/other.pin")" "$work/other.der"
row "signed file: its signer, not the CA" "$(cat "$keys/pinned.pin")" "$keys/client.pinned.exe"
row "file signed by the other key" "$(cat "$keys/other.pin")" "$keys/updater.other.exe"
row "neither" "(refused)" "$keys/pinned.pin"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
