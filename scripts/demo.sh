#!/usr/bin/env bash
# Builds the launcher for a local download server and shows a first install,
# a repeat run and a signed build refusing an altered updater, under Wine in a
# throwaway prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
echo "Building the launcher for the local download server 127.0.0.1:28613"
source scripts/build_trees.sh
cmake --build "$wine_build" -j"$(nproc)" --target OrvintaLauncher OrvintaLauncherSignedE2E \
  registry_probe recording_updater sample_client signed_test_files >/dev/null
python3 scripts/demo.py "$wine_build"
