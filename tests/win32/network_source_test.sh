#!/usr/bin/env bash
# Runs a command (the network source's test under Wine) with the scripted NAS
# (nas_server.py) listening on 127.0.0.1, its ports in KORVO_NAS_PORT and
# KORVO_NAS_CONTROL_PORT, KORVO_NAS_IPV6 1 when it listens on ::1 too:
#   network_source_test.sh COMMAND [ARGS...]
# Exits with the command's code (77: skipped).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d)"
server_pid=""
# shellcheck disable=SC2317 # run by the trap
finish() {
    if [[ -n "$server_pid" ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap finish EXIT
trap "exit 143" TERM INT  # the EXIT trap still runs

# It ends by itself after the test's own timeout, should this script be killed.
python3 "$here/nas_server.py" --port-file "$work/ports" --lifetime 300 &
server_pid=$!
for _ in $(seq 200); do
    [[ -s "$work/ports" ]] && break
    if ! kill -0 "$server_pid" 2>/dev/null; then
        echo "network_source_test: the scripted NAS did not start" >&2
        exit 1
    fi
    sleep 0.05
done
read -r nas_port control_port ipv6 <"$work/ports"
echo "network_source_test: the scripted NAS on 127.0.0.1:$nas_port (control $control_port, ::1 too: $ipv6)"
status=0
KORVO_NAS_PORT="$nas_port" KORVO_NAS_CONTROL_PORT="$control_port" KORVO_NAS_IPV6="$ipv6" "$@" || status=$?
exit "$status"
