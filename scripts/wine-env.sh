# shellcheck shell=bash
# Helpers for running the Windows build under Wine, to be sourced:
#   source scripts/wine-env.sh
#   wine_session x86_64 build/x86_64 WORK && wine_map_port COM1 /some/pty
#   ... "$WINE" program.exe ...
#   wine_session_end
#
# Each build tree gets a template prefix, BUILD_DIR/wineprefix, made once;
# every run (a test, the demo, a benchmark) works in a throwaway clone of it,
# WORK/prefix, with a wineserver, a registry and COM ports of its own, so
# that runs can go side by side. The Wine loaders are called directly (never
# the `wine` wrapper).
#
# 32-bit on this machine (Wine 8.0, Debian bookworm, wine32:i386 installed):
# /usr/lib/wine/wine runs in a pure 32-bit prefix (WINEARCH=win32) served by
# /usr/lib/wine/wineserver64; wineserver32 works there too, and the 32-bit
# loader also runs inside a 64-bit (WoW64) prefix, but wine64 cannot use a
# win32 prefix. So i686 gets its own win32 prefix with the one wineserver64:
# a 32-bit program then sees a 32-bit Windows, without WoW64 redirection.
#
# Serial ports: Wine's mount manager rebuilds PREFIX/dosdevices/comN at the
# start of every Wine session. It first creates each COMn named in
# HKLM\Software\Wine\Ports, then gives every /dev/ttyS*, /dev/ttyUSB*,
# /dev/ttyACM* it finds the lowest COMn not named there: by default COM1 is
# /dev/ttyS0, the system console here. Ports cannot stop that: "COM1"="" only
# moves /dev/ttyS0 to COM2, naming all of COM1..COM255 leaves it COM256 (a
# name Ports does not accept), and every named COMn, even an empty one, is a
# device that opens (an empty COM77 opens, and fails only at the first write
# or line setting). So Ports names the mapped ports only, and every other
# dosdevices/comN (1..256) is an empty directory: the mount manager cannot
# replace a directory by a link, so it drops the host's ports, and opening
# such a COMn fails (Wine 8 opens COMn through dosdevices/comN only, with no
# /dev/ttyS fallback).

WINE_ENV_PORTS_KEY='HKLM\Software\Wine\Ports'

_wine_loader() {
    case "$1" in
    x86_64) echo /usr/lib/wine/wine64 ;;
    i686) echo /usr/lib/wine/wine ;;
    *) echo "wine-env: unknown architecture '$1' (x86_64 or i686)" >&2; return 2 ;;
    esac
}

# wine_use ARCH BUILD_DIR: selects the loader and the build tree's prefix.
wine_use() {
    local arch="$1" build_dir="$2"
    WINE="$(_wine_loader "$arch")" || return 2
    mkdir -p "$build_dir"
    WINEPREFIX="$(cd "$build_dir" && pwd)/wineprefix"
    if [[ "$arch" == i686 ]]; then WINEARCH=win32; else WINEARCH=win64; fi
    WINESERVER=/usr/lib/wine/wineserver64
    WINEDEBUG=-all
    # No .NET or HTML engine in the prefix: nothing asks to download them.
    WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
    export WINE WINEPREFIX WINEARCH WINESERVER WINEDEBUG WINEDLLOVERRIDES
}

# wine_can_run ARCH: true when this machine runs that loader. KORVO_WINE_UNRUNNABLE
# (e.g. "i686") pretends otherwise, to check how a machine without it behaves.
wine_can_run() {
    local loader
    loader="$(_wine_loader "$1")" || return 2
    [[ ",${KORVO_WINE_UNRUNNABLE:-}," != *",$1,"* ]] || return 1
    "$loader" --version >/dev/null 2>&1
}

# wine_reg ARGS...: `reg ARGS...` in the prefix, e.g. wine_reg query 'HKLM\Software'.
# On a loaded machine Wine now and then fails to start reg.exe at all
# ("Application could not be started"): that, and only that, is tried again.
wine_reg() {
    local attempt status errors
    for attempt in 1 2 3; do
        status=0
        { errors="$("$WINE" reg "$@" 2>&1 1>&3 3>&- 9>&-)"; } 3>&1 || status=$?
        if [[ "$errors" != *"could not be started"* ]]; then
            [[ -z "$errors" ]] || printf '%s\n' "$errors" >&2
            return "$status"
        fi
        echo "wine_reg: reg $1 did not start (attempt $attempt), trying again" >&2
        sleep 1
    done
    return "$status"
}

# wine_map_port COMn PATH: COMn opens PATH, now (the link) and in later
# sessions (the Ports value the mount manager rebuilds the link from).
wine_map_port() {
    wine_link_port "$1" "$2" || return
    wine_reg add "$WINE_ENV_PORTS_KEY" /v "COM${1#[Cc][Oo][Mm]}" /t REG_SZ /d "$2" /f >/dev/null
}

# wine_link_port COMn PATH: the link alone, for a caller that writes the
# Ports value itself (in a `reg import` with its other values: one reg.exe
# less, about 0.3 s of CPU).
wine_link_port() {
    local port="$1" path="$2" n entry
    n="${port#[Cc][Oo][Mm]}"
    if ! [[ "$n" =~ ^[1-9][0-9]*$ ]] || ((n > 255)); then
        echo "wine_map_port: '$port' is not COM1..COM255" >&2
        return 2
    fi
    entry="$WINEPREFIX/dosdevices/com$n"
    if [[ -d "$entry" && ! -L "$entry" ]]; then rmdir "$entry"; fi
    ln -sfn "$path" "$entry"
}

# Fails unless every COMn (1..256) of the prefix is blocked or leads to a
# pseudo-terminal (or nowhere: a mapped COMn whose pair is not running opens
# as a device without a line, on which writes fail).
wine_check_ports() {
    local n entry target
    for n in $(seq 1 256); do
        entry="$WINEPREFIX/dosdevices/com$n"
        if [[ -L "$entry" ]]; then
            target="$(readlink -m "$entry")"
            if [[ -e "$target" && "$target" != /dev/pts/* ]]; then
                echo "wine-env: COM$n leads to $target, not a pseudo-terminal" >&2
                return 1
            fi
        elif [[ ! -d "$entry" ]]; then
            echo "wine-env: COM$n ($entry) is neither blocked nor mapped" >&2
            return 1
        fi
    done
}

# Replaces the mount manager's links by blocking directories, then proves in a
# new session that the mount manager made no serial device at all.
_wine_disable_host_ports() {
    local n entry devices
    "$WINESERVER" -w
    for n in $(seq 1 256); do
        entry="$WINEPREFIX/dosdevices/com$n"
        if [[ -L "$entry" ]]; then rm -f "$entry"; fi
        mkdir -p "$entry"
    done
    devices="$(wine_reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>&1)" || return 1
    "$WINESERVER" -w
    if grep -qi 'COM[0-9]' <<<"$devices"; then
        echo "wine-env: Wine still made serial ports:" >&2
        echo "$devices" >&2
        return 1
    fi
}

# wine_prefix_init: creates the prefix once; concurrent callers wait for it.
wine_prefix_init() {
    : "${WINEPREFIX:?call wine_use first}"
    # Named after the way the prefix is made and used (ports blocked, only
    # ever cloned): a prefix made another way is made anew.
    local ready="$WINEPREFIX/.korvo-ready-template-ports-blocked"
    [[ -f "$ready" ]] && return 0
    (
        flock -w 600 9 || { echo "wine-env: timed out waiting for $WINEPREFIX.lock" >&2; exit 1; }
        [[ -f "$ready" ]] && exit 0
        echo "wine-env: creating the $WINEARCH prefix $WINEPREFIX (once per build tree)" >&2
        # A server left by an interrupted creation ends once its programs have.
        if ! timeout 120 "$WINESERVER" -w 9>&-; then
            echo "wine-env: Wine programs still run in $WINEPREFIX; end them (wineserver -k) and retry" >&2
            exit 1
        fi
        rm -rf "$WINEPREFIX"
        if ! "$WINE" wineboot -i >"$WINEPREFIX.log" 2>&1 9>&-; then
            echo "wine-env: wineboot failed, see $WINEPREFIX.log" >&2
            exit 1
        fi
        _wine_disable_host_ports || exit 1
        wine_check_ports || exit 1
        touch "$ready"
    ) 9>"$WINEPREFIX.lock"
}

# Wine's own programs and libraries, which it only ever reads: a clone shares
# them with its template by hard link (the template is over a gigabyte).
# Everything else (the registry, .ini and .inf files, logs) is copied, as
# Wine may rewrite such files in place.
_WINE_SHARED_FILES=(-iname '*.dll' -o -iname '*.exe' -o -iname '*.drv' -o -iname '*.sys' -o -iname '*.ocx'
    -o -iname '*.cpl' -o -iname '*.acm' -o -iname '*.ax' -o -iname '*.tlb' -o -iname '*.ds' -o -iname '*.vxd'
    -o -iname '*.nls' -o -iname '*.com' -o -iname '*.msstyles')

# wine_prefix_clone TEMPLATE CLONE: CLONE made anew as a copy of TEMPLATE.
wine_prefix_clone() {
    local template="$1" clone="$2"
    rm -rf "$clone"
    cp -al "$template" "$clone"
    (cd "$template" && find . -type f ! \( "${_WINE_SHARED_FILES[@]}" \) -print0 |
        xargs -0 -r cp -a --remove-destination --parents -t "$clone")
}

# wine_session ARCH BUILD_DIR WORK: WORK a fresh folder, WINEPREFIX a fresh
# clone of the tree's template in WORK/prefix, its wineserver started.
# The wineserver is started here with its output in WORK/wineserver.log, so
# that no command substitution waits for a server that inherited its pipe,
# and because it takes the first pty it opens as its terminal: when that line
# hangs up it dumps all its objects into whatever output it has.
wine_session() {
    local arch="$1" build_dir="$2" work="$3"
    wine_use "$arch" "$build_dir"
    wine_prefix_init
    rm -rf "$work"
    mkdir -p "$work"
    work="$(cd "$work" && pwd)"
    wine_prefix_clone "$WINEPREFIX" "$work/prefix"
    WINEPREFIX="$work/prefix"
    WINE_SESSION_PREFIX="$WINEPREFIX"
    WINE_SESSION_LOG="$work/wineserver.log"
    wine_server_start
    wine_hold "$work"
}

# wine_hold WORK: a Wine program that waits, without work, for the rest of
# the session. Wine ends its own programs (services.exe, winedevice.exe,
# the mount manager...) a few seconds after the last program of a session
# has ended, and starts them all again with the next: about 1.8 s of CPU and
# 3 s for every `reg` a test runs. Held, a program costs 0.2 s.
wine_hold() {
    rm -f "$1/hold"
    mkfifo "$1/hold"
    # Its input is a fifo that never ends: `set /p` waits on it for good.
    (exec 3<>"$1/hold" && exec "$WINE" cmd /c "set /p hold=" <&3 >/dev/null 2>&1 9>&-) &
    WINE_HOLD_PID=$!
    # Once a program without pipes has run, Wine's own programs are up: none
    # started later inherits (and holds open) a pipe of the caller's.
    "$WINE" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
}

# wine_hold_end: lets the session's own programs end with its last program,
# for a caller that waits for the wineserver to go (wineserver -w).
wine_hold_end() {
    if [[ -n "${WINE_HOLD_PID:-}" ]]; then
        kill "$WINE_HOLD_PID" 2>/dev/null || true
        wait "$WINE_HOLD_PID" 2>/dev/null || true
        WINE_HOLD_PID=""
    fi
}

# wine_server_start: the session's wineserver, started anew if it has ended
# (a program would otherwise start one with the caller's output).
wine_server_start() {
    "$WINESERVER" -p5 </dev/null >>"$WINE_SESSION_LOG" 2>&1 || true
}

# wine_session_restart WORK: the session's programs and server ended and
# started again, for the mount manager to list the ports mapped since: it
# lists them (HARDWARE\DEVICEMAP\SERIALCOMM, QueryDosDevice) only as a
# session starts, while a mapped port opens at once.
wine_session_restart() {
    wine_hold_end
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
    wine_server_start
    wine_hold "$1"
}

# wine_session_end: ends every Wine program of the session and removes its
# prefix. Nothing of the clone is kept: its registry is never read again.
wine_session_end() {
    [[ -n "${WINE_SESSION_PREFIX:-}" && "$WINEPREFIX" == "$WINE_SESSION_PREFIX" ]] || return 0
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
    wine_hold_end
    rm -rf "$WINE_SESSION_PREFIX"
    WINE_SESSION_PREFIX=""
}

# wine_pty_pair LINK_A LINK_B: two linked pseudo-terminals; prints socat's PID.
# socat 1.7 has no -d0; without -d it reports errors only, which is the same.
wine_pty_pair() {
    local a="$1" b="$2" pid tries=0
    mkdir -p "$(dirname "$a")" "$(dirname "$b")"
    rm -f "$a" "$b"
    socat "pty,raw,echo=0,link=$a" "pty,raw,echo=0,link=$b" </dev/null >/dev/null 2>>"$a.log" 9>&- &
    pid=$!
    until [[ -e "$a" && -e "$b" ]]; do
        if ! kill -0 "$pid" 2>/dev/null || ((++tries > 200)); then
            echo "wine_pty_pair: socat did not create $a and $b, see $a.log" >&2
            kill "$pid" 2>/dev/null || true
            return 1
        fi
        sleep 0.05
    done
    echo "$pid"
}
