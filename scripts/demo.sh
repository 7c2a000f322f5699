#!/usr/bin/env bash
# The demo: a simulated UPS on COM1 goes from mains on to mains failed, to
# battery low and back to mains, while KorvoUPS.dll, loaded under Wine by
# ups_host the way the UPS service loads it, reports each change. Shows every
# change as it happens with its detection delay (the simulator's phase change
# to the host's wake-up), for the 64-bit DLL and, where this machine runs
# 32-bit programs, the 32-bit one. Exits 0 only when every run saw online, on
# battery, low battery, online, in that order, each within 2000 ms + one poll.
# Then korvoups-service in the console, as a dry run with ShutdownAfterSeconds
# 10: an outage that outlasts it (the shutdown is decided) and one that ends
# in time (nothing happens).
#   scripts/demo.sh
#   scripts/demo.sh --service [SCENARIO [SECONDS]]
# The second form runs only the service in the console, the same way, for
# SECONDS (default 20) against the simulator playing SCENARIO (default
# online:4,battery:inf; see ups-simulator --help), and shows what it logs.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/wine-env.sh

service_only=() # SCENARIO SECONDS, for --service
if [[ "${1:-}" == --service ]]; then
    service_only=("${2:-online:4,battery:inf}" "${3:-20}")
elif (($# > 0)); then
    echo "usage: $0 [--service [SCENARIO [SECONDS]]]" >&2
    exit 2
fi

BOUND_MS=2500  # the 2000 ms between polls, and one status exchange
SCENARIO="online:5,battery:7,low:7,online:inf"
HOST_SECONDS=25  # the scenario's 19 s and time to see the last change
WANT="1 2 4 1"
declare -A MEANING=([online]="mains on" [battery]="mains failed" [low]="battery low")

scripts/install-deps.sh
mkdir -p build

echo "== build/native: the UPS simulator"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON >build/native.configure.log 2>&1 ||
    { cat build/native.configure.log; exit 1; }
cmake --build build/native --target ups-simulator
simulator="$PWD/build/native/tools/ups-simulator/ups-simulator"
archs=(x86_64)
if ((${#service_only[@]} > 0)); then
    :  # the service alone: the same program is built for every architecture
elif wine_can_run i686; then
    archs+=(i686)
else
    echo "demo: this machine cannot run 32-bit Windows programs: the i686 run is skipped"
fi
for arch in "${archs[@]}"; do
    echo "== build/$arch: KorvoUPS.dll and ups_host.exe"
    cmake -S . -B "build/$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON \
        -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" -DKORVO_SIMULATOR="$simulator" >"build/$arch.configure.log" 2>&1 ||
        { cat "build/$arch.configure.log"; exit 1; }
    cmake --build "build/$arch" --target KorvoUPS ups_host korvoups-service
done

sim_pid="" host_pid=""
stop_children() {
    if [[ -n "$host_pid" ]]; then kill "$host_pid" 2>/dev/null || true; fi
    if [[ -n "$sim_pid" ]]; then kill "$sim_pid" 2>/dev/null || true; fi
    wine_session_end
}
trap stop_children EXIT
trap 'echo "demo: interrupted"; exit 130' INT TERM

clock() { date -d "@$1" +%T.%3N; }

# start_simulator LINK SCENARIO LOG: the simulated UPS, started by the first query.
start_simulator() {
    "$simulator" --link "$1" --start-on-query --scenario "$2" >"$3" 2>"${3%.out}.err" &
    sim_pid=$!
    for _ in $(seq 100); do [[ -e "$1" ]] && break; sleep 0.1; done
}

# show_phases LOG: prints the UPS's phase changes logged since the last call
# (the caller's sim_seen counts them); the latest one's time and name are
# left in the caller's phase_t and phase_name.
show_phases() {
    local lines stamp event rest
    mapfile -t lines <"$1"
    while ((sim_seen < ${#lines[@]})); do
        read -r stamp event rest <<<"${lines[$sim_seen]}"
        sim_seen=$((sim_seen + 1))
        [[ "$event" == phase ]] || continue
        phase_t="$stamp" phase_name="$rest"
        printf '  %s  UPS      phase %-8s (%s)\n' "$(clock "$stamp")" "$rest" "${MEANING[$rest]}"
    done
}

# run_demo ARCH: one scenario against one DLL; true when it went as it should.
run_demo() {
    local arch="$1" dir="$PWD/build/$1" work link
    work="$dir/demo"
    link="$work/ups-line"
    wine_session "$arch" "$dir" "$work"
    echo "== $arch: Wine prefix $WINEPREFIX: Port = COM1, an empty Status key, COM1 = the simulator"
    wine_reg add 'HKLM\SYSTEM\CurrentControlSet\Services\UPS' /v Port /t REG_SZ /d COM1 /f >/dev/null
    wine_reg delete 'HKLM\SYSTEM\CurrentControlSet\Services\UPS\Status' /f >/dev/null 2>&1 || true
    wine_reg add 'HKLM\SYSTEM\CurrentControlSet\Services\UPS\Status' /f >/dev/null
    wine_map_port COM1 "$link"

    start_simulator "$link" "$SCENARIO" "$work/simulator.out"
    echo "== $arch: simulator (PID $sim_pid) on $(readlink "$link"), scenario $SCENARIO"
    : >"$work/host.out"
    "$WINE" "$dir/ups_host.exe" --dll "Z:${dir//\//\\}\\KorvoUPS.dll" --for "$HOST_SECONDS" >"$work/host.out" 2>"$work/host.err" &
    host_pid=$!
    echo "== $arch: ups_host (PID $host_pid) runs the driver for $HOST_SECONDS s"

    # Both logs as they grow: the UPS's phase changes and the driver's state changes.
    local sim_seen=0 host_seen=0 running phase_t="" phase_name="" line stamp event rest
    local states="" delays=() worst=0 late=0
    while :; do
        running=1
        kill -0 "$host_pid" 2>/dev/null || running=0
        show_phases "$work/simulator.out"
        mapfile -t host_lines <"$work/host.out"
        while ((host_seen < ${#host_lines[@]})); do
            line="${host_lines[$host_seen]}"
            host_seen=$((host_seen + 1))
            read -r stamp event rest <<<"$line"
            case "$event" in
            init) printf '  %s  driver   UPSInit: %s\n' "$(clock "$stamp")" "${rest%% *}" ;;
            state)
                local code name values delay=""
                code="$(grep -o '^code=[0-9]*' <<<"$rest")" code="${code#code=}"
                name="$(grep -o 'name=[A-Z_]*' <<<"$rest")" name="${name#name=}"
                values="$(grep -o 'BatteryCapacity=.*' <<<"$rest")"
                states+="${states:+ }$code"
                if [[ "$rest" != *initial=1* && -n "$phase_t" ]]; then
                    delay=$(awk -v a="$phase_t" -v b="$stamp" 'BEGIN { printf "%.0f", (b - a) * 1000 }')
                    delays+=("$phase_name -> $name: $delay ms")
                    if ((delay > worst)); then worst=$delay; fi
                    if ((delay > BOUND_MS)); then late=$((late + 1)); fi
                fi
                printf '  %s  driver   state %s %-11s %s\n' "$(clock "$stamp")" "$code" "$name" \
                    "${delay:+after ${delay} ms  }$values"
                ;;
            stop) printf '  %s  driver   UPSCancelWait + UPSStop: %s\n' "$(clock "$stamp")" "$rest" ;;
            error) printf '  %s  driver   ERROR %s\n' "$(clock "$stamp")" "$rest" ;;
            esac
        done
        ((running)) || break
        sleep 0.1
    done
    local host_rc=0
    wait "$host_pid" || host_rc=$?
    host_pid=""
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" || true
    sim_pid=""
    wine_session_end

    echo "== $arch: detection delays (bound $BOUND_MS ms):"
    local d
    for d in "${delays[@]}"; do echo "     $d"; done
    if [[ "$states" == "$WANT" && $late -eq 0 && $host_rc -eq 0 ]]; then
        echo "== $arch: OK: states $states, worst delay $worst ms"
        return 0
    fi
    echo "== $arch: FAILED: states '$states' (want '$WANT'), $late over $BOUND_MS ms, ups_host exit $host_rc (logs in $work)"
    return 1
}

# run_service_demo ARCH SCENARIO SECONDS [WANT]: the service in the console,
# a dry run shutting down after 10 s on battery; true when its log's events
# were WANT (or it ran, without WANT).
run_service_demo() {
    local arch="$1" scenario="$2" seconds="$3" want="${4-}" dir="$PWD/build/$1" work link
    work="$dir/demo-service"
    link="$work/ups-line"
    wine_session "$arch" "$dir" "$work"
    wine_reg add 'HKLM\SYSTEM\CurrentControlSet\Services\UPS' /v Port /t REG_SZ /d COM1 /f >/dev/null
    wine_reg add 'HKLM\SOFTWARE\KorvoUPS' /v DryRun /t REG_DWORD /d 1 /f >/dev/null
    wine_reg add 'HKLM\SOFTWARE\KorvoUPS' /v ShutdownAfterSeconds /t REG_DWORD /d 10 /f >/dev/null
    wine_reg add 'HKLM\SOFTWARE\KorvoUPS' /v LogFile /t REG_SZ /d 'C:\events.log' /f >/dev/null
    wine_map_port COM1 "$link"
    start_simulator "$link" "$scenario" "$work/simulator.out"
    echo "== $arch: korvoups-service run --console --for $seconds (DryRun 1, ShutdownAfterSeconds 10), scenario $scenario"
    : >"$work/console.out"
    "$WINE" "$dir/korvoups-service.exe" run --console --for "$seconds" >"$work/console.out" 2>&1 &
    host_pid=$!
    local sim_seen=0 seen=0 running phase_t phase_name
    while :; do
        running=1
        kill -0 "$host_pid" 2>/dev/null || running=0
        show_phases "$work/simulator.out"
        mapfile -t lines <"$work/console.out"
        while ((seen < ${#lines[@]})); do
            printf '  %-12s  service  %s\n' "$(cut -c12-19 <<<"${lines[$seen]}")" "$(cut -c21- <<<"${lines[$seen]}" | tr -d '\r')"
            seen=$((seen + 1))
        done
        ((running)) || break
        sleep 0.1
    done
    local rc=0
    wait "$host_pid" || rc=$?
    host_pid=""
    local events
    events="$(tr -d '\r' <"$WINEPREFIX/drive_c/events.log" | awk '{ printf "%s%s", sep, $3; sep = " " }')"
    wine_session_end
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" || true
    sim_pid=""
    if [[ ("$events" == "$want" || -z "$want") && $rc -eq 0 ]]; then
        echo "== $arch: OK: the service logged $events"
        return 0
    fi
    echo "== $arch: FAILED: the service logged '$events' (want '$want'), exit $rc (logs in $work)"
    return 1
}

if ((${#service_only[@]} > 0)); then
    run_service_demo x86_64 "${service_only[@]}"
    exit
fi
failed=()
for arch in "${archs[@]}"; do
    run_demo "$arch" || failed+=("$arch")
done
echo "== the service, for ${archs[0]} (the same program is built for every architecture)"
run_service_demo "${archs[0]}" online:4,battery:inf 20 "START ONLINE ONBATT SHUTDOWN STOP" || failed+=("service: long outage")
run_service_demo "${archs[0]}" online:4,battery:6,online:inf 16 "START ONLINE ONBATT ONLINE STOP" || failed+=("service: short outage")
if ((${#failed[@]} > 0)); then
    echo "demo: FAILED for ${failed[*]}"
    exit 1
fi
echo "demo: OK: online -> on battery -> low battery -> online seen by ${archs[*]}, each within $BOUND_MS ms;"
echo "      the service decided a shutdown after 10 s on battery, and none when the mains came back in time"
