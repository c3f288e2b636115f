#!/usr/bin/env bash
# Sets everything up, builds, and runs every test under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh
cd "${BUILD_DIR:-build}"
ctest --output-on-failure "$@"
