#!/usr/bin/env bash
# The Windows Installer package under Wine's msiexec, with the simulator's
# UPS on COM1: make-package.sh makes this tree's package, and the next
# version's from the same files with the version raised; then
#   msiexec /i THIS /qn PORT=COM1 TURNOFF=1 DRYRUN=1: the service registered
#     whole and running, the UPS answering `status`, Add/Remove Programs;
#   a changed setting, then msiexec /i NEXT /qn: the settings, the accounts'
#     key and the secondary's, the port and the log kept, the service running
#     the next version;
#   THIS again: refused as older; msiexec /x: nothing left behind;
#   THIS without PORT, or with TURNOFF=yes: refused, saying what to give
#   (on x86_64 also the x86 package, which refuses 64-bit Windows);
#   a service that does not start: the installation undone, DRYRUN's too;
#   on x86_64, Windows XP x64 with its own UPS service: refused, naming the INF.
#   tests/e2e/msi.sh ARCH BUILD_DIR SIMULATOR
# Exit 77 (skipped) without a simulator or where ARCH cannot run.
set -euo pipefail

if (($# != 3)); then
    echo "usage: $0 x86_64|i686 BUILD_DIR SIMULATOR" >&2
    exit 2
fi
arch="$1" build_dir="$(realpath "$2")" simulator="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../../scripts/wine-env.sh"
source "$here/lib.sh"
skip_unless_runnable "$simulator" "$arch"
case "$arch" in x86_64) msi_arch=x64 folder=amd64 ;; i686) msi_arch=x86 folder=x86 ;; *) exit 2 ;; esac

SERVICE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\UPS'
SETTINGS_KEY='HKLM\SOFTWARE\KorvoUPS'
EVENT_SOURCE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\KorvoUPS'
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
work="$build_dir/e2e/packaging_msi"
version="$(cat "$build_dir/korvoups-version.txt")"
# The next version, as long as this one (the program's text keeps its size).
next="$(next_version "$version")"

sim_pid=""
cleanup() {
    # The wineserver holds the simulator's pty: it goes first (see wine-run.sh).
    wine_session_end
    if [[ -n "$sim_pid" ]]; then kill "$sim_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
wine_session "$arch" "$build_dir" "$work"
program_files="$WINEPREFIX/drive_c/Program Files/KorvoUPS"
installed='C:\Program Files\KorvoUPS\korvoups-service.exe'

echo "msi ($arch): the packages of $version and $next"
make_package() { bash "$here/../../packaging/make-package.sh" "$@" >/dev/null; }  # OUT X86_TREE AMD64_TREE
# The next release's files: this build's, with the version raised where the
# program shows it (--version, the START line, its version resource).
mkdir -p "$work/next-tree"
for file in KorvoUPS.dll KorvoUPS.dll.debug ups_host.exe; do ln -s "$(realpath "$build_dir/$file")" "$work/next-tree/$file"; done
echo "$next" >"$work/next-tree/korvoups-version.txt"
next_version_program "$build_dir/korvoups-service.exe" "$version" "$next" "$work/next-tree/korvoups-service.exe"
if [[ "$arch" == x86_64 ]]; then
    # The x86 package too, for its refusal alone: it is made of this tree's files.
    make_package "$work/this" "$build_dir" "$build_dir"
    make_package "$work/next" "" "$work/next-tree"
else
    make_package "$work/this" "$build_dir" ""
    make_package "$work/next" "$work/next-tree" ""
fi
this_msi="$work/this/KorvoUPS-$version-$msi_arch.msi"
next_msi="$work/next/KorvoUPS-$next-$msi_arch.msi"
check "SHA256SUMS lists the package" "$(cd "$work/this" && grep -c " KorvoUPS-$version-$msi_arch.msi\$" SHA256SUMS &&
    sha256sum --quiet --strict -c SHA256SUMS && echo matches)" $'1\nmatches'

# PREFIX when TEXT begins with it, else TEXT.
starts() {  # TEXT PREFIX
 [[ "$1" == "$2"* ]] && echo "$2" || echo "$1"; }
# `status` of the installed service until the UPS answers (exit 0), at most 60 s.
wait_answering() {
    local tries
    for tries in $(seq 60); do
        if "$WINE" "$installed" status >"$work/status.out" 2>&1; then
            echo 0
            return
        fi
        sleep 1
    done
    sed 's/^/  status: /' "$work/status.out" >&2
    echo 1
}
value() { awk -v n="$2" '$1 == n { $1 = $2 = ""; print substr($0, 3) }' <<<"$1"; }
present() { if [[ -e "$1" ]]; then echo present; else echo absent; fi; }
# The Add/Remove Programs entries named KorvoUPS, one a line: "VERSION
# PUBLISHER HELPLINK".
products() {
    reg_query "$UNINSTALL_KEY" /s | awk '/^HKEY/ { key = $0 } { v = $0; sub(/^ *[^ ]+ +REG_[A-Z_]+ +/, "", v) }
        $1 == "DisplayName" { name[key] = v } $1 == "DisplayVersion" { version[key] = v }
        $1 == "Publisher" { publisher[key] = v } $1 == "HelpLink" { help[key] = v }
        END { for (k in name) if (name[k] == "KorvoUPS") print version[k], publisher[k], help[k] }'
}

link="$work/ups-line"
wine_map_port COM1 "$link"
# The service lives on while the session's waiting program does (wine_session).
start_simulator "$simulator" "$link" online:inf "$work"

echo "msi ($arch): msiexec /i KorvoUPS-$version-$msi_arch.msi /qn PORT=COM1 TURNOFF=1 DRYRUN=1"
msiexec install /i "$(winpath "$this_msi")" /qn PORT=COM1 TURNOFF=1 DRYRUN=1
check "installed" "$rc" 0
check "the service answers status (running, the UPS answers)" "$(wait_answering)" 0
service="$(reg_query "$SERVICE_KEY" || true)"
check "the service's program, quoted" "$(value "$service" ImagePath)" "\"$installed\""
check "the service's display name" "$(value "$service" DisplayName)" "Uninterruptible Power Supply (KorvoUPS)"
check "the service's description" "$(value "$service" Description)" \
    "Watches a UPS on a serial port through KorvoUPS.dll: warns the users when the mains fails and shuts Windows down in time."
check "the service's start and account" "$(value "$service" Start) $(value "$service" ObjectName)" "0x2 LocalSystem"
check "the service's port" "$(value "$service" Port)" COM1
check "the Event Log source's message file" \
    "$(value "$(reg_query "$EVENT_SOURCE_KEY" || true)" EventMessageFile)" "$installed"
check "Add/Remove Programs: KorvoUPS, its version, publisher and help link" "$(products)" \
    "$version KorvoUPS C:\\Program Files\\KorvoUPS\\README.md"

echo "msi ($arch): a changed setting and an account, then msiexec /i KorvoUPS-$next-$msi_arch.msi /qn"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n"ShutdownAfterSeconds"=dword:0000012c\r\n\r\n[%s\\Users]\r\n"monitor"="kept"\r\n\r\n[%s\\Secondary]\r\n"User"="monuser"\r\n' \
    "${SETTINGS_KEY/HKLM/HKEY_LOCAL_MACHINE}" "${SETTINGS_KEY/HKLM/HKEY_LOCAL_MACHINE}" "${SETTINGS_KEY/HKLM/HKEY_LOCAL_MACHINE}" \
    >"$WINEPREFIX/drive_c/changed.reg"
wine_reg import 'C:\changed.reg' >/dev/null
settings="$(reg_query "$SETTINGS_KEY" /s)"
check "TURNOFF=1 DRYRUN=1" "$(awk '$2 ~ /^REG_/ { print $1 "=" $3 }' <<<"$settings" | sort | paste -sd' ')" \
    "DryRun=0x1 ShutdownAfterSeconds=0x12c TurnOff=0x1 User=monuser monitor=kept"
first_line="$(head -n 1 "$program_files/events.log")"
msiexec upgrade /i "$(winpath "$next_msi")" /qn
check "upgraded" "$rc" 0
check "the settings and the accounts kept" "$(reg_query "$SETTINGS_KEY" /s)" "$settings"
check "the port kept" "$(value "$(reg_query "$SERVICE_KEY" || true)" Port)" COM1
check "the log kept" "$(head -n 1 "$program_files/events.log")" "$first_line"
check "the installed program is the next version" "$("$WINE" "$installed" --version | tr -d '\r')" \
    "korvoups-service $next (${folder})"
check "the service answers status again" "$(wait_answering)" 0
check "the running service is the next version" \
    "$(tr -d '\r' <"$program_files/events.log" | grep -o 'START KorvoUPS service [0-9.]*' | tail -n 1)" \
    "START KorvoUPS service $next"
check "Add/Remove Programs: only the next version" "$(products | awk '{ print $1 }' | paste -sd' ')" "$next"

echo "msi ($arch): KorvoUPS-$version-$msi_arch.msi over $next"
check "refused as older" "$(starts "$(refusal downgrade "$this_msi")" "KorvoUPS is installed in a newer version")" \
    "KorvoUPS is installed in a newer version"
check "... and the next version stays" "$(cmp -s "$work/next-tree/korvoups-service.exe" "$program_files/korvoups-service.exe" && echo yes)" yes

echo "msi ($arch): msiexec /x KorvoUPS-$next-$msi_arch.msi /qn"
msiexec uninstall /x "$(winpath "$next_msi")" /qn
check "uninstalled" "$rc" 0
check "no program folder, no log" "$(present "$program_files")" absent
check "no Add/Remove Programs entry" "$(products)" ""
for key in "$SERVICE_KEY" "$SETTINGS_KEY" "$EVENT_SOURCE_KEY"; do
    result=0
    reg_query "$key" >/dev/null 2>&1 || result=$?
    check "no key $key" "$result" 1
done

echo "msi ($arch): refusals"
check "without PORT: refused, saying what to give" \
    "$(starts "$(refusal no-port "$this_msi")" "Name the UPS's serial port: msiexec /i KorvoUPS-$version-$msi_arch.msi PORT=COMn")" \
    "Name the UPS's serial port: msiexec /i KorvoUPS-$version-$msi_arch.msi PORT=COMn"
check "... and nothing installed" "$(present "$program_files")" absent
check "TURNOFF=yes: refused, saying what it takes" "$(starts "$(refusal turnoff "$this_msi" PORT=COM1 TURNOFF=yes)" \
    "TURNOFF takes 1")" "TURNOFF takes 1"
if [[ "$arch" == x86_64 ]]; then
    check "the x86 package on 64-bit Windows: refused" \
        "$(refusal x86 "$work/this/KorvoUPS-$version-x86.msi" PORT=COM1)" \
        "This package is for 32-bit Windows: on 64-bit Windows, install KorvoUPS-$version-x64.msi."
fi

echo "msi ($arch): a service that does not start: the installation undone"
# A Driver that does not load is a start failure.
wine_reg add "$SETTINGS_KEY" /v Driver /t REG_SZ /d 'C:\missing\KorvoUPS.dll' /f >/dev/null
msiexec failed /i "$(winpath "$this_msi")" /qn PORT=COM1 DRYRUN=1
check "failed" "$((rc != 0))" 1
check "the log says why" "$(grep -c 'CONFIG the service does not start: Driver' "$program_files/events.log" || true)" 1
check "DRYRUN set, then taken back (the log's last runs of the two)" \
    "$(grep -ao 'Action start [0-9:]*: [A-Za-z]*DryRun' "$work/failed.log" | tail -n 2 | awk '{ print $4 }' | paste -sd' ')" \
    "SetDryRun UndoDryRun"
check "... leaving only the setting there before" "$(reg_query "$SETTINGS_KEY" | awk '$2 ~ /^REG_/ { print $1 }')" Driver
check "no service" "$(reg_query "$SERVICE_KEY" >/dev/null 2>&1; echo $?)" 1
check "no Add/Remove Programs entry" "$(products)" ""
# (Wine leaves the files it copied, which Windows takes back.)

if [[ "$arch" == x86_64 ]]; then
    # As Windows XP x64 and Server 2003 x64, whose own UPS service loads the driver.
    wine_reg add 'HKCU\Software\Wine' /v Version /d winxp64 /f >/dev/null
    "$WINE" sc create UPS binpath= 'C:\windows\system32\ups.exe' >/dev/null
    check "a Windows with its own UPS service: refused, naming the INF" \
        "$(refusal xp "$this_msi" PORT=COM1 | grep -o 'install the driver with .*\.zip' || true)" \
        "install the driver with amd64\\korvoups.inf from KorvoUPS-$version.zip"
fi

echo "msi ($arch): $passed passed, $failed failed"
((failed == 0))
