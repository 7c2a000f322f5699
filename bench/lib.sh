# shellcheck shell=bash
# Shared by the benchmarks, sourced from the checkout's top: their build, a
# Wine session whose COM1 is the simulator's line, and the simulator started
# and stopped on it.

# bench_build ARCH TARGET...: the packages, the native simulator (unless
# KORVO_SIMULATOR names one) and the ARCH tree's TARGETs; $simulator is its
# path, scripts/wine-env.sh sourced. Exits where ARCH cannot run.
bench_build() {
    local arch="$1"
    shift
    scripts/install-deps.sh >/dev/null
    echo "== building the simulator and the $arch $*"
    cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
    [[ -n "${KORVO_SIMULATOR:-}" ]] || cmake --build build/native --target ups-simulator >/dev/null
    cmake -S . -B "build/$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" >/dev/null
    cmake --build "build/$arch" --target "$@" >/dev/null
    simulator="$(realpath "${KORVO_SIMULATOR:-build/native/tools/ups-simulator/ups-simulator}")"
    source scripts/wine-env.sh
    wine_can_run "$arch" || { echo "SKIPPED: this machine cannot run $arch Windows programs"; exit 0; }
}

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
