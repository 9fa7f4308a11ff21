#!/usr/bin/env bash
# Configures the project with each row's options and checks that configure
# accepts or refuses them, with the message a publisher needs.
# Usage: configure_check.sh SOURCE_DIR WORK_DIR
set -uo pipefail
source_dir=$1
work=$2
passed=0 failed=0
# expect accept|refuse "message to look for" OPTIONS...
expect() {
  local want=$1 message=$2
  shift 2
  rm -rf "$work"
  output=$(cmake -S "$source_dir" -B "$work" -DBUILD_TESTING=OFF "$@" 2>&1)
  local status=$?
  local got=accept
  [ $status -eq 0 ] || got=refuse
  if [ "$got" = "$want" ] && grep -qF -- "$message" <<<"$output"; then
    passed=$((passed + 1)); echo "ok    $want $*"
  else
    failed=$((failed + 1)); echo "FAIL  expected $want with '$message': $*"; echo "$output" | tail -5
  fi
}
pin=$(printf 'AB%.0s' {1..32})
expect accept "runs, as administrator, whatever the download server sends"
expect accept "Build files have been written" -DDOWNLOAD_SCHEME=https "-DSIGNER_KEY_SHA256=$pin;${pin,,}"
expect refuse "is neither http nor https" -DDOWNLOAD_SCHEME=ftp
expect refuse "64 hex digits" "-DSIGNER_KEY_SHA256=${pin:1}"
expect refuse "64 hex digits" "-DSIGNER_KEY_SHA256=$pin;;$pin"
expect refuse "64 hex digits" "-DSIGNER_KEY_SHA256=${pin:1}g"
expect accept "Build files have been written" "-DSIGNER_KEY_SHA256=$pin" -DUPDATER_MIN_VERSION=1
expect accept "Build files have been written" "-DSIGNER_KEY_SHA256=$pin" \
  -DUPDATER_MIN_VERSION=65535.0.10.65535
expect refuse "needs SIGNER_KEY_SHA256" -DUPDATER_MIN_VERSION=1.2
for version in 1.2.3.4.5 1.65536 1..2 1.2. v1.2 -1 099999; do
  expect refuse "1 to 4 numbers from 0 to 65535" "-DSIGNER_KEY_SHA256=$pin" \
    "-DUPDATER_MIN_VERSION=$version"
done
expect accept "asked in turn: a.example, then b.example:8080, then [::1]" -DDOWNLOAD_HOST=a.example \
  "-DDOWNLOAD_FALLBACK_HOSTS=b.example:8080,[::1]"
for hosts in "b.example,,c.example" ",b.example" "b.example,"; do
  expect refuse "has an empty entry" -DDOWNLOAD_HOST=a.example "-DDOWNLOAD_FALLBACK_HOSTS=$hosts"
done
for hosts in "A.example" "b.example,B.EXAMPLE"; do
  expect refuse "is the primary or a duplicate" -DDOWNLOAD_HOST=a.example \
    "-DDOWNLOAD_FALLBACK_HOSTS=$hosts"
done
expect refuse "names more than two hosts" "-DDOWNLOAD_FALLBACK_HOSTS=b,c,d"
expect refuse "is not host[:port]" "-DDOWNLOAD_FALLBACK_HOSTS=b/x"
expect accept "Build files have been written" -DLAUNCHER_VERSION=2.10.0.7
expect refuse "LAUNCHER_VERSION '2.1.0.0.1' must be 1 to 4 numbers" -DLAUNCHER_VERSION=2.1.0.0.1
expect accept "Build files have been written" -DDOWNLOAD_STALL_SECONDS=3600 -DDOWNLOAD_MIN_RATE=1 \
  -DDOWNLOAD_MAX_BYTES=2147483647
for row in DOWNLOAD_STALL_SECONDS=0 DOWNLOAD_STALL_SECONDS=3601 DOWNLOAD_STALL_SECONDS=1m \
    DOWNLOAD_MIN_RATE=0 DOWNLOAD_MIN_RATE=-5 DOWNLOAD_MIN_RATE= DOWNLOAD_MAX_BYTES=0 \
    DOWNLOAD_MAX_BYTES=2147483648 DOWNLOAD_MAX_BYTES=99999999999999999999 DOWNLOAD_MAX_BYTES=1e9; do
  expect refuse "${row%%=*} '${row#*=}' must be a whole number from" "-D$row"
done
rm -rf "$work"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
