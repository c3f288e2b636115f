#!/usr/bin/env bash
# The long form of the soak and abuse test: bash scripts/soak.sh [requests]   (default 10000)
# CTest runs the same test with a few hundred requests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh
build=${BUILD_DIR:-build}
export WINEPREFIX="$PWD/$build/wineprefix-soak" WINEDEBUG=-all
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1 || true
# A persistent server, and Wine's background processes started apart from our output.
wineserver -p >/dev/null 2>&1 </dev/null || true
wine cmd /c exit >/dev/null 2>&1 </dev/null || true
trap 'wineserver -k' EXIT
VELMORA_SOAK_REQUESTS=${1:-10000} wine "$build/bin/test_soak.exe"
