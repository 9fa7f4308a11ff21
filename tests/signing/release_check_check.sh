#!/usr/bin/env bash
# scripts/check-release.sh gives the verdict and the reason a signed launcher
# would, for each row, and the exit status that goes with it, whatever the
# names of the files it is given.
# Usage: release_check_check.sh TEST_KEYS_DIR E2E_DIR RELEASE_CHECK_EXE WINE_DIR
set -uo pipefail
keys=$1 e2e=$2
export RELEASE_CHECK_EXE=$3 RELEASE_CHECK_WINE=$4
script="$(cd "$(dirname "$0")/../../scripts" && pwd)/check-release.sh"
pinned=$(cat "$keys/pinned.pin") other=$(cat "$keys/other.pin") chained=$(cat "$keys/chained.pin")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The pinned updater with one byte of its code changed after signing.
cp "$keys/updater.pinned.exe" "$work/altered.exe"
python3 -c 'import sys; b = bytearray(open(sys.argv[1], "rb").read()); b[1500] ^= 1
open(sys.argv[1], "wb").write(b)' "$work/altered.exe"
# A publisher's file name that no Windows code page can hold whole, with a
# space and a backslash, which a Unix name may hold.
odd_name="$work/업데이터 ünïcode\\1.exe"
cp "$keys/updater.pinned.exe" "$odd_name"
passed=0 failed=0
row() {  # row WHAT STATUS TEXT ARGS...: exit STATUS, and TEXT on a line of the output (last_output)
  local what=$1 want=$2 text=$3
  shift 3
  local output status
  output=$(bash "$script" "$@" 2>&1)
  status=$?
  last_output=$output
  if [ "$status" = "$want" ] && grep -qF -- "$text" <<<"$output"; then
    passed=$((passed + 1)); echo "ok    $what"
  else
    failed=$((failed + 1)); echo "FAIL  $what: exit $status (wanted $want), output:"; echo "$output"
  fi
}
row "kept" 0 "updater: kept as updater.exe (version 1.2.0.0, signer pin $pinned)" \
  --pins "$pinned" --updater "$keys/updater.pinned.exe"
row "key roll: the pin second of two" 0 "client: kept as orvinta.exe (version 1.0.0.0" \
  --pins "$other;$pinned" --client "$keys/client.pinned.exe"
row "no signature" 1 "updater: refused: no signature" \
  --pins "$pinned" --updater "$e2e/recording_updater.exe"
row "altered" 1 "updater: refused: altered" --pins "$pinned" --updater "$work/altered.exe"
row "not a pinned signer" 1 "updater: refused: not a pinned signer (signer pin $other)" \
  --pins "$pinned" --updater "$keys/updater.other.exe"
row "no version resource" 1 "updater: refused: no version resource" \
  --pins "$pinned" --updater "$keys/updater-unversioned.pinned.exe"
row "the client as the updater" 1 "updater: refused: named orvinta.exe" \
  --pins "$pinned" --updater "$keys/client.pinned.exe" --client "$keys/client.pinned.exe"
row "below the floor" 1 "updater: refused: below the floor 1.3.0.0 (version 1.2.0.0)" \
  --pins "$pinned" --updater-min-version 1.3 --updater "$keys/updater.pinned.exe"
row "newer than the live file" 0 "updater: kept as updater.exe (version 1.10.0.0" \
  --pins "$pinned" --updater "$keys/updater-1.10.pinned.exe" \
  --live-updater "$keys/updater.pinned.exe"
row "older than the live file" 1 \
  "updater: refused: older than the live version 1.10.0.0 (version 1.2.0.0); players' launchers keep" \
  --pins "$pinned" --updater "$keys/updater.pinned.exe" \
  --live-updater "$keys/updater-1.10.pinned.exe"
row "an unsigned live file is no reference" 0 "live updater: no reference" \
  --pins "$pinned" --updater "$keys/updater.pinned.exe" \
  --live-updater "$e2e/updater_99_unsigned.exe"
row "chain incomplete" 1 "updater: refused: chain incomplete" \
  --pins "$chained" --ca "$keys/ca.pem" --updater "$keys/updater-leaf-only.chained.exe"
row "whole chain" 0 "updater: kept as updater.exe" \
  --pins "$chained" --ca "$keys/ca.pem" --updater "$keys/updater.chained.exe"
row "expired signing certificate" 1 "updater: refused: the signing certificate has expired" \
  --pins "$(cat "$keys/expired.pin")" --ca "$keys/ca.pem" --updater "$keys/updater.expired.exe"
row "a TLS certificate signed it" 1 "updater: refused: the signing certificate is not for code" \
  --pins "$(bash "$(dirname "$script")/signer-pin.sh" "$keys/localhost.pem")" --ca "$keys/ca.pem" \
  --updater "$keys/updater.localhost.exe"
row "no PE image" 1 "client: refused: no PE image" --pins "$pinned" --client "$keys/pinned.pin"
row "a file whose name Wine's code page cannot hold" 0 "updater: kept as updater.exe (version 1.2" \
  --pins "$pinned" --updater "$odd_name"
row "an updater whose manifest requests no level: noted, still kept" 0 \
  "updater: note: its manifest has no requestedExecutionLevel" \
  --pins "$pinned" --updater "$keys/updater.pinned.exe"
row "an updater whose manifest requests its level: kept" 0 "updater: kept as updater.exe" \
  --pins "$pinned" --updater "$keys/updater-as_invoker.pinned.exe"
if grep -q requestedExecutionLevel <<<"$last_output"; then
  failed=$((failed + 1)); echo "FAIL  an updater whose manifest requests its level: noted"
else
  passed=$((passed + 1)); echo "ok    an updater whose manifest requests its level: no note"
fi
row "usage: no pins" 2 "usage: check-release.sh" --updater "$keys/updater.pinned.exe"
row "usage: malformed pin list" 2 "64 hex digits" \
  --pins "$pinned;" --updater "$keys/updater.pinned.exe"
row "usage: missing file" 2 "check-release: $work/absent.exe: no such file" \
  --pins "$pinned" --updater "$work/absent.exe"
row "usage: a folder, not a file" 2 "check-release: $work: not a readable file" \
  --pins "$pinned" --client "$work"
row "usage: nothing to check" 2 "nothing to check" --pins "$pinned"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
