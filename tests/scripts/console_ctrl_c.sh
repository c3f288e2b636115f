#!/usr/bin/env bash
# Ctrl+C reaches a console-mode velmora only as SIGINT from the Linux side, and only when wine
# started it directly. Checks: the loop ends with its teardown and exit code 0, log lines are
# echoed to the console without their stamp, a silent client
# delays the stop by at most the request deadline, and a core stop (the forced one under Wine)
# leaves the host's console alone, so Ctrl+C and the echo of log lines still work after it.
set -u
velmora=$1
standin=$2
velmoractl=$3
name="ctrlc-$$"
data="$WINEPREFIX/drive_c/ProgramData/$name"
out=$(mktemp)
bin=$(mktemp -d)
trap 'rm -rf "$out" "$bin"' EXIT

fail() { echo "FAIL: $*"; echo "--- output:"; cat "$out"; exit 1; }

start_console() {
    wine "$velmora" console --name "$name" >"$out" 2>&1 &
    pid=$!
    for _ in $(seq 1 200); do
        grep -q "listening on 127.0.0.1:" "$data/service.log" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "console mode did not start listening"
}

wait_exit() {  # pid, seconds; sets rc
    local deadline=$((SECONDS + $2))
    while kill -0 "$1" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || fail "process still running after $2 s"
        sleep 0.1
    done
    wait "$1"; rc=$?
}

# Idle: Ctrl+C ends the loop at once.
start_console
kill -INT "$pid"
wait_exit "$pid" 15
[ "$rc" -eq 0 ] || fail "exit code $rc after SIGINT, expected 0"
grep -q "^service loop exited" "$out" || fail "no 'service loop exited' on the console"
grep -q "\] service loop exited" "$data/service.log" || fail "no 'service loop exited' in service.log"
grep -q "running in console mode, ctrl-c to stop" "$out" || fail "no console banner"
# Log lines are echoed to the console as they are, without their time stamp.
grep -q "^listening on 127.0.0.1:" "$out" || fail "no echo of the listening line"
! grep -q "^\[" "$out" || fail "a log line on the console carries its time stamp"

# A client that connects and sends nothing holds the loop at most for the request deadline.
rm -f "$data/service.log"
start_console
port=$(sed -n 's/^port=//p' "$data/service.conf")
exec 3<>"/dev/tcp/127.0.0.1/$port" || fail "cannot connect to $port"
sleep 0.5
started=$SECONDS
kill -INT "$pid"
wait_exit "$pid" 20
elapsed=$((SECONDS - started))
exec 3>&-
[ "$rc" -eq 0 ] || fail "exit code $rc after SIGINT with a silent client"
[ "$elapsed" -le 12 ] || fail "stop took $elapsed s with a silent client (deadline is 5 s)"
# After a /start and a /stop the console is still the host's.
rm -f "$data/service.log"
key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$name\\Parameters"
# A private copy: the sweep of the stop ends every process of the core's image.
cp "$standin" "$bin/standin-core.exe"
wine reg add "$key" /v CoreBinary /t REG_SZ /d "$(winepath -w "$bin/standin-core.exe")" /f >/dev/null 2>&1
wine reg add "$key" /v GuiBinary /t REG_SZ /d "$(winepath -w "$velmoractl")" /f >/dev/null 2>&1
config="$bin/core.conf"
: >"$config"
start_console
wine "$velmoractl" --name "$name" start "$(winepath -w "$config")" | grep -q '^200 ' ||
    fail "/start was not answered with 200"
wine "$velmoractl" --name "$name" stop | grep -q '^200 ' || fail "/stop was not answered with 200"
# Under Wine the helper cannot attach to a core without a console window (error 6).
grep -Eq "ctrl-break to [0-9]+ failed \(err=6\), terminating" "$data/service.log" ||
    fail "no forced stop line in service.log"
# A refused program's line ends in at most the last 260 characters of its path, marked as cut.
deep="$bin/$(printf 'd%.0s' {1..120})/$(printf 'e%.0s' {1..120})/$(printf 'f%.0s' {1..120})"
mkdir -p "$deep" && cp "$velmoractl" "$deep/"
wine "$deep/velmoractl.exe" --name "$name" status >/dev/null 2>&1
refused="Z:${deep//\//\\}\\velmoractl.exe"  # winepath cuts long paths itself
kill -INT "$pid"
wait_exit "$pid" 20
grep -qF "path=...${refused: -260}"$'\r' "$data/service.log" || fail "no cut path in service.log"
LC_ALL=C awk 'length($0) > 511 { exit 1 }' "$data/service.log" || fail "a line over 512 bytes"
wine reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$name" /f >/dev/null 2>&1
[ "$rc" -eq 0 ] || fail "exit code $rc after SIGINT following a core stop"
grep -q "^service loop exited" "$out" || fail "no 'service loop exited' on the console after a core stop"
echo "PASS: SIGINT stops the console loop (silent client delayed the stop by ${elapsed}s)"
