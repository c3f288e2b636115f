#!/usr/bin/env bash
# Sets everything up, builds, and runs velmora in console mode with the stand-in core as its core
# and velmoractl as the trusted application. Ctrl+C stops it.
set -euo pipefail
source "$(dirname "$0")/demo-env.sh"
bash "$repo/scripts/bootstrap.sh"
bash "$repo/scripts/build.sh"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating Wine prefix $WINEPREFIX"
    wineboot -i >/dev/null 2>&1
fi
key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$name\\Parameters"
wine reg add "$key" /v CoreBinary /t REG_SZ /d "Z:${build//\//\\}\\bin\\standin-core.exe" /f >/dev/null
wine reg add "$key" /v GuiBinary /t REG_SZ /d "Z:${build//\//\\}\\bin\\velmoractl.exe" /f >/dev/null

cat <<MSG
velmora '$name' starts in console mode. In another terminal:
    bash scripts/ctl.sh version
    bash scripts/ctl.sh start samples/core-config.json
    bash scripts/ctl.sh status
    bash scripts/ctl.sh stop
Ctrl+C here stops the service host (and the core with it).
MSG
exec wine "$build/bin/velmora.exe" console --name "$name"
