# Sourced by the scripts that run velmora by hand: a Wine prefix of their own in the build
# directory, booted when new, a persistent wineserver for the run, and Wine's background
# processes started apart from our output. Usage: start_wine_prefix <name>
start_wine_prefix() {
    export WINEPREFIX="$PWD/${BUILD_DIR:-build}/$1" WINEDEBUG=-all
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i >/dev/null 2>&1 </dev/null || true
        wineserver -w || true
    fi
    wineserver -p >/dev/null 2>&1 </dev/null || true
    wine cmd /c exit >/dev/null 2>&1 </dev/null || true
    trap 'wineserver -k' EXIT
}
