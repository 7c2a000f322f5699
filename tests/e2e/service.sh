#!/usr/bin/env bash
# One case from service_cases.txt: korvoups-service under Wine, with the
# tree's KorvoUPS.dll and ups-simulator on COM1 (or a minidriver that
# misbehaves), in the console or as a real service of the prefix's control
# manager.
#   tests/e2e/service.sh ARCH BUILD_DIR SIMULATOR SERVICE_EXE HOSTILE_DLL HOLD_FILE_EXE STOP_SERVICE_EXE CASE
# Checks the exit code, the log's event words and texts, what the UPS
# received besides its status queries, and what the case asks of the
# service's process (its CPU, its memory, the processes its commands left);
# as a service also install, the case's steps (status, settings, set, drill,
# restarts), every stop within 3 s and an uninstall that leaves no key behind.
# Exit 77 (skipped) without a simulator or where ARCH cannot run.
set -euo pipefail

if (($# != 8)); then
    echo "usage: $0 x86_64|i686 BUILD_DIR SIMULATOR SERVICE_EXE HOSTILE_DLL HOLD_FILE_EXE STOP_SERVICE_EXE CASE" >&2
    exit 2
fi
arch="$1" build_dir="$2" simulator="$3" service="$4" hostile="$5" holder="$6" stopper="$7" case_name="$8"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../../scripts/wine-env.sh"
source "$here/lib.sh"
skip_unless_runnable "$simulator" "$arch"
line="$(table_row "$here/service_cases.txt" "$case_name")"
IFS='|' read -r _ mode settings scenario seconds want_exit want_events want_texts want_commands steps <<<"$line"
mode="$(trim "$mode")" settings="$(trim "$settings")" scenario="$(trim "$scenario")" seconds="$(trim "$seconds")"
want_exit="$(trim "$want_exit")" want_events="$(trim "$want_events")" want_texts="$(trim "$want_texts")"
want_commands="$(trim "$want_commands")" steps="$(trim "$steps")"
if [[ -z "$steps" || "$steps" == - ]]; then steps="wait:$seconds status"; fi

SETTINGS_KEY='HKLM\SOFTWARE\KorvoUPS'
SERVICE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\UPS'
EVENT_SOURCE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\KorvoUPS'
MIB=1048576
work="$build_dir/e2e/service_$case_name"
link="$work/ups-line"
windows_path() { local p="Z:$1"; echo "${p//\//\\}"; }
exe="$(windows_path "$service")"

sim_pid="" holder_pid="" run_pid="" release_at=""
cleanup() {
    # The wineserver holds the simulator's pty: it goes first (see wine-run.sh).
    wine_session_end
    for pid in "$holder_pid" "$sim_pid" "$run_pid"; do
        if [[ -n "$pid" ]]; then kill "$pid" 2>/dev/null || true; fi
    done
}
trap cleanup EXIT
wine_session "$arch" "$build_dir" "$work"
drive_c="$WINEPREFIX/drive_c"
echo "service $case_name ($arch): $mode, settings '$settings', scenario '$scenario', $seconds s"

# All of it in one import: each reg run is a Wine process of its own.
expandable=()
{
    printf 'Windows Registry Editor Version 5.00\n\n[%s]\n"Port"="COM1"\n\n' "${SERVICE_KEY/HKLM/HKEY_LOCAL_MACHINE}"
    if [[ "$mode" == service ]]; then
        # A previous run's figures, which must not pass for this one's.
        printf '[%s\\Status]\n"CommStatus"=dword:00000001\n"UtilityPowerStatus"=dword:00000001\n' \
            "${SERVICE_KEY/HKLM/HKEY_LOCAL_MACHINE}"
        printf '"BatteryCapacity"=dword:00000064\n\n'
    fi
    printf '[%s]\n"LogFile"="C:\\\\events.log"\n"NotifyUsers"=dword:00000000\n' "${SETTINGS_KEY/HKLM/HKEY_LOCAL_MACHINE}"
    if [[ "$settings" != - ]]; then
        for setting in $settings; do
            name="${setting%%=*}" value="${setting#*=}" text="${setting#*=*:}"
            case "$name=${value%%:*}" in
            hostile=*)  # the misbehaving driver, steered by C:\hostile-driver.txt
                printf '%s' "$value" >"$drive_c/hostile-driver.txt"
                printf '"Driver"=%s\n' "$(reg_text "$(windows_path "$hostile")")" ;;
            *=dword) printf '"%s"=dword:%08x\n' "$name" "$text" ;;
            *=sz) printf '"%s"=%s\n' "$name" "$(reg_text "$text")" ;;
            Port=expand) expandable+=("$SERVICE_KEY" "$name" "$text") ;;  # the service's key, not the settings'
            *=expand) expandable+=("$SETTINGS_KEY" "$name" "$text") ;;  # Wine's import takes hex(2) as 8-bit text
            *) echo "service: bad setting '$setting'" >&2; exit 2 ;;
            esac
        done
    fi
} >"$drive_c/settings.reg"
wine_reg import 'C:\settings.reg' >/dev/null
for ((i = 0; i < ${#expandable[@]}; i += 3)); do
    wine_reg add "${expandable[i]}" /v "${expandable[i + 1]}" /t REG_EXPAND_SZ /d "${expandable[i + 2]}" /f >/dev/null
done
printf '@echo before>C:\\before.txt\r\n@exit /b 3\r\n' >"$drive_c/before.cmd"
# One file an event: the runs for several events go side by side.
printf '@>C:\\hook-%%1.txt echo %%1 %%~2\r\n' >"$drive_c/hook.cmd"
# A command that leaves a child running behind it, for 10 minutes.
printf '@start "" /b ping -n 600 127.0.0.1 >nul\r\n@exit /b 0\r\n' >"$drive_c/spawn.cmd"
case "$mode" in
console_full_log) head -c $MIB /dev/zero | tr '\0' 'x' >"$drive_c/events.log" ;;
console_held_log)
    # A full log, held for half the run by a reader that does not let it be renamed.
    { head -c $((MIB - 1)) /dev/zero | tr '\0' 'x'; echo; } >"$drive_c/events.log"
    "$WINE" "$(windows_path "$holder")" 'C:\events.log' 600 >"$work/holder.out" 2>&1 &
    holder_pid=$!
    release_at=$((seconds / 2))
    for _ in $(seq 100); do grep -q holding "$work/holder.out" && break; sleep 0.1; done
    check "a reader holds C:\\events.log" "$(tr -d '\r' <"$work/holder.out")" holding
    ;;
esac
wine_map_port COM1 "$link"

if [[ "$scenario" != - ]]; then
    start_simulator "$simulator" "$link" "$scenario" "$work"
fi

# prefix_pids WORD: the session's Windows processes whose command line has
# WORD (Wine gives them their Windows command line, "C:\...").
prefix_pids() {
    local environ command
    for environ in $(grep -lzxF "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null || true); do
        mapfile -d '' -t words <"${environ%/environ}/cmdline" 2>/dev/null || words=()
        command="${words[*]}"
        if [[ "$command" == [A-Za-z]:\\* && "${command,,}" == *"${1,,}"* ]]; then
            echo "${environ//[!0-9]/}"
        fi
    done
}
# show WHAT: its input, indented, at most the first 100 and the last 20 lines.
show() {
    tr -d '\r' | awk -v what="$1" '{ line[NR] = $0 }
        END { for (i = 1; i <= NR; i++) {
                  if (i <= 100 || i > NR - 20) print "  " what ": " line[i]
                  else if (i == 101) print "  " what ": ... (" NR " lines)" } }'
}
# sample_process PID: $cpu, its CPU ticks, and $rss, its resident KiB; 0 once
# it has gone. Builtins only: it runs every 0.2 s.
sample_process() {
    local stat line
    local -a fields
    cpu=0 rss=0
    read -r stat 2>/dev/null <"/proc/$1/stat" || return 0
    read -r -a fields <<<"${stat##*) }"
    cpu=$((fields[11] + fields[12]))
    while read -r line; do
        if [[ "$line" =~ ^VmRSS:[[:space:]]+([0-9]+) ]]; then rss="${BASH_REMATCH[1]}"; fi
    done 2>/dev/null <"/proc/$1/status" || true
}

# What the texts ask of the running service, its seconds counted from its
# first line: "cpu<PERCENT" over the run from its 3rd second (or a
# quarter of it) to its last, "rss+<KIB" over the same time,
# "alive@S:WORD=N" processes of the prefix, seen at least once from second
# S of the run to its end ("alive@S-E:...": up to second E; "alive@end:...":
# once it has ended).
declare -A alive_at=()
cpu_limit="" rss_limit=""
IFS=';' read -r -a texts <<<"$want_texts"
for text in "${texts[@]}"; do
    case "$text" in
    cpu\<*) cpu_limit="${text#cpu<}" ;;
    rss+\<*) rss_limit="${text#rss+<}" ;;
    alive@*) alive_at["${text#alive@}"]=1 ;;
    esac
done
early=$((seconds / 4 > 3 ? seconds / 4 : 3))
# watch_service: samples the service's process until its run ends.
watch_service() {
    # Wine runs the program in the process it was started as.
    local pid="$run_pid" began now elapsed cpu_early="" cpu_late="" rss_early="" rss_late="" t_early="" t_late=""
    local check_at cpu rss
    declare -A seen_at=() last_count=()
    # The run's seconds count from its first line, past Wine's own start.
    while kill -0 "$run_pid" 2>/dev/null && [[ ! -s "$work/console.out" ]]; do
        nap 0.05
    done
    began="${EPOCHREALTIME//[!0-9]/}"
    while kill -0 "$run_pid" 2>/dev/null; do
        now="${EPOCHREALTIME//[!0-9]/}" elapsed=$(((now - began) / 1000))
        if [[ -z "$cpu_early" ]] && ((elapsed >= early * 1000)); then
            sample_process "$pid"
            cpu_early=$cpu rss_early=$rss t_early=$elapsed
        fi
        # The latest while it runs: the run may end before a sample at its last second.
        if [[ -n "$cpu_early" ]]; then
            sample_process "$pid"
            if ((cpu > 0 && rss > 0)); then cpu_late=$cpu rss_late=$rss t_late=$elapsed; fi
        fi
        if [[ -n "$release_at" ]] && ((elapsed >= release_at * 1000)); then
            # The reader lets go: its Wine process ends, and its handle with it.
            kill -KILL "$holder_pid" 2>/dev/null || true
            echo "  the reader let go of C:\\events.log at $elapsed ms"
            release_at=""
        fi
        for check_at in "${!alive_at[@]}"; do
            local at="${check_at%%:*}" want="${check_at#*:}"
            local from="${at%-*}" to="${at#*-}"
            [[ "$at" == *-* ]] || to=999999
            if [[ "$at" != end && -z "${seen_at[$check_at]:-}" ]] && ((elapsed >= from * 1000 && elapsed <= to * 1000)); then
                last_count[$check_at]="$(prefix_pids "${want%=*}" | wc -l)"
                if [[ "${last_count[$check_at]}" == "${want#*=}" ]]; then seen_at[$check_at]=$elapsed; fi
            fi
        done
        nap 0.2
    done
    for check_at in "${!alive_at[@]}"; do
        local at="${check_at%%:*}" want="${check_at#*:}"
        if [[ "$at" != end ]]; then
            echo "  ${want%=*} processes at ${at} s: ${want#*=} seen at ${seen_at[$check_at]:-no} ms (last count ${last_count[$check_at]:-none})"
            check "at ${at} s, once ${want#*=} processes running ${want%=*}" \
                "${seen_at[$check_at]:+${want#*=}}" "${want#*=}"
        fi
    done
    # Over at least half the run, or the figures are not taken.
    local sampled=0
    if [[ -n "$cpu_early" && -n "$t_late" ]] && ((t_late - t_early >= seconds * 500)); then sampled=1; fi
    if [[ -n "$cpu_limit" ]]; then
        local percent=-1
        if ((sampled)); then
            percent=$(((cpu_late - cpu_early) * 100000 / $(getconf CLK_TCK) / (t_late - t_early)))
        fi
        echo "  the service's CPU from ${t_early:-?} ms to ${t_late:-?} ms: ${percent} % (ticks $cpu_early to $cpu_late)"
        check "the service's CPU under $cpu_limit %" "$((percent >= 0 && percent < cpu_limit ? 1 : 0))" 1
    fi
    if [[ -n "$rss_limit" ]]; then
        echo "  the service's resident memory: ${rss_early:-?} KiB at ${t_early:-?} ms, ${rss_late:-?} KiB at ${t_late:-?} ms"
        check "the service's memory grows less than $rss_limit KiB" \
            "$((sampled && rss_late - rss_early < rss_limit ? 1 : 0))" 1
    fi
}

rc=0
if [[ "$mode" == service ]]; then
    # A service lives only while another program of the prefix runs.
    "$WINE" cmd /c "ping -n $((seconds + 300)) 127.0.0.1 >nul" >/dev/null 2>&1 &
    holder_pid=$!
    install_rc=0
    "$WINE" "$exe" install COM1 >"$work/install.out" 2>&1 || install_rc=$?
    sed 's/^/  install: /' "$work/install.out"
    check "install COM1 exit code" "$install_rc" 0
    check "the service's account and start" \
        "$(reg_query "$SERVICE_KEY" | awk '$1 == "ObjectName" || $1 == "Start" { printf "%s=%s ", $1, $3 }')" \
        "ObjectName=LocalSystem Start=0x2 "
    "$WINE" sc start UPS >/dev/null
    # stop_timed: from the stop control to SERVICE_STOPPED, timed by a program already running.
    stop_timed() {
        local stop_rc=0 stop_ms
        "$WINE" "$(windows_path "$stopper")" UPS >"$work/stop.out" 2>&1 || stop_rc=$?
        stop_ms="$(tr -d '\r' <"$work/stop.out" | awk '$1 == "stopped" { print $3 }')"
        echo "  $(tr -d '\r' <"$work/stop.out")"
        check "stopped" "$stop_rc" 0
        check "stopped within 3 s of the stop control" "$((${stop_ms:-99999} < 3000 ? 1 : 0))" 1
        check "sc query: STOPPED" "$("$WINE" sc query UPS | grep -c STOPPED || true)" 1
    }
    # The steps; each command's output in commands.out under its number, its exit code in exits.
    exits="" running=1 n=0
    : >"$work/commands.out"
    for step in $steps; do
        # A command's word as the step writes it (the program takes any letter case).
        command=() word="${step%%:*}" argument="${step#*:}"
        case "${step,,}" in
        wait:*) sleep "$argument" ;;
        start) "$WINE" sc start UPS >/dev/null; running=1 ;;
        stop) stop_timed; running=0 ;;
        restart) stop_timed; "$WINE" sc start UPS >/dev/null; running=1 ;;
        status | settings | drill) command=("$word") ;;
        status:*) command=("$word" --wait "$argument") ;;
        set:*) command=("$word" "${argument%%=*}" "${argument#*=}") ;;
        drill:*) command=("$word" "$argument") ;;
        *) echo "service: bad step '$step'" >&2; exit 2 ;;
        esac
        if ((${#command[@]})); then
            n=$((n + 1)) step_rc=0
            "$WINE" "$exe" "${command[@]}" >"$work/command-$n.out" 2>&1 || step_rc=$?
            tr -d '\r' <"$work/command-$n.out" >"$work/command-$n.txt"
            sed "s/^/  $n ${command[*]} (exit $step_rc): /" "$work/command-$n.txt"
            cat "$work/command-$n.txt" >>"$work/commands.out"
            exits="${exits:+$exits }$step_rc"
        fi
    done
    if ((running)); then stop_timed; fi
    rc="$exits"
    uninstall_rc=0
    "$WINE" "$exe" uninstall >"$work/uninstall.out" 2>&1 || uninstall_rc=$?
    sed 's/^/  uninstall: /' "$work/uninstall.out"
    check "uninstall exit code" "$uninstall_rc" 0
    for key in "$SERVICE_KEY" "$EVENT_SOURCE_KEY" "$SETTINGS_KEY"; do
        result=0
        reg_query "$key" >/dev/null 2>&1 || result=$?
        check "uninstalled: $key" "$result" 1
    done
else
    "$WINE" "$exe" run --console --for "$seconds" >"$work/console.out" 2>&1 &
    run_pid=$!
    watch_service
    wait "$run_pid" || rc=$?
    run_pid=""
    show console <"$work/console.out"
    for check_at in "${!alive_at[@]}"; do
        if [[ "${check_at%%:*}" == end ]]; then
            want="${check_at#*:}"
            check "after the run, processes running ${want%=*}" "$(prefix_pids "${want%=*}" | wc -l)" "${want#*=}"
        fi
    done
fi
check "exit code" "$rc" "$want_exit"

# The lines of the log and of its older file, without a full file's filler.
log="$(for file in events.log.1 events.log; do cat "$drive_c/$file" 2>/dev/null && echo; done | tr -d '\r' |
    grep -a '^[0-9]' || true)"
hooks="$(sleep 1; cat "$drive_c"/hook-*.txt 2>/dev/null | tr -d '\r' || true)"
show log <<<"$log"
events="$(awk '$3 ~ /^[A-Z]+$/ { printf "%s%s", sep, $3; sep = " " }' <<<"$log")"
# "..." in the events stands for any events in between.
want_pattern="${want_events// ... /*}"
# shellcheck disable=SC2053 # the wanted events are a pattern
if [[ "$events" == $want_pattern ]]; then
    check "the log's events" "$want_events" "$want_events"
else
    check "the log's events" "$events" "$want_events"
fi
for text in "${texts[@]}"; do
    case "$text" in
    - | cpu\<* | rss+\<* | alive@*) ;;
    '!status:'*) check "the commands lack '${text#!status:}'" "$(grep -cF -- "${text#!status:}" "$work/commands.out" || true)" 0 ;;
    status:*) check "the commands have '${text#status:}'" "$(grep -cF -- "${text#status:}" "$work/commands.out" | sed 's/^[1-9][0-9]*$/1/' || true)" 1 ;;
    '!out'[0-9]*:*) n="${text%%:*}" n="${n#!out}" want="${text#*:}"
        check "command $n lacks '$want'" "$(grep -cF -- "$want" "$work/command-$n.txt" 2>/dev/null || true)" 0 ;;
    out[0-9]*:*) n="${text%%:*}" n="${n#out}" want="${text#*:}"
        check "command $n has '$want'" "$(grep -cF -- "$want" "$work/command-$n.txt" 2>/dev/null | sed 's/^[1-9][0-9]*$/1/' || true)" 1 ;;
    '!'*) check "the log lacks '${text#!}'" "$(grep -cF -- "${text#!}" <<<"$log" || true)" 0 ;;
    hook:*) check "RunOnEvent got '${text#hook:}'" "$(grep -cF -- "${text#hook:}" <<<"$hooks" || true)" 1 ;;
    bytes:*)  # bytes:FILE<N, bytes:FILE>N: the size of C:\FILE
        wanted="${text#bytes:}" file="${wanted%%[<>]*}" limit="${wanted#*[<>]}"
        size="$(stat -c %s "$drive_c/$file" 2>/dev/null || echo -1)"
        if [[ "$wanted" == *"<"* ]]; then ok=$((size >= 0 && size < limit)); else ok=$((size > limit)); fi
        check "C:\\$file has $size bytes, ${wanted#"$file"}" "$ok" 1 ;;
    *) check "the log has '$text'" "$(grep -cF -- "$text" <<<"$log" || true)" 1 ;;
    esac
done
if [[ "$mode" == console_full_log ]]; then
    check "the full log moved to events.log.1" "$(stat -c %s "$drive_c/events.log.1" 2>/dev/null || echo none)" $MIB
fi
if [[ "$scenario" != - ]]; then
    check_commands "$work" "$want_commands"
fi
echo "service $case_name ($arch): $passed passed, $failed failed"
((failed == 0))
