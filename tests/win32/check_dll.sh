#!/usr/bin/env bash
# Checks the DLL as the linker made it, without running it:
#   check_dll.sh OBJDUMP DLL ALLOWED_IMPORTS EXPORT...
# It must export exactly the given names, undecorated (no _name@N), and import
# from KERNEL32.dll, ADVAPI32.dll and msvcrt.dll only, so that it loads on a
# bare system without runtime DLLs beside it, and only functions listed in
# ALLOWED_IMPORTS ("dll function" lines), so that it loads on Windows XP.
set -euo pipefail

if (($# < 4)); then
    echo "usage: $0 OBJDUMP DLL ALLOWED_IMPORTS EXPORT..." >&2
    exit 2
fi
objdump="$1" dll="$2" allowed_functions="$3"
shift 3
allowed_imports="advapi32.dll kernel32.dll msvcrt.dll"

headers="$("$objdump" -p "$dll")"

# The name pointer table lists each exported name as "[   N] Name".
exports="$(awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
                on && /^[[:space:]]*\[ *[0-9]+\]/ { print $NF; next }
                on { on = 0 }' <<<"$headers" | sort)"
expected="$(printf '%s\n' "$@" | sort)"
imports="$(awk '/^[[:space:]]*DLL Name:/ { print tolower($3) }' <<<"$headers" | sort -u)"
# Each import table entry is "<hint/name RVA> <hint> <Name>" below its DLL's line.
functions="$(awk '/DLL Name:/ { dll = tolower($3); next }
                  dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll, $NF; next }
                  /^$/ { dll = "" }' <<<"$headers" | sort -u)"
unlisted="$(comm -23 <(echo "$functions") <(grep -v '^#' "$allowed_functions" | sort -u))"

echo "exports:  ${exports//$'\n'/ }"
echo "expected: ${expected//$'\n'/ }"
echo "imports:  ${imports//$'\n'/ }"

status=0
if [[ "$exports" != "$expected" ]]; then
    echo "FAIL: the exports differ from the expected names:"
    diff <(echo "$expected") <(echo "$exports") | sed -n 's/^</  missing:/p; s/^>/  unexpected:/p' || true
    status=1
fi
for name in $imports; do
    if [[ " $allowed_imports " != *" $name "* ]]; then
        echo "FAIL: imports from $name"
        status=1
    fi
done
if [[ -n "$unlisted" ]]; then
    echo "FAIL: imports functions not known to be on Windows XP:"
    sed 's/^/  /' <<<"$unlisted"
    status=1
fi
if [[ -z "$imports" ]]; then
    echo "FAIL: no import table found (is $dll a PE DLL?)"
    status=1
fi
if ((status == 0)); then
    echo "OK: $(basename "$dll") exports exactly the expected names and imports $(wc -l <<<"$functions") functions, all on Windows XP"
fi
exit "$status"
