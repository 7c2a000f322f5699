#!/usr/bin/env bash
# ups_host's own failures, which the end-to-end cases rely on it to report:
# a DLL without the six exports, no DLL at all, bad arguments; and its version.
#   tests/e2e/host_test.sh ARCH BUILD_DIR HOST_EXE VERSION
# Exit 77 (skipped) where ARCH cannot run.
set -euo pipefail
if (($# != 4)); then
    echo "usage: $0 x86_64|i686 BUILD_DIR HOST_EXE VERSION" >&2
    exit 2
fi
arch="$1" build_dir="$2" host="$3" version="$4"
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../../scripts/wine-env.sh"
if ! wine_can_run "$arch"; then
    echo "SKIPPED: this machine cannot run $arch Windows programs"
    exit 77
fi
work="$build_dir/e2e/host_test"
trap wine_session_end EXIT
wine_session "$arch" "$build_dir" "$work"

source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/lib.sh"
run_host() { # run_host NAME ARGS...: output in $work/NAME.out, exit code echoed
    local name="$1" rc=0
    shift
    "$WINE" "$host" "$@" >"$work/$name.out" 2>"$work/$name.err" || rc=$?
    sed 's/^/  host: /' "$work/$name.out" "$work/$name.err" >&2
    echo "$rc"
}

# A DLL that loads but is no UPS driver: Wine's own version.dll.
rc="$(run_host no_exports --dll 'C:\windows\system32\version.dll' --for 1 | tail -n 1)"
check "a DLL without the exports: exit code" "$rc" 4
missing="$(grep -o 'what=missing_export name=[A-Za-z]*' "$work/no_exports.out" | sed 's/.*name=//' | paste -sd' ')"
check "a DLL without the exports: each one named" "$missing" "UPSInit UPSStop UPSGetState UPSTurnOff UPSWaitForStateChange UPSCancelWait"
check "a DLL without the exports: no call into it" "$(grep -c ' init ' "$work/no_exports.out" || true)" 0

rc="$(run_host no_dll --dll 'C:\no\such\KorvoUPS.dll' --for 1 | tail -n 1)"
check "no DLL: exit code" "$rc" 3
check "no DLL: reported" "$(grep -c ' error what=load ' "$work/no_dll.out" || true)" 1

for args in "--for" "--for -1" "--readers 17" "--waiters 0" "--cycles 0" "--turn-off" "--turn-off -5" "--wait-timeout x" "--colour red"; do
    # shellcheck disable=SC2086 # the arguments are words
    rc="$(run_host usage $args | tail -n 1)"
    check "bad arguments '$args': exit code" "$rc" 2
done

rc="$(run_host version --version | tail -n 1)"
check "--version: exit code" "$rc" 0
check "--version: the package's version" "$(cut -d' ' -f1,2 "$work/version.out" | tr -d '\r')" "ups_host $version"

echo "host_test ($arch): $passed passed, $failed failed"
((failed == 0))
