#!/usr/bin/env bash
# The service on the network under Wine, with real clients on the Linux side:
#   tests/e2e/network.sh ARCH BUILD_DIR SIMULATOR SERVICE_EXE VERSION CASE
# The primary is korvoups-service with ups-simulator on COM1, serving on
# 127.0.0.1; each service runs `run --console` in a Wine session of its own
# (its own prefix and wineserver), its lines stamped as they come out.
#   clients       upsc reads the simulator's figures as the driver published
#                 them; a wrong password is refused at LOGIN (and logged); a
#                 login shows in `upsc -c`; a silent UPS gives "Data stale",
#                 and its answer again the figures.
#   fleet_outage  a second service follows the primary as a secondary (Ups),
#                 and Debian's upsmon as a third machine; a real (not dry-run)
#                 outage to low battery: the primary sets FSD, the second
#                 service logs SHUTDOWN and logs out, upsmon runs its shutdown
#                 command, and the primary goes on (RunBeforeShutdown, the
#                 shutdown call) once both have gone, well before
#                 HostSyncSeconds.
#   fleet_silent  the primary falls silent (its process stopped) while on
#                 mains: the secondary warns only; again once on battery: the
#                 secondary shuts down after CommLostSeconds.
# Exit 77 (skipped) without the simulator, upsc or upsmon, or where ARCH
# cannot run.
set -euo pipefail

if (($# != 6)); then
    echo "usage: $0 x86_64|i686 BUILD_DIR SIMULATOR SERVICE_EXE VERSION CASE" >&2
    exit 2
fi
arch="$1" build_dir="$(realpath "$2")" simulator="$3" service="$4" version="$5" case_name="$6"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../../scripts/wine-env.sh"
source "$here/lib.sh"
skip_unless_runnable "$simulator" "$arch"
UPSC=/usr/bin/upsc
UPSMON=/lib/nut/upsmon
# upsmon keeps its PID file in /run/nut whatever it is told and refuses to
# start beside another: every test that runs one takes this lock first.
UPSMON_LOCK=/tmp/korvoups-upsmon-test.lock
STALE_UPSMON_PID_FILE='p="$(cat /run/nut/upsmon.pid 2>/dev/null)"; [[ "$(cat "/proc/$p/comm" 2>/dev/null)" == upsmon ]] || rm -f /run/nut/upsmon.pid'
if [[ ! -x "$UPSC" ]] || { [[ "$case_name" == fleet_outage ]] && [[ ! -x "$UPSMON" || "$(id -u)" != 0 ]]; }; then
    echo "SKIPPED: $UPSC or $UPSMON missing (nut-client), or not root for upsmon"
    exit 77
fi
# Generous: Wine's start on a loaded machine.
START_WAIT_S=120
work="$build_dir/e2e/network_$case_name"
windows_path() { local p="Z:$1"; echo "${p//\//\\}"; }
exe="$(windows_path "$(realpath "$service")")"
rm -rf "$work"
mkdir -p "$work"
echo "network $case_name ($arch)"

pids=() prefixes=() upsmon_group=""
cleanup() {
    local pid prefix
    if [[ -n "$upsmon_group" ]]; then kill -TERM -- "-$upsmon_group" 2>/dev/null || true; fi
    for pid in "${pids[@]}"; do kill -CONT "$pid" 2>/dev/null || true; done
    # Each session's wineserver first: it holds the simulator's pty (see wine-run.sh).
    for prefix in "${prefixes[@]}"; do WINEPREFIX="$prefix" "$WINESERVER" -k 2>/dev/null || true; done
    for pid in "${pids[@]}" $(cat "$work"/*/simulator.pid 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    for prefix in "${prefixes[@]}"; do rm -rf "$prefix"; done
}
trap cleanup EXIT
wine_use "$arch" "$build_dir"

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
now() { date +%s.%N; }

# service NAME SECONDS SCENARIO SETTING...: korvoups-service run --console
# for SECONDS in a Wine session of its own, WORK/NAME, in the background,
# with SCENARIO on COM1 ('-': no simulator) and the settings as a .reg
# file's lines ("Name"=dword:..., "Name"="text", or [KEY] for another key
# under HKLM\SOFTWARE\KorvoUPS), or "list NAME VALUE" for a REG_MULTI_SZ of
# one entry. A line "account NAME PASSWORD ROLE" adds a server account with
# `user add`. Its stamped lines in WORK/NAME/console.out,
# the Windows process's PID in WORK/NAME/pid.
service() {
    local name="$1" seconds="$2" scenario="$3"
    shift 3
    local dir="$work/$name"
    mkdir -p "$dir"
    prefixes+=("$dir/prefix")
    (
        wine_session "$arch" "$build_dir" "$dir"
        sim_pid=""
        trap 'wine_session_end; [[ -z "$sim_pid" ]] || kill "$sim_pid" 2>/dev/null || true' EXIT
        trap 'exit 143' TERM INT  # the EXIT trap still runs
        drive_c="$WINEPREFIX/drive_c"
        {
            printf 'Windows Registry Editor Version 5.00\n\n'
            printf '[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\UPS]\n"Port"="COM1"\n\n'
            printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\KorvoUPS]\n"NotifyUsers"=dword:00000000\n'
            local line
            for line in "$@"; do
                case "$line" in
                account\ * | list\ *) ;;
                \[*) printf '\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KorvoUPS\\%s\n' "${line#[}" ;;
                *) printf '%s\n' "$line" ;;
                esac
            done
        } >"$drive_c/settings.reg"
        wine_reg import 'C:\settings.reg' >/dev/null
        for line in "$@"; do
            case "$line" in
            account\ *)
                read -r _ user password role <<<"$line"
                echo "$password" | "$WINE" "$exe" user add "$user" "$role" >/dev/null ;;
            list\ *)
                read -r _ name value <<<"$line"
                wine_reg add 'HKLM\SOFTWARE\KorvoUPS' /v "$name" /t REG_MULTI_SZ /d "$value" /f >/dev/null ;;
            esac
        done
        printf '@echo %%TIME%%>C:\\before.txt\r\n' >"$drive_c/before.cmd"
        if [[ "$scenario" != - ]]; then
            wine_map_port COM1 "$dir/com1"
            "$simulator" --link "$dir/com1" --start-on-query --scenario "$scenario" >"$dir/simulator.out" 2>&1 &
            sim_pid=$!
            echo "$sim_pid" >"$dir/simulator.pid"
            for _ in {1..100}; do [[ -e "$dir/com1" ]] && break; nap 0.1; done
        fi
        "$WINE" "$exe" run --console --for "$seconds" \
            > >(perl -MTime::HiRes=time -ne '$| = 1; printf "%.3f %s", time, $_' >"$dir/console.out") 2>&1 &
        echo $! >"$dir/pid"
        wait $! || true
    ) >"$dir/session.out" 2>&1 &
    pids+=($!)
}

# stamp NAME TEXT [TIMEOUT_S [AFTER]]: waits for TEXT in NAME's console (in
# a line stamped after AFTER), prints the stamp of its first such line
# (empty when it did not come in time).
stamp() {
    local file="$work/$1/console.out" deadline=$((SECONDS + ${3:-$START_WAIT_S})) after="${4:-0}" line at
    local -a lines
    # Stamps have three decimals: compared as whole milliseconds, by builtins
    # (this polls every 0.2 s).
    [[ "$after" == *.* ]] || after="${after:-0}.000"
    after=$((10#${after/./}))
    while ((SECONDS < deadline)); do
        lines=()
        if [[ -f "$file" ]]; then mapfile -t lines <"$file"; fi
        for line in "${lines[@]}"; do
            at="${line%% *}"
            if [[ "$line" == *"$2"* && "$at" =~ ^[0-9]+\.[0-9]{3}$ ]] && ((10#${at/./} > after)); then
                echo "$at"
                return
            fi
        done
        nap 0.2
    done
}

# The Windows process of a service, once it runs.
service_pid() {
    for _ in $(seq $((START_WAIT_S * 10))); do
        [[ -s "$work/$1/pid" ]] && break
        sleep 0.1
    done
    cat "$work/$1/pid"
}

# before A B: whether stamp A comes no later than stamp B (both set): the
# log stamps milliseconds, and a cause and its effect may share one.
before() { [[ -n "$1" && -n "$2" ]] && awk -v a="$1" -v b="$2" 'BEGIN { exit !(a <= b) }'; }
# seconds A B: B - A.
seconds_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

show() {
    local name
    for name in "$@"; do
        if [[ -f "$work/$name/console.out" ]]; then sed "s/^/  $name: /" "$work/$name/console.out"; fi
    done
}

# upsc_until TEXT ARGS...: upsc ARGS until its output has TEXT (30 s at most); its last output.
upsc_until() {
    local text="$1" output=""
    shift
    for _ in $(seq 60); do
        output="$("$UPSC" "$@" 2>&1 | grep -v '^Init SSL' || true)"
        [[ "$output" == *"$text"* ]] && break
        sleep 0.5
    done
    echo "$output"
}

# protocol PORT LINE...: the lines sent on one connection, a reply line
# read for each (5 s at most each), printed blank-separated.
protocol() {
    local port="$1" reply replies=()
    shift
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf '%s\n' "$@" >&3
    for _ in "$@"; do
        reply=""
        read -r -t 5 reply <&3 || true
        replies+=("$reply")
    done
    exec 3>&- 3<&-
    echo "${replies[*]}"
}

# A served value: "NAME: VALUE" in upsc's output, or "(none)".
served() { awk -v n="$1:" '$1 == n { sub(/^[^ ]+ /, ""); print; found = 1 } END { if (!found) print "(none)" }' <<<"$2"; }

# A figure of the Status key in the primary's prefix, or "(none)".
status_value() {
    local out
    out="$(WINEPREFIX="$work/primary/prefix" reg_query 'HKLM\SYSTEM\CurrentControlSet\Services\UPS\Status' /v "$1" 2>/dev/null || true)"
    out="$(awk -v n="$1" '$1 == n { print $3; found = 1 } END { if (!found) print "(none)" }' <<<"$out")"
    if [[ "$out" == 0x* ]]; then echo "$((out))"; else echo "$out"; fi
}

case_clients() {
    local port
    port="$(free_port)"
    # The unit's figures, each unlike the simulator's defaults.
    local figures=input=231.5:output=229.0:load=041:freq=49.9:volts=13.70:temp=27.5:flags=00001001
    service primary 40 "online:16:$figures,silence:12,online:inf" \
        'list NetworkListen 127.0.0.1' \
        "\"NetworkPort\"=dword:$(printf %08x "$port")" '"NetworkDescription"="Office UPS"' \
        'account monuser secret secondary'
    check "the primary serves on 127.0.0.1:$port" \
        "$([[ -n "$(stamp primary "serves the UPS as ups on 127.0.0.1:$port")" ]] && echo yes)" yes
    local at="ups@127.0.0.1:$port" output
    output="$(upsc_until 'battery.charge' "$at")"
    sed 's/^/  upsc: /' <<<"$output"
    check "upsc: ups.status" "$(served ups.status "$output")" OL
    check "upsc: device.type, driver.name" "$(served device.type "$output") $(served driver.name "$output")" "ups korvoups"
    check "upsc: driver.version is the DLL's" "$(served driver.version "$output")" "$version"
    check "upsc: battery.charge as the driver published it" "$(served battery.charge "$output")" \
        "$(status_value BatteryCapacity)"
    local minutes
    minutes="$(status_value TotalUPSRuntime)"
    check "upsc: battery.runtime in seconds" "$(served battery.runtime "$output")" "$((${minutes//[!0-9]/} * 60))"
    local variable readings=()
    for variable in input.voltage output.voltage ups.load input.frequency battery.voltage ups.temperature \
        ups.beeper.status; do
        readings+=("$(served "$variable" "$output")")
    done
    check "upsc: the unit's readings as it sent them, and its beeper" "${readings[*]}" \
        "231.5 229.0 041 49.9 13.70 27.5 enabled"
    check "upsc -L: the name and description" "$("$UPSC" -L "127.0.0.1:$port" 2>/dev/null)" "ups: Office UPS"

    check "a wrong password is refused at LOGIN" \
        "$(protocol "$port" 'USERNAME monuser' 'PASSWORD wrong' 'LOGIN ups')" "OK OK ERR ACCESS-DENIED"
    check "the refusal is logged" \
        "$([[ -n "$(stamp primary 'DENIED 127.0.0.1 as "monuser": wrong password' 10)" ]] && echo yes)" yes
    # A login held while upsc lists the clients.
    exec 4<>"/dev/tcp/127.0.0.1/$port"
    printf 'USERNAME monuser\nPASSWORD secret\nLOGIN ups\n' >&4
    local replies=() reply
    for _ in 1 2 3; do read -r -t 5 reply <&4 || reply=""; replies+=("$reply"); done
    check "the right password logs in" "${replies[*]}" "OK OK OK"
    check "upsc -c lists it" "$("$UPSC" -c "$at" 2>/dev/null)" 127.0.0.1
    printf 'LOGOUT\n' >&4
    read -r -t 5 reply <&4 || reply=""
    exec 4>&- 4<&-
    check "LOGOUT" "$reply" "OK Goodbye"
    check "CLIENT lines" \
        "$([[ -n "$(stamp primary 'CLIENT monuser@127.0.0.1 logged out' 10)" ]] && echo yes)" yes

    output="$(upsc_until 'Data stale' "$at" ups.status)"
    check "a silent UPS: Error: Data stale" "$output" "Error: Data stale"
    output="$(upsc_until 'battery.charge' "$at")"
    check "its answer again: the figures" "$(served ups.status "$output") $(served driver.name "$output")" "OL korvoups"
}

# upsmon as a secondary of the primary on port, in WORK/upsmon: its shutdown
# command and notifications write their times there. It runs in a process
# group of its own (it forks), ended at the cleanup.
start_upsmon() {
    local port="$1" dir="$work/upsmon"
    mkdir -p "$dir" /run/nut
    cat >"$dir/upsmon.conf" <<EOF2
MONITOR ups@127.0.0.1:$port 1 monuser secret secondary
MINSUPPLIES 1
SHUTDOWNCMD "/bin/sh -c 'date +%s.%N >> $dir/shutdown.txt'"
NOTIFYCMD $dir/notify.sh
NOTIFYFLAG FSD SYSLOG+EXEC
NOTIFYFLAG ONBATT SYSLOG+EXEC
NOTIFYFLAG SHUTDOWN SYSLOG+EXEC
POLLFREQ 1
POLLFREQALERT 1
DEADTIME 6
HOSTSYNC 5
FINALDELAY 0
RUN_AS_USER root
POWERDOWNFLAG $dir/killpower
EOF2
    chmod 640 "$dir/upsmon.conf"
    printf '#!/bin/sh\necho "$(date +%%s.%%N) $NOTIFYTYPE $*" >>%s/notify.txt\n' "$dir" >"$dir/notify.sh"
    chmod 755 "$dir/notify.sh"
    # A PID file an earlier run left names, once the PIDs wrap, any process:
    # upsmon would take it for a running upsmon.
    NUT_CONFPATH="$dir" NUT_STATEPATH="$dir" setsid bash -c "flock 9 && { $STALE_UPSMON_PID_FILE; } && exec $UPSMON -D" \
        9>"$UPSMON_LOCK" >"$dir/upsmon.log" 2>&1 &
    upsmon_group=$!
}

case_fleet_outage() {
    local port
    port="$(free_port)"
    service primary 150 online:45,battery:4,low:inf \
        'list NetworkListen 127.0.0.1' "\"NetworkPort\"=dword:$(printf %08x "$port")" \
        '"HostSyncSeconds"=dword:0000003c' '"RunBeforeShutdown"="C:\\before.cmd"' \
        'account monuser secret secondary' 'account winbox windows secondary'
    check "the primary serves on 127.0.0.1:$port" \
        "$([[ -n "$(stamp primary "serves the UPS as ups on 127.0.0.1:$port")" ]] && echo yes)" yes
    service secondary 140 - "\"Ups\"=\"ups@127.0.0.1:$port\"" '"PollSeconds"=dword:00000002' \
        '[Secondary]' '"User"="winbox"' '"Password"="windows"'
    start_upsmon "$port"
    local winbox_in upsmon_in
    winbox_in="$(stamp primary 'CLIENT winbox@127.0.0.1 logged in')"
    upsmon_in="$(stamp primary 'CLIENT monuser@127.0.0.1 logged in' 30)"
    check "the second service and upsmon log in" "${winbox_in:+winbox} ${upsmon_in:+monuser}" "winbox monuser"
    local fsd
    fsd="$(stamp primary 'FSD FSD set; waiting for 2 secondaries: ' 120)"
    check "the primary sets FSD at low battery, waiting for both" "${fsd:+yes}" yes
    local follower_down winbox_out upsmon_out gone called
    follower_down="$(stamp secondary "SHUTDOWN forced by the UPS's primary (FSD)" 30)"
    winbox_out="$(stamp primary 'CLIENT winbox@127.0.0.1 logged out' 30)"
    upsmon_out="$(stamp primary 'CLIENT monuser@127.0.0.1 ' 30 "$fsd")"
    gone="$(stamp primary 'FSD every secondary has gone after' 30)"
    called="$(stamp primary 'RUN RunBeforeShutdown ended' 30)"
    local upsmon_down
    upsmon_down="$(head -n 1 "$work/upsmon/shutdown.txt" 2>/dev/null || true)"
    echo "  FSD at $fsd; the second service's SHUTDOWN at $follower_down, logged out at $winbox_out;" \
        "upsmon's shutdown command at $upsmon_down, gone at $upsmon_out; the primary goes on at $gone, calls at $called"
    check "the second service shuts down after FSD" "$(before "$fsd" "$follower_down" && echo yes)" yes
    check "and logs out after its SHUTDOWN" "$(before "$follower_down" "$winbox_out" && echo yes)" yes
    check "upsmon runs its shutdown command after FSD" "$(before "$fsd" "$upsmon_down" && echo yes)" yes
    # upsmon logs out as it starts its shutdown, so which of the two comes
    # first is its own race; it stays until FSD is served.
    check "and stays logged in until FSD" "$(before "$fsd" "$upsmon_out" && echo yes)" yes
    check "the primary goes on once both have gone" \
        "$(before "$winbox_out" "$gone" && before "$upsmon_out" "$gone" && echo yes)" yes
    check "well before HostSyncSeconds (60 s): within 30 s of FSD" \
        "$([[ -n "$gone" ]] && awk -v a="$fsd" -v b="$gone" 'BEGIN { exit !(b - a < 30) }' && echo yes)" yes
    check "RunBeforeShutdown, then the shutdown call, after that" "$(before "$gone" "$called" && echo yes)" yes
}

case_fleet_silent() {
    local port
    port="$(free_port)"
    service primary 150 online:50,battery:inf \
        'list NetworkListen 127.0.0.1' "\"NetworkPort\"=dword:$(printf %08x "$port")" 'account winbox windows secondary'
    check "the primary serves on 127.0.0.1:$port" \
        "$([[ -n "$(stamp primary "serves the UPS as ups on 127.0.0.1:$port")" ]] && echo yes)" yes
    service secondary 140 - "\"Ups\"=\"ups@127.0.0.1:$port\"" '"PollSeconds"=dword:00000002' \
        '"CommLostSeconds"=dword:00000008' '[Secondary]' '"User"="winbox"' '"Password"="windows"'
    check "the second service logs in" "$([[ -n "$(stamp primary 'CLIENT winbox@127.0.0.1 logged in')" ]] && echo yes)" yes
    local primary_pid stopped warned back
    primary_pid="$(service_pid primary)"
    pids+=("$primary_pid")  # continued at the cleanup
    # Silent on mains: the primary's process stopped, its connections open.
    kill -STOP "$primary_pid"
    stopped="$(now)"
    warned="$(stamp secondary "COMMBAD no answer from the UPS ups@127.0.0.1:$port, last on mains: a warning only" 40)"
    kill -CONT "$primary_pid"
    echo "  the primary stopped at $stopped, the warning at $warned"
    check "silent on mains: a warning" "${warned:+yes}" yes
    back="$(stamp secondary "answers again after" 40)"
    check "the primary heard again" "${back:+yes}" yes
    check "silent on mains: no shutdown" "$(grep -c ' SHUTDOWN ' "$work/secondary/console.out" || true)" 0
    local onbatt down
    onbatt="$(stamp secondary 'ONBATT mains failed' 60)"
    check "on battery" "${onbatt:+yes}" yes
    kill -STOP "$primary_pid"
    stopped="$(now)"
    down="$(stamp secondary 'SHUTDOWN no answer from the UPS for 8 s while on battery' 40)"
    kill -CONT "$primary_pid"
    echo "  the primary stopped at $stopped, the secondary's SHUTDOWN at $down"
    check "silent on battery: the secondary shuts down" "${down:+yes}" yes
    check "after CommLostSeconds (8 s) of silence at least" \
        "$([[ -n "$down" ]] && awk -v a="$stopped" -v b="$down" 'BEGIN { exit !(b - a >= 8) }' && echo yes)" yes
}

case "$case_name" in
clients) case_clients ;;
fleet_outage) case_fleet_outage ;;
fleet_silent) case_fleet_silent ;;
*) echo "network: no case '$case_name'" >&2; exit 2 ;;
esac
show primary secondary
if [[ -f "$work/upsmon/upsmon.log" ]]; then
    sed 's/^/  upsmon: /' "$work/upsmon/upsmon.log" | tail -n 40
    sed 's/^/  upsmon notified: /' "$work/upsmon/notify.txt" 2>/dev/null || true
fi
echo "network $case_name ($arch): $passed passed, $failed failed"
((failed == 0))
