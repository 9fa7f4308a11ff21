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
status=0
for tree in "${trees[@]}"; do
  ctest --test-dir "$tree" -j2 --output-on-failure --timeout 300 || status=1
done
exit $status
