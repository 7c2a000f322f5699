#!/usr/bin/env bash
# Runs a Windows test program under Wine: CMake's emulator for the cross builds.
#   scripts/wine-run.sh ARCH EXE [ARGS...]
# The program runs in a prefix of its own, cloned from the build tree's, and
# finds COM1 and COM2 as the two ends of a fresh pseudo-terminal pair (COM12
# is COM1 again, for names that need the device namespace), and KorvoUPS.dll
# of its build tree on the search path. Exits with the program's
# code; 77 (skipped) where this machine cannot run 32-bit Windows programs.
set -euo pipefail

if (($# < 2)); then
    echo "usage: $0 x86_64|i686 EXE [ARGS...]" >&2
    exit 2
fi
arch="$1" exe="$2"
shift 2
# shellcheck source=wine-env.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

if ! wine_can_run "$arch"; then
    if [[ "$arch" == i686 ]]; then
        echo "SKIPPED: this machine cannot run 32-bit Windows programs ($(_wine_loader i686) --version fails)"
        exit 77
    fi
    echo "wine-run: this machine cannot run 64-bit Windows programs ($(_wine_loader "$arch") --version fails)" >&2
    exit 1
fi

# The build tree is the nearest directory above the program with a CMakeCache.txt.
exe="$(realpath "$exe")"
build_dir="$(dirname "$exe")"
until [[ -f "$build_dir/CMakeCache.txt" ]]; do
    if [[ "$build_dir" == / ]]; then
        echo "wine-run: $exe is not inside a CMake build tree" >&2
        exit 2
    fi
    build_dir="$(dirname "$build_dir")"
done
dll_dir="${KORVO_WINE_DLL_DIR:-$build_dir}"

# A clone of the tree's prefix and a pair of its own for this run alone, so
# that any number of runs can go side by side.
mkdir -p "$build_dir/wine-runs"
work="$(mktemp -d "$build_dir/wine-runs/$(basename "$exe" .exe).XXXXXX")"
socat_pid=""
# The wineserver opens the ports itself, and as a session leader it takes the
# first one as its controlling terminal: it must be gone before socat closes
# the pair, or the hang-up makes it dump its objects into the test's output.
# shellcheck disable=SC2317 # run by the trap
finish() {
    wine_session_end
    if [[ -n "$socat_pid" ]]; then kill "$socat_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap finish EXIT
trap "exit 143" TERM INT  # the EXIT trap still runs
wine_session "$arch" "$build_dir" "$work"
socat_pid="$(wine_pty_pair "$work/com1" "$work/com2")"
wine_map_port COM1 "$work/com1"
wine_map_port COM2 "$work/com2"
wine_map_port COM12 "$work/com1"
wine_check_ports

# WINEPATH entries are Windows paths; Z: is the Unix root.
export WINEPATH="Z:${dll_dir//\//\\}"
echo "wine-run: $arch $(basename "$exe") (COM1/COM12 <-> COM2, socat $socat_pid, DLLs from $dll_dir)"
status=0
"$WINE" "$exe" "$@" || status=$?
exit "$status"
