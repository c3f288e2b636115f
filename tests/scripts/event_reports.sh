#!/usr/bin/env bash
# Wine's event log keeps nothing, but its trace shows each ReportEventW call: type, ID and
# insertion strings. Checks the events of a console-mode velmora: started with its port, a core
# that ended unasked (warning, its exit code), giving up on it (error), stopped with exit code 0,
# and a FATAL line (error) when the endpoint file cannot be written.
set -u
velmora=$1
standin=$2
velmoractl=$3
name="events-$$"
data="$WINEPREFIX/drive_c/ProgramData/$name"
key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$name"
work=$(mktemp -d)
trap 'rm -rf "$work"; wine reg delete "$key" /f >/dev/null 2>&1' EXIT

fail() { echo "FAIL: $*"; echo "--- events:"; cat "$work/events"; exit 1; }

# One line per call: "<type> <id> <strings...>".
events() {
    awk '/fixme:advapi:ReportEventW/ { if (line) print line; split($0, f, ","); line = f[2] " " f[4] }
         /:eventlog:ReportEventW/ { s = $0; sub(/.*ReportEventW L"/, "", s); sub(/"$/, "", s); line = line " " s }
         END { if (line) print line }' "$work/trace" >"$work/events"
}

run_console() {  # runs until the log has $1, then Ctrl+C
    WINEDEBUG=-all,fixme+advapi,+eventlog wine "$velmora" console --name "$name" \
        >/dev/null 2>"$work/trace" &
    local pid=$! deadline=$((SECONDS + 60))
    until grep -q "$1" "$data/service.log" 2>/dev/null; do
        kill -0 "$pid" 2>/dev/null || break
        [ $SECONDS -lt $deadline ] || { kill -9 "$pid"; fail "no '$1' in service.log"; }
        sleep 0.2
    done
    kill -INT "$pid" 2>/dev/null
    wait "$pid"
    events
}

cp "$standin" "$work/standin-core.exe"
printf 'exit-after-ms=1500\nexit-code=7\n' >"$work/core.conf"
wine reg add "$key\\Parameters" /v CoreBinary /t REG_SZ /d "$(winepath -w "$work/standin-core.exe")" /f >/dev/null 2>&1
wine reg add "$key\\Parameters" /v GuiBinary /t REG_SZ /d "$(winepath -w "$velmoractl")" /f >/dev/null 2>&1
(until grep -q "listening on" "$data/service.log" 2>/dev/null; do sleep 0.2; done
 wine "$velmoractl" --name "$name" start "$(winepath -w "$work/core.conf")" >/dev/null 2>&1) &
run_console "giving up after"
port=$(sed -n 's/^port=//p' "$data/service.conf")
grep -q "^0x0004 0x000003e8 $name $port\$" "$work/events" || fail "no started event with port $port"
grep -Eq "^0x0002 0x000003eb $name [0-9]+ 7\$" "$work/events" || fail "no core-ended warning with code 7"
grep -Eq "^0x0001 0x000003ec $name [0-9]+\$" "$work/events" || fail "no giving-up error"
grep -q "^0x0004 0x000003e9 $name 0\$" "$work/events" || fail "no stopped event with code 0"

# A folder where the endpoint file belongs: the loop cannot write it and ends.
rm -f "$data/service.conf" && mkdir "$data/service.conf"
run_console "FATAL"
grep -q "^0x0001 0x000003ea $name cannot write .*service.conf" "$work/events" || fail "no FATAL event"
grep -q "^0x0001 0x000003e9 $name 5\$" "$work/events" || fail "no stopped event with code 5"
rm -rf "$data"
echo "PASS: started, core ended, given up, stopped and FATAL reported"
