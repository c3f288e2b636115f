#!/usr/bin/env bash
# The whole suite while two busy loops keep both cores loaded, several runs in a row:
#   bash scripts/test-under-load.sh [runs]   (default 3)
# Each run's time is printed; the script stops at the first run that fails.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
bash scripts/bootstrap.sh
bash scripts/build.sh
busy=()
for _ in 1 2; do
    ( while :; do :; done ) &
    busy+=($!)
done
trap 'kill "${busy[@]}" 2>/dev/null || true' EXIT
for run in $(seq 1 "$runs"); do
    start=$(date +%s)
    if ! bash scripts/test.sh > "${BUILD_DIR:-build}/under-load-$run.log" 2>&1; then
        tail -n 40 "${BUILD_DIR:-build}/under-load-$run.log"
        echo "run $run of $runs failed after $(( $(date +%s) - start )) s under load"
        exit 1
    fi
    echo "run $run of $runs passed in $(( $(date +%s) - start )) s under load"
done
