#!/usr/bin/env bash
# Builds the launcher and every test, and runs them all under Wine.
# Installs what is missing first; quick when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

source scripts/build_trees.sh
wine_root="$PWD/$wine_build/wine"

# One wineserver for the whole build and test run: without it, a test that
# starts just as the previous server times out loses its connection.
scripts/winerun "$wine_root" cmd /c exit
export HOME="$wine_root/home" WINEPREFIX="$wine_root/prefix"
wineserver -w
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# Wine's own background processes start with the first program and keep its
# output open; start them here so no test's output is held open by them.
scripts/winerun "$wine_root" cmd /c exit </dev/null >/dev/null 2>&1

for tree in "${trees[@]}"; do
  cmake --build "$tree" -j"$(nproc)"
done
# Where there are two trees, the image checks of the i686 one (two whole
# builds among them) run beside the Wine tests, which mostly wait on Wine.
status=0
pids=()
for tree in "${trees[@]}"; do
  if [ "$tree" != "$wine_build" ]; then
    ctest --test-dir "$tree" -j1 --output-on-failure --timeout 300 >"$tree/ctest.log" 2>&1 &
    pids+=($!)
  fi
done
ctest --test-dir "$wine_build" -j2 --output-on-failure --timeout 300 | tee "$wine_build/ctest.log" ||
  status=1
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done
for tree in "${trees[@]}"; do
  if [ "$tree" != "$wine_build" ]; then cat "$tree/ctest.log"; fi
done
# The Wine tests' summary last, where a reader looks first.
if [ "${#trees[@]}" -gt 1 ]; then grep -E "tests passed|tests failed" "$wine_build/ctest.log"; fi
exit $status
