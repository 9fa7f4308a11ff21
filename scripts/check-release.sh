#!/usr/bin/env bash
# Says, before an upload, what every signed launcher will do with each file:
# "kept as ..." or "refused: <reason>", one line per file. The verdicts come
# from release_check.exe, built from the launcher's own check and run under
# Wine in a throwaway prefix of its build tree. The check reads copies under
# plain names, so that a file of any name reaches it (Wine hands arguments
# over in the code page, and a Unix name may hold a backslash) and nothing it
# does can touch the files given.
#   --pins               the launcher's SIGNER_KEY_SHA256
#   --updater-min-version its UPDATER_MIN_VERSION
#   --updater, --client  the files about to be uploaded (client/tmp_updater.bin,
#                        client/orvinta.exe)
#   --live-updater, --live-client  the files players have now: each upload is
#                        compared with its live file as a launcher compares a
#                        download with the file on disk
#   --ca                 the publisher's root certificate (PEM): each kept
#                        signature must then carry its whole chain up to it,
#                        since a launcher fetches no missing certificate
# Exits 0 when every upload would be kept, 1 when one would not, 2 on a usage
# error.
set -euo pipefail
usage='usage: check-release.sh --pins "PIN[;PIN]" [--updater-min-version V] [--updater FILE] [--client FILE] [--live-updater FILE] [--live-client FILE] [--ca FILE]'
fail_usage() { echo "check-release: $1" >&2; echo "$usage" >&2; exit 2; }

root=$(cd "$(dirname "$0")/.." && pwd)
args=() ca=
declare -A uploads=()
[ $# -gt 0 ] || fail_usage "nothing to check"
while [ $# -gt 0 ]; do
  option=$1
  case $option in
    --pins | --updater-min-version | --updater | --client | --live-updater | --live-client | --ca) ;;
    *) fail_usage "unknown option $option" ;;
  esac
  [ $# -ge 2 ] || fail_usage "no value after $option"
  value=$2
  shift 2
  case $option in
    --pins | --updater-min-version) args+=("$option" "$value"); continue ;;
  esac
  [ -e "$value" ] || fail_usage "$value: no such file"
  [ -f "$value" ] && [ -r "$value" ] || fail_usage "$value: not a readable file"
  if [ "$option" = --ca ]; then
    openssl x509 -in "$value" -noout 2>/dev/null || fail_usage "$value: not a PEM certificate"
    ca=$value
    continue
  fi
  args+=("$option" "$value")
  case $option in --updater) uploads[updater]=$value ;; --client) uploads[client]=$value ;; esac
done

# The tool: built once per host kind, or the one a caller names (the tests).
if [ -n "${RELEASE_CHECK_EXE:-}" ]; then
  exe=$RELEASE_CHECK_EXE
  wine_dir=${RELEASE_CHECK_WINE:?RELEASE_CHECK_WINE names the Wine folder for RELEASE_CHECK_EXE}
else
  bash "$root/scripts/setup.sh"
  build="$root/build/release-check"
  cmake -S "$root" -B "$build" -DBUILD_TESTING=OFF \
    -DLAUNCHER_ARCH="$("$root/scripts/winerun" --arch)" >/dev/null 2>&1 ||
    { echo "check-release: could not configure $build" >&2; exit 1; }
  cmake --build "$build" --target release_check >/dev/null ||
    { echo "check-release: could not build release_check" >&2; exit 1; }
  exe=$build/release_check.exe
  wine_dir=$build/wine
fi

# Copies under plain names: see the top.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for ((i = 0; i < ${#args[@]}; i += 2)); do
  case ${args[i]} in
    --pins | --updater-min-version) continue ;;
  esac
  copy="$work/${args[i]#--}.bin"
  cp "${args[i + 1]}" "$copy"
  args[i + 1]="Z:$(echo "$copy" | tr / '\\')"
done

set +e
output=$("$root/scripts/winerun" "$wine_dir" "$exe" "${args[@]}" 2>"$work/errors" </dev/null)
status=$?
set -e
if [ $status -eq 2 ]; then
  sed 's/\r$//; /^usage:/d; s/^release_check:/check-release:/' "$work/errors" >&2
  echo "$usage" >&2
  exit 2
fi
if [ $status -gt 2 ] || [ -z "$output" ]; then
  echo "check-release: release_check.exe failed under Wine (exit $status)" >&2
  sed 's/\r$//' "$work/errors" >&2
  exit 1
fi

while IFS= read -r line; do
  line=${line%$'\r'}
  role=${line%%:*}
  if [ -n "$ca" ] && [[ $line == "$role: kept as "* ]] &&
    ! osslsigncode verify -CAfile "$ca" -in "${uploads[$role]}" >"$work/chain" 2>&1; then
    # Windows refuses all of these; Wine checks no chain, so only this shows them.
    if grep -q "unable to get local issuer certificate" "$work/chain"; then
      reason="chain incomplete (nothing in the signature links its signer to $ca)"
    elif grep -q "certificate has expired" "$work/chain"; then
      reason="the signing certificate has expired"
    elif grep -q "certificate purpose" "$work/chain"; then
      reason="the signing certificate is not for code signing"
    else
      reason="the signature does not verify up to $ca"
    fi
    echo "$role: refused: $reason"
    status=1
  else
    echo "$line"
  fi
done <<<"$output"
exit $status
