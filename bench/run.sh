#!/usr/bin/env bash
# Measures the driver against the physics of the line: the simulator's pty at
# 2400 baud, the real Win32 backend under Wine. Prints a table and writes it
# as CSV to build/bench/results-ARCH.csv. Figures only: it never fails on them.
#   bench/run.sh [x86_64|i686]
# The two architectures can be measured side by side: each has its own files.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
arch="${1:-x86_64}"
out="build/bench/$arch"
mkdir -p "$out"

source bench/lib.sh
bench_build "$arch" poll_bench
bench="$(realpath "build/$arch/bench/poll_bench.exe")"
bench_session "$arch" "$out"
wine_reg add 'HKLM\SYSTEM\CurrentControlSet\Services\UPS\Status' /f >/dev/null
run_with_ups() {  # SCENARIO LOG -- BENCH_ARGS...
    start_simulator "$1" "$2"
    shift 3
    "$WINE" "$bench" "$@"
    stop_simulator
}

echo "== polls against an answering UPS (40)"
run_with_ups online:inf "$out/sim-polls.log" -- polls COM1 40 >"$out/polls.csv"
echo "== polls against a UPS whose status line is 39 bytes (20)"
run_with_ups online:inf:fault=@@@:output=@:freq=@ "$out/sim-short.log" -- polls COM1 20 >"$out/short-polls.csv"
echo "== the Status values published after an answer, and after none (40 each)"
run_with_ups online:inf "$out/sim-publish.log" -- publications COM1 40 >"$out/publish-answered.csv"
run_with_ups silence:inf "$out/sim-publish-silent.log" -- publications COM1 40 >"$out/publish-silent.csv"
echo "== UPSStop with an answering UPS (8)"
run_with_ups online:inf "$out/sim-stops.log" -- stops 8 >"$out/stops-answering.csv"
echo "== UPSStop with a silent UPS (8)"
run_with_ups silence:inf "$out/sim-silent.log" -- stops 8 >"$out/stops-silent.csv"
# Phase lengths that are no multiple of the poll period, so that the
# changes land at every point of the monitor's cycle.
scenario="online:3"
for seconds in 3.1 3.5 3.9 4.3 4.7 5.1 3.3 3.7 4.1 4.5 4.9 5.3; do scenario+=",battery:$seconds,online:$seconds"; done
echo "== wake-up after mains failure and return (24 changes, ~2 min)"
run_with_ups "$scenario,online:inf" "$out/sim-changes.log" -- changes 110 >"$out/changes.csv"

# The device goes for a few seconds and comes back behind the same name (a
# USB adapter replugged, a line hung up): the driver opens it again.
scenario="online:4"
for seconds in 3 4.5 6 3.5 5 4 5.5 3.2; do scenario+=",disconnect:$seconds,online:5"; done
echo "== wake-up after the device comes back (8 replugs, ~80 s)"
run_with_ups "$scenario,online:inf" "$out/sim-replug.log" -- changes 85 >"$out/replug.csv"

# The device gone for longer, its COM name still there (Wine opens it, and it
# takes no line settings): the driver tries it every cycle all the same.
scenario="online:4"
for seconds in 10 30 90; do scenario+=",disconnect:$seconds,online:8"; done
echo "== wake-up after the device comes back from 10, 30 and 90 s away (~2.7 min)"
run_with_ups "$scenario,online:inf" "$out/sim-unplug.log" -- changes 165 >"$out/unplug.csv"

# A silent UPS on a healthy line: how often the driver opens the port anew.
# The wineserver opens devices for its programs, so its opens are counted.
silent_seconds=240
echo "== opens of the port against a silent UPS ($silent_seconds s)"
"$WINESERVER" -k 2>/dev/null || true
"$WINESERVER" -w
strace -qq -e trace=openat -o "$out/server-opens.log" "$WINESERVER" -f -p5 </dev/null >/dev/null 2>&1 &
server_pid=$!
# Up before a program would start a server of its own (-k0 only asks).
until "$WINESERVER" -k0 2>/dev/null; do sleep 0.05; done
run_with_ups silence:inf "$out/sim-silent-opens.log" -- changes "$silent_seconds" >/dev/null
wait "$server_pid" || true
queries="$(grep -c ' received "Q1"$' "$out/sim-silent-opens.log" || true)"
queries_per_minute="$(awk -v n="$queries" -v s="$silent_seconds" 'BEGIN { printf "%.1f", n * 60 / s }')"
opens="$(grep -c "dosdevices/com1\", O_RDWR" "$out/server-opens.log" || true)"
opens_per_minute="$(awk -v n="$opens" -v s="$silent_seconds" 'BEGIN { printf "%.2f", (n - 1) * 60 / s }')"

# Delay of each change: from the start of the simulator phase that caused it
# to the host's wake-up.
change_delays() {  # SIMULATOR_LOG CHANGES_CSV [TO_STATE]
    tr -d '\r' <"$2" | awk -F, -v to="${3:-}" '
        NR == FNR { phase[++n] = $1 * 1000; next }
        $1 == "change" && (to == "" || $4 == to) {
            for (i = n; i >= 1; --i) if (phase[i] <= $2) { print "delay," $2 - phase[i]; break }
        }' <(awk '$2 == "phase" { print $1 ",phase," $3 }' "$1") -
}
change_delays "$out/sim-changes.log" "$out/changes.csv" >"$out/delays.csv"
change_delays "$out/sim-replug.log" "$out/replug.csv" 1 >"$out/replug-delays.csv"
change_delays "$out/sim-unplug.log" "$out/unplug.csv" 1 >"$out/unplug-delays.csv"

stats() {  # FILE COLUMN: count, mean, max
    tr -d '\r' <"$1" | awk -F, -v c="$2" '{ s += $c; if ($c > m) m = $c; n++ }
        END { if (n) printf "%d,%.1f,%.1f", n, s / n, m; else printf "0,,"; }'
}
line_ms=212.5  # 3-byte query + 48-byte reply, 10 bits a byte at 2400 baud
IFS=, read -r polls poll_mean poll_max <<<"$(stats "$out/polls.csv" 3)"
IFS=, read -r _ cpu_mean cpu_max <<<"$(stats "$out/polls.csv" 4)"
IFS=, read -r short_polls short_mean short_max <<<"$(stats "$out/short-polls.csv" 3)"
IFS=, read -r publishes publish_mean publish_max <<<"$(stats "$out/publish-answered.csv" 3)"
IFS=, read -r _ publish_cpu_mean publish_cpu_max <<<"$(stats "$out/publish-answered.csv" 4)"
IFS=, read -r removals removal_mean removal_max <<<"$(stats "$out/publish-silent.csv" 3)"
IFS=, read -r stops stop_mean stop_max <<<"$(stats "$out/stops-answering.csv" 3)"
IFS=, read -r silent silent_mean silent_max <<<"$(stats "$out/stops-silent.csv" 3)"
IFS=, read -r changes delay_mean delay_max <<<"$(stats "$out/delays.csv" 2)"
IFS=, read -r replugs replug_mean replug_max <<<"$(stats "$out/replug-delays.csv" 2)"
IFS=, read -r unplugs unplug_mean unplug_max <<<"$(stats "$out/unplug-delays.csv" 2)"
unplug_each="$(cut -d, -f2 "$out/unplug-delays.csv" | paste -sd/)"
ratio_mean="$(awk -v a="$poll_mean" -v l="$line_ms" 'BEGIN { printf "%.3f", a / l }')"
ratio_max="$(awk -v a="$poll_max" -v l="$line_ms" 'BEGIN { printf "%.3f", a / l }')"

csv="build/bench/results-$arch.csv"
{
    echo "figure,samples,mean_ms,max_ms,note"
    echo "poll duration,$polls,$poll_mean,$poll_max,line time $line_ms ms; ratio $ratio_mean (max $ratio_max)"
    echo "CPU per poll,$polls,$cpu_mean,$cpu_max,CPU time of the polling thread"
    echo "poll with a 39-byte line,$short_polls,$short_mean,$short_max,line time 175.0 ms"
    echo "publication after an answer,$publishes,$publish_mean,$publish_max,8 readings and the 5 values; CPU $publish_cpu_mean (max $publish_cpu_max) ms"
    echo "publication after no answer,$removals,$removal_mean,$removal_max,8 readings removed and the 5 values"
    echo "state change to wake-up,$changes,$delay_mean,$delay_max,design bound 2000 ms + one poll"
    echo "device back to wake-up in state 1,$replugs,$replug_mean,$replug_max,reopened at the next cycle"
    echo "back after 10/30/90 s away to wake-up in state 1,$unplugs,$unplug_mean,$unplug_max,each: $unplug_each ms"
    echo "opens per minute against a silent UPS,$opens,$opens_per_minute,,opens in $silent_seconds s (mean: reopens a minute)"
    echo "queries per minute against a silent UPS,$queries,$queries_per_minute,,2000 ms wait + 2000 ms silent poll: 15"
    echo "UPSStop answering UPS,$stops,$stop_mean,$stop_max,stop lands anywhere in the cycle"
    echo "UPSStop silent UPS,$silent,$silent_mean,$silent_max,a silent poll lasts 2000 ms"
} >"$csv"
echo
echo "KorvoUPS $arch on $(nproc) cores, $(uname -r), $($WINE --version)"
column -s, -t <"$csv"
echo
echo "written: $csv"
