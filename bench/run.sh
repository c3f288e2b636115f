#!/usr/bin/env bash
# Builds and runs the latency benchmark under Wine:
#   bash bench/run.sh [requests-per-series] [attacked|flood|version]   (one series alone)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh
build=${BUILD_DIR:-build}
source scripts/wine-prefix.sh
start_wine_prefix wineprefix-bench
wine "$build/bin/bench.exe" "${1:-1000}" "${2:-}"
