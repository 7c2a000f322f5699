# shellcheck shell=bash
# Shared by the end-to-end scripts (after scripts/wine-env.sh): what a case
# needs to run, its row of a table, the next release's program, counted
# checks, and `reg query` that tells a missing key from a failed run.

# skip_unless_runnable SIMULATOR ARCH: exits 77 (skipped) without the
# simulator or where this machine cannot run ARCH.
skip_unless_runnable() {
    if [[ -z "$1" || ! -x "$1" ]]; then
        echo "SKIPPED: no simulator (configure with -DKORVO_SIMULATOR=build/native/.../ups-simulator)"
        exit 77
    fi
    if ! wine_can_run "$2"; then
        echo "SKIPPED: this machine cannot run $2 Windows programs"
        exit 77
    fi
}

# table_row TABLE NAME: the line of the case NAME in TABLE; exits 2 without one.
table_row() {
    local row
    row="$(grep -E "^$2[[:space:]]*\|" "$1" || true)"
    if [[ -z "$row" ]]; then
        echo "$(basename "$0"): no case '$2' in $1" >&2
        exit 2
    fi
    echo "$row"
}

# start_simulator SIMULATOR LINK SCENARIO WORK: the UPS on the pty LINK,
# started by the first query, its output in WORK/simulator.out; sim_pid.
start_simulator() {
    rm -f "$2"
    "$1" --link "$2" --start-on-query --scenario "$3" >"$4/simulator.out" 2>"$4/simulator.err" &
    sim_pid=$!
    for _ in {1..100}; do [[ -e "$2" ]] && break; nap 0.1; done
    [[ -e "$2" ]] || { echo "$(basename "$0"): the simulator did not create $2" >&2; exit 1; }
}

# check_commands WORK WANT: every line the UPS received but its status
# queries, in order and blank-separated ('-': none), is WANT.
check_commands() {
    local commands
    commands="$(awk '$2 == "received" && $3 != "\"Q1\"" { sub(/^[^"]*"/, ""); sub(/"$/, ""); print }' \
        "$1/simulator.out" | paste -sd' ')"
    check "what the UPS received besides status queries" "${commands:--}" "$2"
}

# next_version VERSION: the version after it, as long as it (1.0.9: 1.1.0).
next_version() {
    perl -pe 's/([0-8])([9.]*)$/($1 + 1) . ($2 =~ tr|9|0|r)/e or die "no next version of $_\n"' <<<"$1"
}
# next_version_program SERVICE_EXE VERSION NEXT OUT: the service program with
# its version raised where it shows it (--version, the START line, its
# version resource), as the next release's would be.
next_version_program() {
    OLD="$2" NEW="$3" perl -0777 -pe '
        my ($old, $new) = ($ENV{OLD}, $ENV{NEW});
        my ($old16, $new16) = map { join "", map { "$_\x00" } split //, $_ } ($old, $new);
        s/\x00\Q$old\E\x00/\x00$new\x00/g;
        s/\x00\x00\Q$old16\E\x00\x00/\x00\x00$new16\x00\x00/g;
        my @n = split /\./, $new;
        my ($ms, $ls) = (($n[0] << 16) | $n[1], $n[2] << 16);
        s/\xbd\x04\xef\xfe(.{4}).{16}/"\xbd\x04\xef\xfe" . $1 . pack("V4", $ms, $ls, $ms, $ls)/se;
    ' "$1" >"$4"
}

# nap SECONDS: waits without starting a process (a poll's `sleep` is a fork
# and an exec every time): a read that times out on a fifo nobody writes.
nap() {
    if [[ -z "${NAP_FD:-}" ]]; then
        local fifo="${TMPDIR:-/tmp}/nap.$$.$RANDOM"
        mkfifo "$fifo" && exec {NAP_FD}<>"$fifo" && rm -f "$fifo"
    fi
    read -r -t "$1" -u "$NAP_FD" _ || true
}

# reg_text TEXT: TEXT as a quoted string of a .reg file.
reg_text() { local t="${1//\\/\\\\}"; echo "\"${t//\"/\\\"}\""; }

trim() { local s="$1"; s="${s#"${s%%[![:space:]]*}"}"; echo "${s%"${s##*[![:space:]]}"}"; }

passed=0 failed=0
check() { # check WHAT GOT WANT
    if [[ "$2" == "$3" ]]; then
        passed=$((passed + 1)); echo "ok   - $1"
    else
        failed=$((failed + 1)); echo "FAIL - $1: got '$2', want '$3'"
    fi
}

# reg_query ARGS...: `reg query ARGS` in the prefix, output without CRs.
# Returns 0, 1 when the key or value does not exist, 2 when reg kept failing
# (a reg started while Wine winds a session down can fail for that alone).
reg_query() {
    local out attempt
    for attempt in 1 2 3; do
        if out="$(wine_reg query "$@" 2>&1 | tr -d '\r')"; then
            printf '%s\n' "$out"
            return 0
        fi
        if [[ "$out" == *"Unable to find"* ]]; then return 1; fi
        echo "  (reg query $* failed, attempt $attempt: $out)" >&2
        sleep 1
    done
    return 2
}

# winpath PATH: a Linux path as the prefix's Z: drive names it.
winpath() { echo "Z:${1//\//\\}"; }

# msiexec NAME ARGS...: Wine's msiexec with ARGS, its log in $work/NAME.log
# and its output in $work/NAME.out; the exit code in $rc.
msiexec() {  # NAME ARGS...
    local name="$1" start
    shift
    start="$(date +%s%N)"
    rc=0
    timeout 180 "$WINE" msiexec "$@" /l*v "$(winpath "$work/$name.log")" >"$work/$name.out" 2>&1 || rc=$?
    echo "  msiexec $*: exit $rc, $((($(date +%s%N) - start) / 1000000)) ms" >&2
}
# refusal NAME MSI ARGS...: the message of the package's launch condition
# that refused it. Wine shows none without a UI and logs none; its msi trace
# names the condition.
refusal() {  # NAME MSI ARGS...
    local name="$1" msi="$2" condition
    shift 2
    WINEDEBUG=+msi msiexec "$name" /i "$(winpath "$msi")" /qn "$@"
    condition="$(awk '/ACTION_LaunchConditions/ { on = 1 } on && /MSI_EvaluateConditionW 0 <- L"/ { c = $0 }
        END { sub(/.*MSI_EvaluateConditionW 0 <- L"/, "", c); sub(/"$/, "", c); gsub(/\\"/, "\"", c); print c }' \
        "$work/$name.out")"
    msiinfo export "$msi" LaunchCondition | tr -d '\r' | awk -F'\t' -v c="$condition" 'NR > 3 && $1 == c { print $2 }'
}
