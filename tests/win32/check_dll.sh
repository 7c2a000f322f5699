#!/usr/bin/env bash
# Checks the DLL, or one of the programs shipped beside it, as the build
# made it, without running it:
#   check_dll.sh OBJDUMP DLL ALLOWED_IMPORTS VERSION EXPORT...
#   check_dll.sh OBJDUMP PROGRAM.exe ALLOWED_IMPORTS VERSION
# The DLL must export exactly the given names, undecorated (no _name@N); all
# import from KERNEL32.dll, ADVAPI32.dll and msvcrt.dll only (the programs
# also from WTSAPI32.dll, PSAPI.DLL and WS2_32.dll), so that they run on a bare system
# without runtime DLLs beside them, and only functions listed in
# ALLOWED_IMPORTS ("dll function" lines), so that they run on Windows XP.
# As shipped all are
# stripped and carry a version resource of VERSION; the DLL is small and
# names its debug file beside it.
set -euo pipefail

if (($# < 4)); then
    echo "usage: $0 OBJDUMP DLL|EXE ALLOWED_IMPORTS VERSION [EXPORT...]" >&2
    exit 2
fi
objdump="$1" dll="$2" allowed_functions="$3" version="$4"
shift 4
strings="${objdump%objdump}strings"
max_bytes=$((100 * 1024))
allowed_imports="advapi32.dll kernel32.dll msvcrt.dll"
program=0
if [[ "$dll" == *.exe ]]; then
    program=1
    allowed_imports+=" wtsapi32.dll psapi.dll ws2_32.dll"
fi

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

size="$(stat -c %s "$dll")"
echo "size:     $size bytes"
if ((program == 0 && size >= max_bytes)); then
    echo "FAIL: $size bytes, not under $max_bytes"
    status=1
fi
if ! "$objdump" -t "$dll" | grep -qx 'no symbols'; then
    echo "FAIL: the DLL still has a symbol table"
    status=1
fi
if "$objdump" -h "$dll" | grep -q ' \.debug_'; then
    echo "FAIL: the DLL still has debug sections"
    status=1
fi
debug_file="$(basename "$dll").debug"
# The debug link section: the file's name, its terminating zero, a checksum.
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
link=""
"${objdump%objdump}objcopy" --dump-section .gnu_debuglink="$scratch/link" "$dll" "$scratch/copy" 2>/dev/null || true
if [[ -s "$scratch/link" ]]; then
    link="$(tr '\0' '\n' <"$scratch/link" | head -n 1)"
fi
if ((program == 0)) && [[ "$link" != "$debug_file" || ! -s "$(dirname "$dll")/$debug_file" ]]; then
    echo "FAIL: no debug link to $debug_file beside the DLL (link: '$link')"
    status=1
fi
# The resource's strings are UTF-16: each name followed by its value.
resource="$("$strings" -el "$dll" | paste -sd'|')"
for pair in "ProductName|KorvoUPS" "OriginalFilename|$(basename "$dll")" "FileVersion|$version" "ProductVersion|$version"; do
    if [[ "|$resource|" != *"|$pair|"* ]]; then
        echo "FAIL: the version resource lacks ${pair%%|*} = ${pair#*|}"
        status=1
    fi
done
if ((status == 0)); then
    echo "OK: $(basename "$dll") exports exactly the expected names and imports $(wc -l <<<"$functions") functions, all on Windows XP; stripped, $size bytes, version $version"
fi
exit "$status"
