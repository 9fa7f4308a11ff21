#!/usr/bin/env bash
# Builds the launcher for a local download server and shows a first install
# and a repeat run under Wine, in a throwaway prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/test}

bash scripts/setup.sh
echo "Building the launcher for the local download server 127.0.0.1:28613"
cmake -S . -B "$build" -DDOWNLOAD_HOST=127.0.0.1:28613 >/dev/null
cmake --build "$build" -j"$(nproc)" --target OrvintaLauncher registry_probe recording_updater \
  sample_client >/dev/null
python3 scripts/demo.py "$build"
