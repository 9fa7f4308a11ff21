#!/usr/bin/env bash
# Builds the launcher for a local download server and shows a first install,
# a repeat run answered 304, a server that stops sending, then a signed build:
# the release check on what it will be served, an altered updater refused and
# an older signed one not kept, under Wine in a throwaway prefix, with the
# record each run leaves.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
echo "Building the launcher for the local download server 127.0.0.1:28613"
source scripts/build_trees.sh
cmake --build "$wine_build" -j"$(nproc)" --target OrvintaLauncher OrvintaLauncherE2E \
  OrvintaLauncherSignedE2E registry_probe recording_updater sample_client signed_test_files \
  release_check >/dev/null
python3 scripts/demo.py "$wine_build"
