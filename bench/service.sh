#!/usr/bin/env bash
# Measures how fast the service acts on what the driver detects, under Wine
# against the simulator's line: from low battery on the line to the SHUTDOWN
# line, and from a mains failure to the ONBATT line and to the users'
# message (due 5 s after it). Each run is a dry run of
# `korvoups-service run --console`, its lines stamped as they come out.
# Detection is the driver's part: from the change on the line to the end of
# the status line that reports it (the first query after the change, and
# the 48 bytes of the reply at 2400 baud); the service's part is the rest.
# Prints a table and writes it as CSV to build/bench/service-ARCH.csv.
# Figures only: it never fails on them.
#   bench/service.sh [x86_64|i686]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
arch="${1:-x86_64}"
out="build/bench/$arch/service"
mkdir -p "$out"
runs=8
reply_ms=200  # 48 bytes, 10 bits a byte at 2400 baud

source bench/lib.sh
bench_build "$arch" korvoups-service KorvoUPS
service="$(realpath "build/$arch/korvoups-service.exe")"
bench_session "$arch" "$out"
wine_reg add 'HKLM\SOFTWARE\KorvoUPS' /v DryRun /t REG_DWORD /d 1 /f >/dev/null
wine_reg add 'HKLM\SOFTWARE\KorvoUPS' /v LogFile /t REG_SZ /d 'C:\events.log' /f >/dev/null

# One run: the UPS online for LEAD seconds, then PHASE for good. Prints
# "change,reply_end,line_ms..." in Unix milliseconds: the phase change, the
# end of the reply to the first query after it, and each stamped line
# matching PATTERN.
run() {  # LEAD PHASE SECONDS PATTERN NAME
    local lead="$1" phase="$2" seconds="$3" pattern="$4" name="$5"
    start_simulator "online:$lead,$phase:inf" "$out/$name.sim"
    "$WINE" "$service" run --console --for "$seconds" 2>&1 |
        perl -MTime::HiRes=time -ne '$| = 1; printf "%.3f %s", time, $_' >"$out/$name.out"
    stop_simulator
    awk -v p="$phase" '$2 == "phase" && $3 == p { change = $1 }
        change && $2 == "received" && $3 == "\"Q1\"" && !query && $1 > change { query = $1 }
        END { printf "%.0f,%.0f", change * 1000, query * 1000 }' "$out/$name.sim"
    grep -F -- "$pattern" "$out/$name.out" | awk '{ printf ",%.0f", $1 * 1000 }'
    echo
}

# Lead times that are no multiple of the poll period, so that the change
# lands at every point of the driver's cycle.
leads=(2.1 2.4 2.7 3.0 3.3 3.6 3.9 4.2)
: >"$out/low.csv"
: >"$out/outage.csv"
for i in $(seq 0 $((runs - 1))); do
    echo "== run $((i + 1)) of $runs: low battery, then a mains failure"
    run "${leads[$i]}" low 9 " SHUTDOWN " "low-$i" >>"$out/low.csv"
    run "${leads[$i]}" battery 14 " ONBATT " "onbatt-$i" >>"$out/outage.csv"
    # The users' message comes 5 s after ONBATT: the same run's stamp of it.
    grep -F "(message to the users) Mains power failed" "$out/onbatt-$i.out" | head -n 1 |
        awk '{ printf "%.0f\n", $1 * 1000 }' >"$out/message-$i.ms"
done

# FILE COLUMN_EXPRESSION: samples, mean and max of an awk expression over
# the rows "change,reply_end,line".
stats() {
    awk -F, "{ v = $2; s += v; if (n == 0 || v > m) m = v; n++ }
        END { if (n) printf \"%d,%.1f,%.1f\", n, s / n, m; else printf \"0,,\" }" "$1"
}
paste -d, "$out/outage.csv" <(cat "$out"/message-*.ms) >"$out/outage-message.csv"
csv="build/bench/service-$arch.csv"
{
    echo "figure,samples,mean_ms,max_ms"
    echo "low battery on the line to SHUTDOWN logged,$(stats "$out/low.csv" '$3 - $1')"
    echo "  of which detection (to the reply's end),$(stats "$out/low.csv" "\$2 + $reply_ms - \$1")"
    echo "  of which the service,$(stats "$out/low.csv" "\$3 - \$2 - $reply_ms")"
    echo "mains failure on the line to ONBATT logged,$(stats "$out/outage.csv" '$3 - $1')"
    echo "  of which the service,$(stats "$out/outage.csv" "\$3 - \$2 - $reply_ms")"
    echo "mains failure to the users' message,$(stats "$out/outage-message.csv" '$4 - $1')"
    echo "  beyond the 5 s after ONBATT,$(stats "$out/outage-message.csv" '$4 - $3 - 5000')"
} >"$csv"
echo
echo "korvoups-service $arch on $(nproc) cores, $(uname -r), $($WINE --version)"
column -s, -t <"$csv"
echo
echo "written: $csv"
