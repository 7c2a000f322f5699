#!/usr/bin/env bash
# One end-to-end case from cases.txt: KorvoUPS.dll under Wine, loaded by
# ups_host the way the UPS service loads it, against ups-simulator on COM1.
#   tests/e2e/e2e.sh ARCH BUILD_DIR SIMULATOR HOST_EXE DLL CASE
# Checks the start-up code, the state sequence ups_host reports, the Status
# values (as ups_host reads them and as `reg query` reads them, during the
# run and after it; the readings as the simulator sent them, none while no
# status line comes or after the stop) and a clean cancel and stop. Prints
# detection delays.
# Exit 77 (skipped) without a simulator or where ARCH cannot run.
set -euo pipefail

if (($# != 6)); then
    echo "usage: $0 x86_64|i686 BUILD_DIR SIMULATOR HOST_EXE DLL CASE" >&2
    exit 2
fi
arch="$1" build_dir="$2" simulator="$3" host="$4" dll="$5" case_name="$6"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../../scripts/wine-env.sh"
# shellcheck source=lib.sh
source "$here/lib.sh"
skip_unless_runnable "$simulator" "$arch"
line="$(table_row "$here/cases.txt" "$case_name")"
IFS='|' read -r _ setup scenario seconds options want_init want_states want_figures want_commands <<<"$line"
setup="$(trim "$setup")" scenario="$(trim "$scenario")" seconds="$(trim "$seconds")"
options="$(trim "$options")" want_init="$(trim "$want_init")" want_states="$(trim "$want_states")"
want_figures="$(trim "$want_figures")" want_commands="$(trim "$want_commands")"

SERVICE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\UPS'
STATUS_KEY="$SERVICE_KEY\\Status"
# What the driver publishes in each state for the simulator's default readings
# (13.60 V, 34 % load online; 12.5 V on battery; 10.9 V low).
declare -A PUBLISHED=(
    [1]="BatteryCapacity=100 BatteryStatus=0 CommStatus=1 TotalUPSRuntime=13 UtilityPowerStatus=1"
    [2]="BatteryCapacity=92 BatteryStatus=0 CommStatus=1 TotalUPSRuntime=12 UtilityPowerStatus=2"
    [4]="BatteryCapacity=80 BatteryStatus=0 CommStatus=1 TotalUPSRuntime=11 UtilityPowerStatus=2"
    [8]="BatteryCapacity=0 BatteryStatus=0 CommStatus=2 TotalUPSRuntime=0 UtilityPowerStatus=1"
)
# The case's own readings: "STATE=CAPACITY/RUNTIME" for the states they change.
if [[ "$want_figures" != - ]]; then
    for figure in $want_figures; do
        code="${figure%%=*}" capacity="${figure#*=}"
        runtime="${capacity#*/}" capacity="${capacity%/*}"
        PUBLISHED[$code]="BatteryCapacity=$capacity BatteryStatus=0 CommStatus=1 TotalUPSRuntime=$runtime UtilityPowerStatus=$((code == 1 ? 1 : 2))"
    done
fi
published() { if [[ "$setup" == no_status_key ]]; then echo "status_key=missing"; else echo "${PUBLISHED[$1]:-?}"; fi; }

# The readings, REG_SZ, as the simulator sends them in each state: the
# candidates of every phase of the scenario that gives that state, '|'
# between them; none without a status line (state 8), nor at all once the
# driver has stopped.
READING_NAMES=(InputVoltage InputFaultVoltage OutputVoltage OutputLoad InputFrequency BatteryVoltage Temperature StatusFlags)
NO_READINGS="$(printf 'absent %.0s' "${READING_NAMES[@]}")" NO_READINGS="${NO_READINGS% }"
declare -A READINGS=([8]="$NO_READINGS")
# phase_readings PHASE: "STATE READINGS..." of one phase NAME:SECONDS[:KEY=VALUE...],
# with the simulator's defaults, formats and placeholders (sent as given).
phase_readings() {
    local -a parts
    IFS=: read -r -a parts <<<"$1"
    local -A r=([input]=230 [fault]=230 [output]=230 [load]=34 [freq]=50 [volts]=13.60 [temp]=25 [flags]=00001000)
    case "${parts[0]}" in
    battery) r[input]=0 r[fault]=0 r[volts]=12.50 r[flags]=10001000 ;;
    low) r[input]=0 r[fault]=0 r[volts]=10.90 r[flags]=11001000 ;;
    online | split) ;;
    *) echo "8 $NO_READINGS"; return ;;  # no status line in time
    esac
    local setting
    for setting in "${parts[@]:2}"; do r[${setting%%=*}]="${setting#*=}"; done
    local -a text=()
    local key format
    for key in input fault output load freq volts temp; do
        case "$key" in load) format='%03.0f' ;; freq | temp) format='%04.1f' ;; volts) format='%.2f' ;; *) format='%05.1f' ;; esac
        if [[ "${r[$key]}" =~ ^[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)$ ]]; then
            text+=("$(LC_ALL=C printf "$format" "${r[$key]}")")
        else
            text+=(absent)  # a placeholder
        fi
    done
    local flags="${r[flags]}" state=1
    if [[ "${flags:0:1}" == 1 ]]; then state=$([[ "${flags:1:1}" == 1 ]] && echo 4 || echo 2); fi
    echo "$state ${text[*]} $flags"
}
if [[ "$scenario" != - ]]; then
    IFS=, read -r -a phases <<<"$scenario"
    for phase in "${phases[@]}"; do
        read -r code readings <<<"$(phase_readings "$phase")"
        [[ "|${READINGS[$code]:-}|" == *"|$readings|"* ]] || READINGS[$code]="${READINGS[$code]:+${READINGS[$code]}|}$readings"
    done
fi
# check_readings WHAT STATE GOT: the readings are those of one of STATE's phases.
check_readings() {
    local want="${READINGS[$2]:-?}"
    if [[ "|$want|" == *"|$3|"* ]]; then want="$3"; fi
    check "$1" "$3" "$want"
}

# The Status values as `reg query` prints them: the five in ups_host's
# format, then '#' and the readings ("absent" for each one not there).
reg_status() {
    local out name rc=0
    out="$(reg_query "$STATUS_KEY")" || rc=$?
    case "$rc" in 1) echo "status_key=missing"; return ;; 2) echo "reg_query_failed"; return ;; esac
    local -a items=() readings=()
    for name in BatteryCapacity BatteryStatus CommStatus TotalUPSRuntime UtilityPowerStatus; do
        local hex
        hex="$(awk -v n="$name" '$1 == n && $2 == "REG_DWORD" { print $3 }' <<<"$out")"
        items+=("$name=$([[ -n "$hex" ]] && echo $((hex)) || echo missing)")
    done
    for name in "${READING_NAMES[@]}"; do
        local text
        text="$(awk -v n="$name" '$1 == n { print ($2 == "REG_SZ" ? $3 : "?") }' <<<"$out")"
        readings+=("${text:-absent}")
    done
    echo "${items[*]}#${readings[*]}"
}

work="$build_dir/e2e/$case_name"
link="$work/ups-line"

sim_pid="" host_pid=""
cleanup() {
    if [[ -n "$host_pid" ]]; then kill "$host_pid" 2>/dev/null || true; fi
    if [[ -n "$sim_pid" ]]; then kill "$sim_pid" 2>/dev/null || true; fi
    wine_session_end
}
trap cleanup EXIT
wine_session "$arch" "$build_dir" "$work"

echo "e2e $case_name ($arch): setup $setup, scenario '$scenario', ups_host --for $seconds $options"
# The case's settings in one `reg import` (a reg.exe costs 0.3 s of CPU).
hklm() { echo "HKEY_LOCAL_MACHINE${1#HKLM}"; }
port=COM1
case "$setup" in
normal | no_status_key | turnoff | no_port) ;;
port=*) port="${setup#port=}" ;;
port_file)
    # A mistyped "Port" naming a file: the driver must never write to it.
    victim="$WINEPREFIX/drive_c/victim.txt"
    printf 'precious data\r\n%.0s' $(seq 64) >"$victim"
    victim_sum="$(sha256sum <"$victim")"
    port='C:\victim.txt'
    ;;
*) echo "e2e: unknown setup '$setup'" >&2; exit 2 ;;
esac
{
    printf 'Windows Registry Editor Version 5.00\n\n[-%s]\n\n' "$(hklm "$STATUS_KEY")"
    printf '[%s]\n' "$(hklm "$SERVICE_KEY")"
    if [[ "$setup" == no_port ]]; then echo '"Port"=-'; else printf '"Port"=%s\n' "$(reg_text "$port")"; fi
    if [[ "$setup" == turnoff ]]; then printf '\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KorvoUPS]\n"TurnOff"=dword:00000001\n'; fi
    # A fresh, empty key: values left by an earlier case cannot pass for new ones.
    [[ "$setup" == no_status_key ]] || printf '\n[%s]\n' "$(hklm "$STATUS_KEY")"
    printf '\n[%s]\n"COM1"=%s\n' "$(hklm "$WINE_ENV_PORTS_KEY")" "$(reg_text "$link")"
} >"$WINEPREFIX/drive_c/case.reg"
wine_reg import 'C:\case.reg' >/dev/null
wine_link_port COM1 "$link"

if [[ "$scenario" != - ]]; then
    start_simulator "$simulator" "$link" "$scenario" "$work"
    echo "simulator $sim_pid on $(readlink "$link")"
fi

: >"$work/host.out"  # before the start: the loop below reads it at once
# shellcheck disable=SC2086 # options are words
"$WINE" "$host" --dll "Z:${dll//\//\\}" --for "$seconds" $options >"$work/host.out" 2>"$work/host.err" &
host_pid=$!
# While ups_host runs, every state it reports is read back with `reg query` too.
# Only a state that is still the latest while the registry is read, with the
# driver not yet stopped, counts: on a loaded machine this loop may come to a
# line after the driver has moved on or stopped, and the values are then the
# next state's, or a stopped driver's.
# count_reported: $reported, the changes host.out has so far (builtins only).
count_reported() {
    local entry
    local -a reported_lines
    mapfile -t reported_lines <"$work/host.out"
    reported=0
    for entry in "${reported_lines[@]}"; do
        if [[ "$entry" == *" state code="* || "$entry" == *" stop cancel_ms="* ]]; then reported=$((reported + 1)); fi
    done
}
seen=0 changes_seen=0 live_checks=()
while :; do
    running=1
    kill -0 "$host_pid" 2>/dev/null || running=0
    mapfile -t lines <"$work/host.out"
    while ((seen < ${#lines[@]})); do
        entry="${lines[$seen]}"
        seen=$((seen + 1))
        echo "  host: $entry"
        if [[ "$entry" == *" stop cancel_ms="* ]]; then changes_seen=$((changes_seen + 1)); fi
        if ((running)) && [[ "$entry" =~ \ state\ code=([0-9]+) ]]; then
            code="${BASH_REMATCH[1]}"
            changes_seen=$((changes_seen + 1))
            count_reported
            if ((reported == changes_seen)); then
                values="$(reg_status)"
                count_reported
                if ((reported == changes_seen)); then live_checks+=("$code|$values"); fi
            fi
        fi
    done
    ((running)) || break
    nap 0.2
done
host_rc=0
wait "$host_pid" || host_rc=$?
host_pid=""
if [[ -n "$sim_pid" ]]; then
    if kill -0 "$sim_pid" 2>/dev/null; then sim_alive=yes; else sim_alive=no; fi
    kill "$sim_pid" 2>/dev/null || true
    sim_rc=0
    wait "$sim_pid" || sim_rc=$?
    sim_pid=""
    grep -v ' received "Q1"$' "$work/simulator.out" | sed 's/^/  simulator: /' || true
fi

# Per cycle: init codes, state codes, reader codes (repeats collapsed).
inits=() states=() readers=() host_values=()
cycle_states="" cycle_readers="" last_reader=""
end_cycle() {
    if [[ -n "$cycle_states" ]]; then
        states+=("${cycle_states# }")
        readers+=("${cycle_readers# }")
    fi
    cycle_states="" cycle_readers="" last_reader=""
}
while read -r _ event rest; do
    case "$event" in
    cycle) end_cycle ;;
    init) if [[ "$rest" =~ code=([0-9]+) ]]; then inits+=("${BASH_REMATCH[1]}"); fi ;;
    state)
        [[ "$rest" =~ ^code=([0-9]+)\ name=[A-Z_]+\ from=[0-9]+(\ initial=1)?\ (.*)$ ]] || continue
        code="${BASH_REMATCH[1]}"
        cycle_states+=" $code"
        if [[ -z "$last_reader" ]]; then last_reader="$code"; fi
        host_values+=("$code|${BASH_REMATCH[3]}")
        ;;
    getstate)
        [[ "$rest" =~ code=([0-9]+) ]] || continue
        if [[ "${BASH_REMATCH[1]}" != "$last_reader" ]]; then
            cycle_readers+=" ${BASH_REMATCH[1]}"
            last_reader="${BASH_REMATCH[1]}"
        fi
        ;;
    esac
done <"$work/host.out"
end_cycle

IFS='/' read -r -a want_cycles <<<"$want_states"
check "ups_host exit code" "$host_rc" 0
check "cycles run" "${#states[@]}" "${#want_cycles[@]}"
for i in "${!want_cycles[@]}"; do
    want="$(trim "${want_cycles[$i]}")"
    check "cycle $((i + 1)): UPSInit result" "${inits[$i]:-none}" "$want_init"
    check "cycle $((i + 1)): states reported by the waiting thread" "${states[$i]:-none}" "$want"
    # The readers start from the first state and see every later one.
    want_readers=""
    if [[ "$want" == *" "* ]]; then want_readers="${want#* }"; fi
    check "cycle $((i + 1)): states seen by the reading threads" "${readers[$i]:-}" "$want_readers"
done
for item in "${host_values[@]}"; do
    check "values read by ups_host in state ${item%%|*}" "${item#*|}" "$(published "${item%%|*}")"
done
for item in "${live_checks[@]}"; do
    code="${item%%|*}" values="${item#*|}"
    check "reg query in state $code" "${values%%#*}" "$(published "$code")"
    if [[ "$setup" != no_status_key ]]; then
        check_readings "reg query in state $code: the readings" "$code" "${values#*#}"
    fi
done
final_state="${want_states##* }"
values="$(reg_status)"
check "reg query after the stop (state $final_state)" "${values%%#*}" "$(published "$final_state")"
if [[ "$setup" != no_status_key ]]; then
    check "reg query after the stop: no readings" "${values#*#}" "$NO_READINGS"
fi
check "stops (cancel, waiter released, UPSStop)" "$(grep -c ' stop cancel_ms=' "$work/host.out" || true)" "${#want_cycles[@]}"
check "no error reported by ups_host" "$(grep ' error ' "$work/host.out" || true)" ""
if [[ "$setup" == port_file ]]; then
    check "the file named by Port is as it was" "$(sha256sum <"$victim")" "$victim_sum"
fi
if [[ "$scenario" != - ]]; then
    phases="$(awk '$2 == "phase" { printf "%s%s", sep, $3; sep = "," }' "$work/simulator.out")"
    want_phases="$(tr ',' '\n' <<<"$scenario" | cut -d: -f1 | paste -sd,)"
    check "simulator ran every phase" "$phases" "$want_phases"
    check_commands "$work" "$want_commands"
    check "simulator still running at the end" "$sim_alive" yes
    check "simulator exit code on SIGTERM" "$sim_rc" 0
fi

# Figures: from the simulator's phase change to the host's wake-up.
if [[ "$scenario" != - ]]; then
    awk '$2 == "phase" { phase_t[++n] = $1; phase[n] = $3 }
         $2 == "state" && $0 !~ /initial=1/ {
             for (i = n; i >= 1 && phase_t[i] > $1; i--) {}
             if (i >= 1) printf "delay: phase %-9s -> state %s %6.0f ms\n", phase[i], substr($3, 6), ($1 - phase_t[i]) * 1000
         }' "$work/simulator.out" "$work/host.out"
fi
echo "e2e $case_name ($arch): $passed passed, $failed failed"
((failed == 0))
