#!/usr/bin/env bash
# Prints the launcher's size and speed figures (see scripts/benchmark.py).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/build_trees.sh
cmake --build "$build" -j"$(nproc)" --target OrvintaLauncher OrvintaLauncherSigned >/dev/null
cmake --build "$wine_build" -j"$(nproc)" --target OrvintaLauncherBenchmark download_benchmark \
  registry_probe recording_updater sample_client >/dev/null
python3 scripts/benchmark.py "$wine_build" "$build"
