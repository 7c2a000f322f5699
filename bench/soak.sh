#!/usr/bin/env bash
# A long run of the host against the simulator, the state flipping every few
# seconds: prints what the host process holds (handles, memory) at the start
# and at the end. Figures only; not part of the tests.
#   bench/soak.sh [--faults] [x86_64|i686] [MINUTES]   (default: x86_64, 10)
# With --faults, line faults come between the changes at random (silence,
# garbage, a split or a late reply, the device gone for a while), and the
# host's state changes are held against the simulator's phases: it prints
# the real changes the host missed although the line stayed good for two
# cycles, and the changes it reported that no phase or fault explains.
# SOAK_SEED picks the random sequence (default 1).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
faults=0
if [[ "${1:-}" == --faults ]]; then faults=1; shift; fi
arch="${1:-x86_64}" minutes="${2:-10}"
out="build/bench/soak-$arch$( ((faults)) && echo -faults)"
mkdir -p "$out"

source bench/lib.sh
bench_build "$arch" KorvoUPS ups_host
dir="$(realpath "build/$arch")"
wine_session "$arch" "build/$arch" "$out/wine"
line="$(realpath "$out")/com1"
wine_map_port COM1 "$line"
wine_reg add 'HKLM\SYSTEM\CurrentControlSet\Services\UPS' /v Port /t REG_SZ /d COM1 /f >/dev/null
wine_reg add 'HKLM\SYSTEM\CurrentControlSet\Services\UPS\Status' /f >/dev/null

# The scenario, and beside it each phase's state as the host should see it.
: >"$out/expected"
phase() {  # STATE_CODE PHASE
    scenario+="${scenario:+,}$2"
    echo "$1 $2" >>"$out/expected"
}
scenario=""
if ((faults)); then
    RANDOM="${SOAK_SEED:-1}"
    # The readings of each state, for a split reply that keeps the state.
    declare -A READINGS=([1]="" [2]=":flags=10001000:volts=12.5:input=0:fault=0" [4]=":flags=11001000:volts=10.9:input=0:fault=0")
    declare -A NAMES=([1]=online [2]=battery [4]=low)
    state=1 elapsed=0
    phase 1 online:8
    while ((elapsed < minutes * 60)); do
        # A fault between two changes, more often than not.
        if ((RANDOM % 5 < 3)); then
            seconds="$((3 + RANDOM % 3)).$((RANDOM % 10))"
            case $((RANDOM % 5)) in
            0) phase 8 "silence:$seconds" ;;
            1) phase 8 "garbage:$seconds" ;;
            2) phase 8 "late:$seconds" ;;
            3) phase "$state" "split:$seconds${READINGS[$state]}" ;;
            4) phase 8 "disconnect:$seconds" ;;
            esac
            elapsed=$((elapsed + ${seconds%.*}))
        fi
        case "$state" in 1) others=(2 4) ;; 2) others=(1 4) ;; *) others=(1 2) ;; esac
        state="${others[RANDOM % 2]}"
        seconds="$((7 + RANDOM % 4)).$((RANDOM % 10))"
        phase "$state" "${NAMES[$state]}:$seconds"
        elapsed=$((elapsed + ${seconds%.*}))
    done
else
    phase 1 online:3
    for _ in $(seq $((minutes * 6))); do
        phase 2 battery:3.3
        phase 4 low:3.1
        phase 1 online:3.6
    done
fi
phase 1 online:inf
seconds=$(awk -F'[ :]' '$3 != "inf" { s += $3 } END { printf "%d", s + 10 }' "$out/expected")

"$simulator" --scenario "$scenario" --link "$line" >"$out/simulator.out" &
simulator_pid=$!
trap 'wine_session_end; kill "$simulator_pid" 2>/dev/null || true' EXIT
until [[ -L "$line" ]]; do sleep 0.05; done

echo "== $((seconds / 60)) minutes of the host against a UPS that changes state every few seconds$( ((faults)) && echo ', with line faults between')"
"$WINE" "$dir/ups_host.exe" --dll "Z:${dir//\//\\}\\KorvoUPS.dll" --for "$seconds" --readers 2 >"$out/host.out"
grep -E ' resources | summary ' "$out/host.out" | tr -d '\r'
if ((faults)); then
    # A change needs at most the 2 s wait and two polls (it may land during
    # one) to be seen, a device that came back one cycle more: a host change
    # is explained by a phase of its state that ran within that window
    # before it. A phase that changes the state and keeps the line good for
    # two cycles (5 s) must be seen before it ends (or that window after).
    tr -d '\r' <"$out/host.out" | awk -v window=6.5 -v good=5 '
        FILENAME == ARGV[1] { want[++n] = $1; name[n] = $2; next }
        FILENAME == ARGV[2] { if ($2 == "phase") start[++p] = $1; next }
        $2 == "state" { split($3, c, "="); t[++h] = $1; code[h] = c[2] }
        END {
            start[p + 1] = 1e12
            for (i = 2; i <= p; i++) {
                if (want[i] == 8 || want[i] == want[i - 1] || start[i + 1] - start[i] < good) continue
                ++real
                seen = 0
                for (k = 1; k <= h; k++) {
                    if (t[k] > start[i + 1] + window) break
                    if (code[k] == want[i] && (k == h || t[k + 1] > start[i])) seen = 1
                }
                if (!seen) { ++missed; printf "missed: phase %d %s at %.3f\n", i, name[i], start[i] }
            }
            for (k = 2; k <= h; k++) {
                explained = 0
                for (i = 1; i <= p; i++)
                    if (want[i] == code[k] && start[i] <= t[k] && start[i + 1] >= t[k] - window) explained = 1
                if (!explained) { ++spurious; printf "spurious: state %s at %.3f\n", code[k], t[k] }
            }
            printf "faults summary phases=%d real_changes=%d host_changes=%d missed=%d spurious=%d\n",
                p, real, h - 1, missed, spurious
        }' "$out/expected" "$out/simulator.out" -
fi
echo "(full logs: $out/host.out, $out/simulator.out, $out/expected)"
