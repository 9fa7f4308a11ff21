#!/usr/bin/env bash
# Prints the launcher's size and speed figures (see scripts/benchmark.py).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/test}
bash scripts/setup.sh
cmake -S . -B "$build" -DDOWNLOAD_HOST=127.0.0.1:28613 >/dev/null
cmake --build "$build" -j"$(nproc)" --target OrvintaLauncher download_benchmark registry_probe \
  recording_updater >/dev/null
python3 scripts/benchmark.py "$build"
