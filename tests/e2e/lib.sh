# shellcheck shell=bash
# Shared by the end-to-end scripts: counted checks, and `reg query` that
# tells a missing key from a failed run.

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
