#!/usr/bin/env bash
# Builds the launcher twice from copies of the source in two different
# folders, into two different build folders, and compares the executables
# byte for byte: no time stamp and no build path may reach them.
# Usage: reproducible_build.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1
work=$2
rm -rf "$work"
for copy in first-copy another/second-copy; do
  mkdir -p "$work/$copy/src"
  cp -r "$source_dir"/{CMakeLists.txt,cmake,launcher,services,resources,scripts,tools} "$work/$copy/src/"
  cmake -S "$work/$copy/src" -B "$work/$copy/build-$RANDOM" -DBUILD_TESTING=OFF \
    -DDOWNLOAD_HOST=downloads.example.com >/dev/null
  cmake --build "$work/$copy"/build-* >/dev/null
done
first=$(echo "$work"/first-copy/build-*/OrvintaLauncher.exe)
second=$(echo "$work"/another/second-copy/build-*/OrvintaLauncher.exe)
sha256sum "$first" "$second"
if cmp "$first" "$second"; then
  echo "1 passed, 0 failed"
else
  echo "the two builds differ"
  echo "0 passed, 1 failed"
  exit 1
fi
