#!/usr/bin/env bash
# Builds and runs the latency benchmark under Wine: bash bench/run.sh [requests-per-series]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh
build=${BUILD_DIR:-build}
export WINEPREFIX="$PWD/$build/wineprefix-bench" WINEDEBUG=-all
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1 || true
# A persistent server, and Wine's background processes started apart from our output.
wineserver -p >/dev/null 2>&1 </dev/null || true
wine cmd /c exit >/dev/null 2>&1 </dev/null || true
trap 'wineserver -k' EXIT
wine "$build/bin/bench.exe" "${1:-1000}"
