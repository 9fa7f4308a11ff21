#!/usr/bin/env bash
# Builds the launcher and every test, and runs them all under Wine.
# Installs what is missing first; quick when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/test}

bash scripts/setup.sh

# The shipped launcher is 32-bit. Where the kernel runs no 32-bit programs,
# its image is still built and checked here, and the tests that run programs
# under Wine are built for x86_64 in a tree of their own.
wine_arch=$(scripts/winerun --arch)
configure() { cmake -S . -B "$1" -DDOWNLOAD_HOST=127.0.0.1:28613 "${@:2}" >/dev/null; }
if [ "$wine_arch" = i686 ]; then
  trees=("$build")
  wine_build=$build
  configure "$build" -DWINE_TESTS=ON
else
  echo "test: this kernel runs no 32-bit programs; the Wine tests run as x86_64 builds"
  wine_build=$build-x86_64
  trees=("$build" "$wine_build")
  configure "$build" -DWINE_TESTS=OFF
  configure "$wine_build" -DLAUNCHER_ARCH=x86_64 -DWINE_TESTS=ON
fi
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
