#!/usr/bin/env bash
# The long form of the soak and abuse test: bash scripts/soak.sh [requests]   (default 10000)
# CTest runs the same test with a few hundred requests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh
build=${BUILD_DIR:-build}
source scripts/wine-prefix.sh
start_wine_prefix wineprefix-soak
VELMORA_SOAK_REQUESTS=${1:-10000} wine "$build/bin/test_soak.exe"
