#!/usr/bin/env bash
# One case from service_cases.txt: korvoups-service under Wine, with the
# tree's KorvoUPS.dll and ups-simulator on COM1, in the console or as a real
# service of the prefix's control manager.
#   tests/e2e/service.sh ARCH BUILD_DIR SIMULATOR SERVICE_EXE CASE
# Checks the exit code, the log's event words and texts, and what the UPS
# received besides its status queries; as a service also install, status,
# a prompt stop and an uninstall that leaves no key behind.
# Exit 77 (skipped) without a simulator or where ARCH cannot run.
set -euo pipefail

if (($# != 5)); then
    echo "usage: $0 x86_64|i686 BUILD_DIR SIMULATOR SERVICE_EXE CASE" >&2
    exit 2
fi
arch="$1" build_dir="$2" simulator="$3" service="$4" case_name="$5"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../../scripts/wine-env.sh"
source "$here/lib.sh"
skip_unless_runnable "$simulator" "$arch"
line="$(table_row "$here/service_cases.txt" "$case_name")"
IFS='|' read -r _ mode settings scenario seconds want_exit want_events want_texts want_commands <<<"$line"
mode="$(trim "$mode")" settings="$(trim "$settings")" scenario="$(trim "$scenario")" seconds="$(trim "$seconds")"
want_exit="$(trim "$want_exit")" want_events="$(trim "$want_events")" want_texts="$(trim "$want_texts")"
want_commands="$(trim "$want_commands")"

SETTINGS_KEY='HKLM\SOFTWARE\KorvoUPS'
SERVICE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\UPS'
EVENT_SOURCE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\KorvoUPS'
work="$build_dir/e2e/service_$case_name"
link="$work/ups-line"
exe="Z:${service//\//\\}"

sim_pid="" holder_pid=""
cleanup() {
    # The wineserver holds the simulator's pty: it goes first (see wine-run.sh).
    wine_session_end
    if [[ -n "$holder_pid" ]]; then kill "$holder_pid" 2>/dev/null || true; fi
    if [[ -n "$sim_pid" ]]; then kill "$sim_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
wine_session "$arch" "$build_dir" "$work"
drive_c="$WINEPREFIX/drive_c"
echo "service $case_name ($arch): $mode, settings '$settings', scenario '$scenario', $seconds s"

# All of it in one import: each reg run is a Wine process of its own.
expandable=()
reg_text() { local t="${1//\\/\\\\}"; echo "\"${t//\"/\\\"}\""; }
{
    printf 'Windows Registry Editor Version 5.00\n\n[%s]\n"Port"="COM1"\n\n' "${SERVICE_KEY/HKLM/HKEY_LOCAL_MACHINE}"
    printf '[%s]\n"LogFile"="C:\\\\events.log"\n"NotifyUsers"=dword:00000000\n' "${SETTINGS_KEY/HKLM/HKEY_LOCAL_MACHINE}"
    if [[ "$settings" != - ]]; then
        for setting in $settings; do
            name="${setting%%=*}" value="${setting#*=}" text="${setting#*=*:}"
            case "${value%%:*}" in
            dword) printf '"%s"=dword:%08x\n' "$name" "$text" ;;
            sz) printf '"%s"=%s\n' "$name" "$(reg_text "$text")" ;;
            expand) expandable+=("$name" "$text") ;;  # Wine's import takes hex(2) as 8-bit text
            *) echo "service: bad setting '$setting'" >&2; exit 2 ;;
            esac
        done
    fi
} >"$drive_c/settings.reg"
wine_reg import 'C:\settings.reg' >/dev/null
for ((i = 0; i < ${#expandable[@]}; i += 2)); do
    wine_reg add "$SETTINGS_KEY" /v "${expandable[i]}" /t REG_EXPAND_SZ /d "${expandable[i + 1]}" /f >/dev/null
done
printf '@echo before>C:\\before.txt\r\n@exit /b 3\r\n' >"$drive_c/before.cmd"
# One file an event: the runs for several events go side by side.
printf '@>C:\\hook-%%1.txt echo %%1 %%~2\r\n' >"$drive_c/hook.cmd"
if [[ "$mode" == console_full_log ]]; then
    head -c $((1024 * 1024)) /dev/zero | tr '\0' 'x' >"$drive_c/events.log"
fi
wine_map_port COM1 "$link"

if [[ "$scenario" != - ]]; then
    start_simulator "$simulator" "$link" "$scenario" "$work"
fi

rc=0
if [[ "$mode" == service ]]; then
    # A service lives only while another program of the prefix runs.
    "$WINE" cmd /c "ping -n $((seconds + 60)) 127.0.0.1 >nul" >/dev/null 2>&1 &
    holder_pid=$!
    install_rc=0
    "$WINE" "$exe" install COM1 >"$work/install.out" 2>&1 || install_rc=$?
    sed 's/^/  install: /' "$work/install.out"
    check "install COM1 exit code" "$install_rc" 0
    check "the service's account and start" \
        "$(reg_query "$SERVICE_KEY" | awk '$1 == "ObjectName" || $1 == "Start" { printf "%s=%s ", $1, $3 }')" \
        "ObjectName=LocalSystem Start=0x2 "
    "$WINE" sc start UPS >/dev/null
    sleep "$seconds"
    status_rc=0
    "$WINE" "$exe" status >"$work/status.out" 2>&1 || status_rc=$?
    sed 's/^/  status: /' "$work/status.out"
    check "status exit code (running, the UPS answers)" "$status_rc" 0
    check "status tells the decided shutdown" "$(grep -c '^policy: .*shutdown decided' "$work/status.out" || true)" 1
    stop_start="$(date +%s%N)"
    "$WINE" sc stop UPS >/dev/null
    until "$WINE" sc query UPS | grep -q STOPPED; do
        (( $(date +%s%N) - stop_start < 20000000000 )) || break
        sleep 0.05
    done
    stop_ms=$(( ($(date +%s%N) - stop_start) / 1000000 ))
    echo "  sc stop UPS to STOPPED: $stop_ms ms"
    check "stopped within 3 s (wine's own sc runs included)" "$((stop_ms < 3000 ? 1 : 0))" 1
    "$WINE" "$exe" uninstall >"$work/uninstall.out" 2>&1 || rc=$?
    sed 's/^/  uninstall: /' "$work/uninstall.out"
    for key in "$SERVICE_KEY" "$EVENT_SOURCE_KEY" "$SETTINGS_KEY"; do
        result=0
        reg_query "$key" >/dev/null 2>&1 || result=$?
        check "uninstalled: $key" "$result" 1
    done
else
    "$WINE" "$exe" run --console --for "$seconds" >"$work/console.out" 2>&1 || rc=$?
    sed 's/^/  console: /' "$work/console.out"
fi
check "exit code" "$rc" "$want_exit"

log="$(tr -d '\r' <"$drive_c/events.log" 2>/dev/null || true)"
hooks="$(sleep 1; cat "$drive_c"/hook-*.txt 2>/dev/null | tr -d '\r' || true)"
sed 's/^/  log: /' <<<"$log"
events="$(awk '$3 ~ /^[A-Z]+$/ { printf "%s%s", sep, $3; sep = " " }' <<<"$log")"
check "the log's events" "$events" "$want_events"
if [[ "$want_texts" != - ]]; then
    IFS=';' read -r -a texts <<<"$want_texts"
    for text in "${texts[@]}"; do
        case "$text" in
        '!'*) check "the log lacks '${text#!}'" "$(grep -cF -- "${text#!}" <<<"$log" || true)" 0 ;;
        hook:*) check "RunOnEvent got '${text#hook:}'" "$(grep -cF -- "${text#hook:}" <<<"$hooks" || true)" 1 ;;
        *) check "the log has '$text'" "$(grep -cF -- "$text" <<<"$log" || true)" 1 ;;
        esac
    done
fi
if [[ "$mode" == console_full_log ]]; then
    check "the full log moved to events.log.1" "$(stat -c %s "$drive_c/events.log.1" 2>/dev/null || echo none)" 1048576
fi
if [[ "$scenario" != - ]]; then
    check_commands "$work" "$want_commands"
fi
echo "service $case_name ($arch): $passed passed, $failed failed"
((failed == 0))
