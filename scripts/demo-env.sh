# Shared by the demo scripts: the build, a Wine prefix of the demo's own, and the service name.
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$repo/${BUILD_DIR:-build}"
export WINEPREFIX="$build/wineprefix-demo"
export WINEDEBUG=-all
name=${VELMORA_NAME:-velmora-demo}
