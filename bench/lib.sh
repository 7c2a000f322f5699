# shellcheck shell=bash
# Shared by the benchmarks (after scripts/wine-env.sh): a Wine session whose
# COM1 is the simulator's line, and the simulator started and stopped on it.

# bench_session ARCH OUT: the session in OUT/run; $line is COM1's pty, the
# service key names it as the UPS's port.
bench_session() {
    wine_session "$1" "build/$1" "$2/run"
    line="$(realpath "$2/run")/com1"
    wine_map_port COM1 "$line"
    wine_reg add 'HKLM\SYSTEM\CurrentControlSet\Services\UPS' /v Port /t REG_SZ /d COM1 /f >/dev/null
    simulator_pid=""
    trap 'stop_simulator; wine_session_end' EXIT
}

# start_simulator SCENARIO LOG: the UPS on $line, and a server of the
# session's own, whose output (its objects, when the pty it holds hangs up)
# goes to its log, not into the figures.
start_simulator() {
    "$simulator" --scenario "$1" --link "$line" >"$2" &
    simulator_pid=$!
    until [[ -L "$line" ]]; do sleep 0.05; done
    wine_server_start
}

stop_simulator() {
    # No hang-up under a running wineserver: it holds the pty as its terminal.
    wine_hold_end
    "$WINESERVER" -w || true
    if [[ -n "$simulator_pid" ]]; then
        kill "$simulator_pid" 2>/dev/null || true
        wait "$simulator_pid" 2>/dev/null || true
        simulator_pid=""
    fi
}
