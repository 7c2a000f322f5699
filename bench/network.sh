#!/usr/bin/env bash
# Measures the service's network server and secondary under Wine, the
# primary against the simulator's line, its clients on the Linux side
# (bench/network_clients.py):
#   - low battery on the line to FSD in ups.status, as a client polling it
#     every 10 ms sees it (a real, not dry-run, shutdown: Wine's shutdown
#     call does nothing); detection is the driver's part, as in
#     bench/service.sh;
#   - FSD served to SHUTDOWN logged on a second service that follows the
#     first as a secondary (PollSeconds 2), in a Wine session of its own;
#   - 64 clients each asking GET VAR ups ups.status every 100 ms for a minute,
#     and the same clients against a trivial server of their own on Linux
#     (the machine's and the clients' own share of the reply times);
#   - 10,000 connect / LIST VAR / close cycles, with the open file
#     descriptors of the service's process and of its wineserver (each
#     Windows socket is one) and its resident memory before and after.
# Prints a table and writes it as CSV to build/bench/network-ARCH.csv.
# Figures only: it never fails on them.
#   bench/network.sh [x86_64|i686]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
arch="${1:-x86_64}"
out="build/bench/$arch/network"
mkdir -p "$out"
runs=8
reply_ms=200  # 48 bytes, 10 bits a byte at 2400 baud
poll_seconds=2
clients=64

source bench/lib.sh
bench_build "$arch" korvoups-service KorvoUPS
service="$(realpath "build/$arch/korvoups-service.exe")"
clients_py="$(realpath bench/network_clients.py)"
port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
stamp_lines() { perl -MTime::HiRes=time -ne '$| = 1; printf "%.3f %s", time, $_'; }

# The secondary's session first; the primary's (lib.sh) is the current one.
wine_session "$arch" "build/$arch" "$out/secondary"
secondary_prefix="$WINEPREFIX" secondary_hold="$WINE_HOLD_PID"
for setting in "Ups REG_SZ ups@127.0.0.1:$port" "PollSeconds REG_DWORD $poll_seconds" "NotifyUsers REG_DWORD 0" \
    'LogFile REG_SZ C:\events.log'; do
    read -r name type value <<<"$setting"
    wine_reg add 'HKLM\SOFTWARE\KorvoUPS' /v "$name" /t "$type" /d "$value" /f >/dev/null
done
wine_reg add 'HKLM\SOFTWARE\KorvoUPS\Secondary' /v User /t REG_SZ /d winbox /f >/dev/null
wine_reg add 'HKLM\SOFTWARE\KorvoUPS\Secondary' /v Password /t REG_SZ /d windows /f >/dev/null
end_secondary() {
    kill "$secondary_hold" 2>/dev/null || true
    WINEPREFIX="$secondary_prefix" "$WINESERVER" -k 2>/dev/null || true
    rm -rf "$secondary_prefix"
}
bench_session "$arch" "$out"
trap 'stop_simulator; wine_session_end; end_secondary' EXIT
wine_reg add 'HKLM\SOFTWARE\KorvoUPS' /v NetworkListen /t REG_MULTI_SZ /d 127.0.0.1 /f >/dev/null
wine_reg add 'HKLM\SOFTWARE\KorvoUPS' /v NetworkPort /t REG_DWORD /d "$port" /f >/dev/null
wine_reg add 'HKLM\SOFTWARE\KorvoUPS' /v NotifyUsers /t REG_DWORD /d 0 /f >/dev/null
wine_reg add 'HKLM\SOFTWARE\KorvoUPS' /v LogFile /t REG_SZ /d 'C:\events.log' /f >/dev/null
echo windows | "$WINE" "$service" user add winbox secondary >/dev/null

# waits_for FILE TEXT: until a line of FILE has TEXT (60 s at most).
waits_for() {
    for _ in $(seq 600); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "bench: no '$2' in $1" >&2
    return 1
}

# One run: the UPS online for LEAD seconds, then low for good; the primary
# and the secondary each for SECONDS. Prints "change,reply_end,fsd_seen,
# secondary_shutdown" in Unix milliseconds.
fsd_run() {  # LEAD SECONDS NAME OFFSET
    local lead="$1" seconds="$2" name="$3" offset="$4"
    start_simulator "online:$lead,low:inf" "$out/$name.sim"
    "$WINE" "$service" run --console --for "$seconds" > >(stamp_lines >"$out/$name-primary.out") 2>&1 &
    local primary=$!
    waits_for "$out/$name-primary.out" "serves the UPS as ups on 127.0.0.1:$port"
    # Each run's secondary polls at another point of its cycle.
    sleep "$offset"
    WINEPREFIX="$secondary_prefix" "$WINE" "$service" run --console --for "$seconds" \
        > >(stamp_lines >"$out/$name-secondary.out") 2>&1 &
    local secondary=$!
    python3 "$clients_py" fsd "$port" "$seconds" >"$out/$name.fsd" || true
    wait "$primary" "$secondary" || true
    stop_simulator
    awk '$2 == "phase" && $3 == "low" { change = $1 }
        change && $2 == "received" && $3 == "\"Q1\"" && !query && $1 > change { query = $1 }
        END { printf "%.0f,%.0f", change * 1000, query * 1000 }' "$out/$name.sim"
    awk '{ printf ",%.0f", $1 * 1000 }' "$out/$name.fsd"
    grep -F "SHUTDOWN forced by the UPS's primary (FSD)" "$out/$name-secondary.out" | head -n 1 |
        awk '{ printf ",%.0f", $1 * 1000 }'
    echo
}

leads=(8.1 8.4 8.7 9.0 9.3 9.6 9.9 10.2)
: >"$out/fsd.csv"
for i in $(seq 0 $((runs - 1))); do
    echo "== run $((i + 1)) of $runs: low battery to FSD, FSD to the secondary's SHUTDOWN"
    fsd_run "${leads[$i]}" 18 "fsd-$i" "$(awk -v i="$i" -v p="$poll_seconds" -v n="$runs" 'BEGIN { print i * p / n }')" \
        >>"$out/fsd.csv"
done

# The service's process and its wineserver: open descriptors and resident memory.
wineserver_pid() {
    local environ
    for environ in $(grep -lzxF "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null || true); do
        if [[ "$(cat "${environ%/environ}/comm" 2>/dev/null)" == wineserver* ]]; then echo "${environ//[!0-9]/}"; fi
    done | head -n 1
}
sample() {  # PID: "fds server_fds rss_kib"
    echo "$(find "/proc/$1/fd" -mindepth 1 2>/dev/null | wc -l)" \
        "$(find "/proc/$(wineserver_pid)/fd" -mindepth 1 2>/dev/null | wc -l)" \
        "$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$1/status")"
}
echo "== $clients clients polling every 100 ms for 60 s, then 10,000 LIST VAR cycles"
start_simulator online:inf "$out/load.sim"
"$WINE" "$service" run --console --for 200 > >(stamp_lines >"$out/load-primary.out") 2>&1 &
primary=$!
waits_for "$out/load-primary.out" "serves the UPS as ups on 127.0.0.1:$port"
python3 "$clients_py" cycles "$port" 100 >/dev/null  # the first connections' own allocations
sleep 2
read -r fds_before server_fds_before rss_before <<<"$(sample "$primary")"
load="$(cut -d' ' -f1-3 /proc/loadavg)"
python3 "$clients_py" poll "$port" "$clients" 100 60 | tee "$out/poll.txt"
python3 "$clients_py" control 60 | tee "$out/control.txt"
python3 "$clients_py" cycles "$port" 10000 | tee "$out/cycles.txt"
sleep 2
read -r fds_after server_fds_after rss_after <<<"$(sample "$primary")"
"$WINESERVER" -k 2>/dev/null || true
wait "$primary" || true
stop_simulator

# FILE COLUMN_EXPRESSION: samples, median, mean and max over the rows with all four columns.
stats() {
    awk -F, "NF == 4 { print $2 }" "$1" | sort -n |
        awk '{ v[NR] = $1; s += $1 } END { if (NR) printf "%d,%.0f,%.0f,%.0f", NR, v[int((NR + 1) / 2)], s / NR, v[NR]; else printf "0,,," }'
}
field() { awk -v k="$2" '{ for (i = 1; i < NF; i++) if ($i == k) print $(i + 1) }' "$1"; }
csv="build/bench/network-$arch.csv"
{
    echo "figure,samples,median_ms,mean_ms,max_ms"
    echo "low battery on the line to FSD in ups.status,$(stats "$out/fsd.csv" '$3 - $1')"
    echo "  of which detection (to the reply's end),$(stats "$out/fsd.csv" "\$2 + $reply_ms - \$1")"
    echo "  of which the service,$(stats "$out/fsd.csv" "\$3 - \$2 - $reply_ms")"
    echo "FSD served to SHUTDOWN on the secondary (PollSeconds $poll_seconds),$(stats "$out/fsd.csv" '$4 - $3')"
    echo "GET VAR reply ($clients clients every 100 ms; $(field "$out/poll.txt" answered) of $(field "$out/poll.txt" sent) answered; load average $load),,$(field "$out/poll.txt" median_ms),,$(field "$out/poll.txt" max_ms)"
    echo "  99th percentile,,$(field "$out/poll.txt" p99_ms),,"
    echo "the same clients and a trivial server on Linux,,$(field "$out/control.txt" median_ms),,$(field "$out/control.txt" max_ms)"
    echo "  99th percentile,,$(field "$out/control.txt" p99_ms),,"
    echo "10000 LIST VAR cycles ($(field "$out/cycles.txt" failed) failed),,,,$(field "$out/cycles.txt" seconds) s in all"
    echo "  descriptors of the service before / after,,$fds_before,,$fds_after"
    echo "  descriptors of its wineserver before / after,,$server_fds_before,,$server_fds_after"
    echo "  resident memory before / after (KiB),,$rss_before,,$rss_after"
} >"$csv"
echo
echo "korvoups-service $arch on $(nproc) cores, $(uname -r), $($WINE --version)"
column -s, -t <"$csv"
echo
echo "written: $csv"
