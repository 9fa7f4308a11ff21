#!/usr/bin/env bash
# Builds the launcher and every test, and runs them all under Wine.
# Installs what is missing first; quick when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/test}
wine_root="$PWD/$build/wine"

bash scripts/setup.sh

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

cmake -S . -B "$build" -DDOWNLOAD_HOST=127.0.0.1:28613 >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" -j2 --output-on-failure --timeout 300
