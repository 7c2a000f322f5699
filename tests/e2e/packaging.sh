#!/usr/bin/env bash
# The release archive and its installation under Wine: make-package.sh for
# this tree's architecture, the archive's contents and checksums, then
# korvoups.inf (through rundll32, as right-click > Install runs it),
# install.cmd and uninstall.cmd from the unpacked archive, both ways: the
# KorvoUPS service (Wine has no UPS service, as Vista and later), and the
# INF beside a UPS service of Windows' own; checked by querying the
# registry back and loading the installed DLL. On the service's way, with
# the simulator's UPS on COM1 and nothing behind COM2: install.cmd on COM2
# (no UPS answers), detect and probe, install.cmd of the next version on
# COM1 while a command of RunOnEvent holds the installed DLL (the service
# ends it as it stops), and once more while another program holds it (the
# copy fails, the cause is named, the previous version runs again).
#   tests/e2e/packaging.sh ARCH BUILD_DIR HOST_EXE DLL SIMULATOR HOLD_FILE_EXE
# Exit 77 (skipped) without a simulator or where ARCH cannot run.
set -euo pipefail

if (($# != 6 && $# != 7)); then
    echo "usage: $0 x86_64|i686 BUILD_DIR HOST_EXE DLL SIMULATOR HOLD_FILE_EXE [install|secondary]" >&2
    exit 2
fi
arch="$1" build_dir="$2" host="$3" dll="$4" simulator="$5" holder_exe="$6" case="${7:-install}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../../scripts/wine-env.sh"
source "$here/lib.sh"
skip_unless_runnable "$simulator" "$arch"
case "$arch" in x86_64) folder=amd64 msi_arch=x64 ;; i686) folder=x86 msi_arch=x86 ;; *) echo "unknown arch $arch" >&2; exit 2 ;; esac

SERVICE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\UPS'
PROVIDERS_KEY="$SERVICE_KEY\\ServiceProviders\\KorvoUPS"
SETTINGS_KEY='HKLM\SOFTWARE\KorvoUPS'
# The models as the provider key holds them (reg_tree's form, relative to it).
MODELS="|Q1 serial UPS|REG_SZ|0x7;KorvoUPS.dll |Q1 serial UPS (turns off after shutdown)|REG_SZ|0xF;KorvoUPS.dll"

# Every key and value under KEY, one per line ("SUBKEY" or
# "SUBKEY|NAME|TYPE|DATA", relative to KEY), or "absent".
reg_tree() {
    local out rc=0
    out="$(reg_query "$1" /s)" || rc=$?
    case "$rc" in 1) echo absent; return ;; 2) echo reg_query_failed; return ;; esac
    awk -v top="$1" 'BEGIN { sub("^HKLM", "HKEY_LOCAL_MACHINE", top); n = length(top) }
        /^HKEY_/ { key = substr($0, n + 2); if (key != "") print key; next }
        /^    [^ ]/ { split(substr($0, 5), f, "    "); print (key == "" ? "" : key) "|" f[1] "|" f[2] "|" f[3] }
    ' <<<"$out"
}
# The tree without the lines of the model's list: the service's own settings.
service_settings() { reg_tree "$SERVICE_KEY" | grep -v '^ServiceProviders' || true; }
present() { if [[ -e "$1" ]]; then echo present; else echo absent; fi; }

work="$build_dir/e2e/packaging"
[[ "$case" == install ]] || work+="_$case"
sim_pid="" pair_pid="" held_pid="" nas_pid=""
cleanup() {
    # The wineserver holds the simulator's pty: it goes first (see wine-run.sh).
    wine_session_end
    for pid in "$sim_pid" "$pair_pid" "$held_pid" "$nas_pid"; do
        if [[ -n "$pid" ]]; then kill "$pid" 2>/dev/null || true; fi
    done
}
trap cleanup EXIT
wine_session "$arch" "$build_dir" "$work"
system32="$WINEPREFIX/drive_c/windows/system32"
version="$(cat "$build_dir/korvoups-version.txt")"
next="$(next_version "$version")"

echo "packaging ($arch): the release archive"
if [[ "$folder" == amd64 ]]; then
    bash "$here/../../packaging/make-package.sh" "$work/out" "" "$build_dir"
else
    bash "$here/../../packaging/make-package.sh" "$work/out" "$build_dir" ""
fi
unzip -q "$work/out/KorvoUPS-$version.zip" -d "$work/unpacked"
unzip -q "$work/out/KorvoUPS-$version-symbols.zip" -d "$work/symbols"
files() { (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | paste -sd' '); }
check "the archive's files" "$(files "$work/unpacked")" \
    "README.md SHA256SUMS $folder/KorvoUPS.dll $folder/install.cmd $folder/korvoups-service.exe $folder/korvoups.inf $folder/uninstall.cmd $folder/ups_host.exe"
check "the symbols archive's files" "$(files "$work/symbols")" "SHA256SUMS $folder/KorvoUPS.dll.debug"
for unpacked in "$work/unpacked" "$work/symbols"; do
    check "$(basename "$unpacked"): every file is in SHA256SUMS and matches it" \
        "$(cd "$unpacked" && sha256sum --quiet --strict -c SHA256SUMS && wc -l <SHA256SUMS)" \
        "$(($(find "$unpacked" -type f | wc -l) - 1))"
done
check "the archive's DLL is this build's" "$(cmp -s "$dll" "$work/unpacked/$folder/KorvoUPS.dll" && echo yes)" yes
check "the INF's DriverVer" "$(grep -c "^DriverVer = [0-9][0-9]/[0-9][0-9]/20[0-9][0-9],$version.0"$'\r'"\$" "$work/unpacked/$folder/korvoups.inf")" 1
package="$work/unpacked/$folder"

# Installs count only by what they leave behind; a hung dialog ends by time-out.
inf_section() { (cd "$package" && timeout 120 "$WINE" rundll32 setupapi.dll,InstallHinfSection "$1" 128 '.\korvoups.inf'); }

# Runs a script or program of a package's folder, its output shown (and
# kept in WORK/OUTPUT without CRs); the exit code in $rc.
run_in() {  # FOLDER OUTPUT COMMAND ARGS...
    local folder="$1" out="$2"
    shift 2
    rc=0
    (cd "$folder" && timeout 120 "$WINE" cmd /c "$@") >"$work/$out.raw" 2>&1 || rc=$?
    tr -d '\r' <"$work/$out.raw" >"$work/$out"
    sed "s/^/  $1: /" "$work/$out"
}
run_script() { run_in "$package" "$@"; }  # OUTPUT SCRIPT ARGS...
said() { grep -cxF -- "$2" "$work/$1" || true; }  # OUTPUT LINE: how often the line was said
program_files="$WINEPREFIX/drive_c/Program Files/KorvoUPS"
service_image() { reg_query "$SERVICE_KEY" /v ImagePath 2>/dev/null | awk '$1 == "ImagePath" { $1 = $2 = ""; print substr($0, 3) }' || true; }

service_state() { "$WINE" sc query UPS | tr -d '\r' | awk '$1 == "STATE" { print $4 }'; }
log_events() { tr -d '\r' <"$program_files/events.log"; }
installed_version() { "$WINE" "$program_files/korvoups-service.exe" --version | tr -d '\r'; }
hold_installed_dll() {  # SECONDS OUTPUT: held_pid, once it holds it (readers only)
    "$WINE" "$holder_exe" 'C:\Program Files\KorvoUPS\KorvoUPS.dll' "$1" readers >"$work/$2" 2>&1 &
    held_pid=$!
    for _ in $(seq 100); do grep -q holding "$work/$2" && break; sleep 0.2; done
}

# The scripted primary's record of what its clients sent (nas_server.py's SENT).
nas_sent() {
    exec 3<>"/dev/tcp/127.0.0.1/$nas_control"
    echo SENT >&3
    sed '/^END$/q' <&3
    exec 3<&-
}

# A machine without the UPS cable: install.cmd /ups, then the Windows Installer package with UPS.
secondary() {
    python3 "$here/../win32/nas_server.py" --port-file "$work/nas-ports" --lifetime 300 &
    nas_pid=$!
    for _ in $(seq 200); do [[ -s "$work/nas-ports" ]] && break; sleep 0.05; done
    read -r nas_port nas_control _ <"$work/nas-ports"
    local ups="ups@127.0.0.1:$nas_port" msi="$work/out/KorvoUPS-$version-$msi_arch.msi"

    echo "packaging ($arch): install.cmd /ups $ups /user monuser, the password on standard input"
    run_script ups-turnoff.out install.cmd /ups "$ups" /user monuser /turnoff </dev/null
    check "install.cmd /ups with /turnoff: exit code (refused)" "$rc" 1
    check "... saying why" "$(grep -c 'neither a port nor /turnoff' "$work/ups-turnoff.out" || true)" 1
    run_script install-ups.out install.cmd /ups "$ups" /user monuser <<<$'secret\r'
    check "install.cmd /ups: exit code (the primary answers)" "$rc" 0
    check "install.cmd /ups: says what the primary answers" "$(said install-ups.out "The primary $ups answers: on mains")" 1
    check "install.cmd /ups: Ups, the account, no Port" \
        "$(reg_tree "$SETTINGS_KEY" | sort | paste -sd' ') $(reg_tree "$SERVICE_KEY" | grep -c '^|Port|' || true)" \
        "Secondary Secondary|Password|REG_SZ|secret Secondary|User|REG_SZ|monuser |Ups|REG_SZ|$ups 0"
    check "install.cmd /ups: the service logged in to the primary" "$(nas_sent | grep -m 1 -c '^LOGIN ups$' || true)" 1
    run_script uninstall-ups.out uninstall.cmd
    check "uninstall.cmd: exit code" "$rc" 0
    check "uninstall.cmd: the settings and the account" "$(reg_tree "$SETTINGS_KEY")" absent

    echo "packaging ($arch): msiexec /i KorvoUPS-$version-$msi_arch.msi /qn UPS=$ups UPSUSER=monuser UPSPASSWORD=secret"
    check "with TURNOFF=1: refused" \
        "$(refusal msi-turnoff "$msi" UPS="$ups" UPSUSER=monuser UPSPASSWORD=secret TURNOFF=1)" \
        "TURNOFF=1 is not offered with UPS: the UPS is its primary's, which turns it off."
    msiexec msi-install /i "$(winpath "$msi")" /qn UPS="$ups" UPSUSER=monuser UPSPASSWORD=secret
    check "installed" "$rc" 0
    rc=0
    "$WINE" "$program_files/korvoups-service.exe" status --wait 30 >"$work/msi-status.out" 2>&1 || rc=$?
    sed 's/^/  status: /' "$work/msi-status.out"
    check "the service follows the primary, logged in (status)" \
        "$rc $(grep -c '^session:  logged in to .* as monuser; on mains' "$work/msi-status.out" || true)" "0 1"
    check "the password is not in the installer's log" "$(grep -ac secret "$work/msi-install.log" || true)" 0
    check "Ups, the account, no Port" \
        "$(reg_tree "$SETTINGS_KEY" | sort | paste -sd' ') $(reg_tree "$SERVICE_KEY" | grep -c '^|Port|' || true)" \
        "Secondary Secondary|Password|REG_SZ|secret Secondary|User|REG_SZ|monuser |Ups|REG_SZ|$ups 0"

    echo "packaging ($arch): msiexec /i KorvoUPS-$next-$msi_arch.msi /qn, an upgrade given nothing"
    mkdir -p "$work/next-tree"
    for file in KorvoUPS.dll KorvoUPS.dll.debug ups_host.exe; do ln -sf "$(realpath "$build_dir/$file")" "$work/next-tree/$file"; done
    echo "$next" >"$work/next-tree/korvoups-version.txt"
    next_version_program "$build_dir/korvoups-service.exe" "$version" "$next" "$work/next-tree/korvoups-service.exe"
    local next_arguments=("$work/next" "" "$work/next-tree")
    [[ "$arch" == x86_64 ]] || next_arguments=("$work/next" "$work/next-tree" "")
    bash "$here/../../packaging/make-package.sh" "${next_arguments[@]}" >/dev/null
    msiexec msi-upgrade /i "$(winpath "$work/next/KorvoUPS-$next-$msi_arch.msi")" /qn
    rc=$rc$("$WINE" "$program_files/korvoups-service.exe" status --wait 30 >"$work/msi-status.out" 2>&1 || echo " status $?")
    sed 's/^/  status: /' "$work/msi-status.out"
    tr -d "\r" <"$program_files/events.log" | tail -n 3 | sed 's/^/  log: /'
    check "upgraded; the next version follows the primary, logged in" \
        "$rc $(grep -c '^session:  logged in to .* as monuser; on mains' "$work/msi-status.out" || true) $(grep -ac "START KorvoUPS service $next" "$program_files/events.log" || true)" \
        "0 1 1"
    check "... Ups and the account kept, no Port" \
        "$(reg_tree "$SETTINGS_KEY" | sort | paste -sd' ') $(reg_tree "$SERVICE_KEY" | grep -c '^|Port|' || true)" \
        "Secondary Secondary|Password|REG_SZ|secret Secondary|User|REG_SZ|monuser |Ups|REG_SZ|$ups 0"
    msiexec msi-uninstall /x "$(winpath "$work/next/KorvoUPS-$next-$msi_arch.msi")" /qn
    check "uninstalled: the settings and the account" "$rc $(reg_tree "$SETTINGS_KEY")" "0 absent"

    echo "packaging ($arch): install.cmd /ups beside Windows' own UPS service"
    "$WINE" sc create UPS binpath= 'C:\windows\system32\ups.exe' >/dev/null
    run_script ups-windows.out install.cmd /ups "$ups" /user monuser </dev/null
    check "refused, saying why" "$rc $(grep -c '/ups needs the KorvoUPS service' "$work/ups-windows.out" || true)" "1 1"
    "$WINE" sc delete UPS >/dev/null

    echo "packaging ($arch): UPS that the service cannot read"
    msiexec msi-bad /i "$(winpath "$msi")" /qn UPS=ups@ UPSUSER=monuser UPSPASSWORD=secret
    check "failed, undone: no service, no settings" \
        "$((rc != 0)) $(reg_tree "$SERVICE_KEY") $(reg_tree "$SETTINGS_KEY")" "1 absent absent"
}

if [[ "$case" == secondary ]]; then
    secondary
    echo "packaging ($arch): $passed passed, $failed failed"
    ((failed == 0))
    exit
fi

echo "packaging ($arch): the INF on a machine without a UPS configured"
wine_reg delete "$SERVICE_KEY" /f >/dev/null 2>&1 || true
rm -f "$system32/KorvoUPS.dll"
inf_section DefaultInstall
check "installed: all there is under Services\\UPS" "$(reg_tree "$SERVICE_KEY" | paste -sd' ')" \
    "ServiceProviders ServiceProviders\\KorvoUPS ${MODELS//|Q1/ServiceProviders\\KorvoUPS|Q1}"
check "installed: no settings of the driver's own" "$(reg_tree "$SETTINGS_KEY")" absent
check "installed: system32\\KorvoUPS.dll is this build's DLL" "$(cmp -s "$dll" "$system32/KorvoUPS.dll" && echo yes)" yes

echo "packaging ($arch): the installed DLL loads as the UPS service loads it"
# The service's part, as the Select dialog and the service leave it.
wine_reg add "$SERVICE_KEY" /v Port /t REG_SZ /d COM300 /f >/dev/null
wine_reg add "$SERVICE_KEY\\Status" /f >/dev/null
"$WINE" "$package/ups_host.exe" --dll 'C:\windows\system32\KorvoUPS.dll' --for 0.5 >"$work/host.out" 2>&1 || true
sed 's/^/  host: /' "$work/host.out"
check "ups_host binds all six exports of the installed DLL" "$(grep -c ' loaded dll=C:' "$work/host.out" || true)" 1
check "the installed DLL starts (no such port: code 5)" "$(grep -o ' init result=[A-Z_]*' "$work/host.out" || true)" " init result=UPS_INIT_COMM_OPEN_ERROR"
check "ups_host exit code" "$(tail -n 1 "$work/host.out" | grep -o 'code=[0-9]*' || true)" "code=0"

echo "packaging ($arch): installing again and uninstalling leave the service's settings alone"
wine_reg add "$SERVICE_KEY" /v Port /t REG_SZ /d COM5 /f >/dev/null
wine_reg add "$SERVICE_KEY" /v Options /t REG_DWORD /d 7 /f >/dev/null
wine_reg add "$SERVICE_KEY\\Config" /v ServiceProviderDLL /t REG_EXPAND_SZ /d 'C:\windows\system32\KorvoUPS.dll' /f >/dev/null
wine_reg add "$SERVICE_KEY\\Config" /v Vendor /t REG_SZ /d KorvoUPS /f >/dev/null
wine_reg add "$SERVICE_KEY\\Status" /v CommStatus /t REG_DWORD /d 1 /f >/dev/null
settings="$(service_settings)"
inf_section DefaultInstall
check "reinstalled: the service's settings" "$(service_settings)" "$settings"
check "reinstalled: the models" "$(reg_tree "$PROVIDERS_KEY" | paste -sd' ')" "$MODELS"
wine_reg add "$SETTINGS_KEY" /v TurnOff /t REG_DWORD /d 1 /f >/dev/null
inf_section Uninstall
check "uninstalled: the service's settings" "$(service_settings)" "$settings"
check "uninstalled: the model's list" "$(reg_tree "$PROVIDERS_KEY")" absent
check "uninstalled: the driver's own settings" "$(reg_tree "$SETTINGS_KEY")" absent
check "uninstalled: system32\\KorvoUPS.dll" "$(present "$system32/KorvoUPS.dll")" absent


echo "packaging ($arch): install.cmd /turnoff COM2, no UPS service of Windows' own, no UPS on COM2"
wine_reg delete "$SERVICE_KEY" /f >/dev/null 2>&1 || true
# The UPS on COM1, nothing behind COM2; Wine lists them as the machine's
# ports (what detect reads) in a session started after they were mapped.
start_simulator "$simulator" "$work/ups-line" online:inf "$work"
pair_pid="$(wine_pty_pair "$work/com2" "$work/com2-far")"
wine_map_port COM1 "$work/ups-line"
wine_map_port COM2 "$work/com2"
wine_session_restart "$work"
# RunOnEvent's commands hold the installed DLL, as a program run from the
# service's folder holds its file, until the service's stop ends them.
printf '@"%s" "C:\\Program Files\\KorvoUPS\\KorvoUPS.dll" 600 readers\r\n' "$(winpath "$holder_exe")" \
    >"$WINEPREFIX/drive_c/hold.cmd"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n"RunOnEvent"="C:\\\\hold.cmd"\r\n"RunOnEventSeconds"=dword:00000258\r\n"NotifyUsers"=dword:00000000\r\n' \
    "${SETTINGS_KEY/HKLM/HKEY_LOCAL_MACHINE}" >"$WINEPREFIX/drive_c/settings.reg"
wine_reg import 'C:\settings.reg' >/dev/null
run_script install-service.out install.cmd /turnoff COM2
check "install.cmd exit code (installed and running, no UPS answers)" "$rc" 3
check "install.cmd: says that no UPS answered" \
    "$(said install-service.out 'No UPS answered on COM2 yet: the service keeps trying; `korvoups-service status` shows when it does.')" 1
check "install.cmd: the service and the driver in Program Files" \
    "$(cmp -s "$dll" "$program_files/KorvoUPS.dll" && cmp -s "$package/korvoups-service.exe" "$program_files/korvoups-service.exe" && echo yes)" yes
check "install.cmd: the UPS service runs it" "$(service_image)" '"C:\Program Files\KorvoUPS\korvoups-service.exe"'
check "install.cmd: Port" "$(reg_tree "$SERVICE_KEY" | grep '^|Port|' || true)" "|Port|REG_SZ|COM2"
check "install.cmd /turnoff: TurnOff" "$(reg_tree "$SETTINGS_KEY" | grep '^|TurnOff|' || true)" "|TurnOff|REG_DWORD|0x1"
check "install.cmd: nothing in System32" "$(present "$system32/KorvoUPS.dll")" absent
check "install.cmd: the service is running" "$(service_state)" RUNNING

echo "packaging ($arch): detect and probe, the UPS on COM1, the service on COM2"
run_script detect.out korvoups-service.exe detect
check "detect exit code (a UPS answered)" "$rc" 0
check "detect: says first what it writes" "$(grep -c '^Writes one status query ("Q1" and a carriage return) to each COM port' "$work/detect.out")" 1
check "detect: the system's ports" "$(said detect.out 'COM ports the system lists: COM1, COM2')" 1
check "detect: the UPS on COM1" "$(grep -c '^COM1: a UPS answers: on mains; input 230.0 V' "$work/detect.out")" 1
check "detect: the service's COM2 skipped" "$(grep -c '^COM2: not probed: the port of the UPS service' "$work/detect.out")" 1
check "detect: names COM1" "$(said detect.out 'A UPS answers on COM1: `install.cmd COM1` installs the service for it.')" 1
check "the UPS received one status query, and nothing else" \
    "$(awk '$2 == "received" { print $3 }' "$work/simulator.out" | paste -sd' ')" '"Q1"'
run_script probe-held.out korvoups-service.exe probe COM2
check "probe of the service's port: exit code" "$rc" 1
check "probe of the service's port: not probed" "$(grep -c '^COM2: not probed: the port of the UPS service' "$work/probe-held.out")" 1

echo "packaging ($arch): install.cmd COM1 of version $next over it, while RunOnEvent's commands hold the DLL"
next_package="$work/next-package"
cp -r "$package" "$next_package"
next_version_program "$package/korvoups-service.exe" "$version" "$next" "$next_package/korvoups-service.exe"
rc=0
"$WINE" cmd /c copy /y "$(winpath "$dll")" 'C:\Program Files\KorvoUPS\KorvoUPS.dll' >/dev/null 2>&1 || rc=$?
check "a command of RunOnEvent holds the installed DLL" "$rc" 1
run_in "$next_package" install-next.out install.cmd COM1
check "install.cmd exit code (the UPS answers)" "$rc" 0
check "install.cmd: says what the UPS answers" "$(said install-next.out 'The UPS answers on COM1: on mains, charge 100 %')" 1
check "install.cmd: the service's stop ended RunOnEvent's commands" \
    "$(log_events | grep ' STOP ' | tail -n 1 | grep -c 'still running ended$')" 1
check "install.cmd: the running service is the next version" \
    "$(log_events | grep -o 'START KorvoUPS service [0-9.]*' | tail -n 1)" "START KorvoUPS service $next"
check "install.cmd: the installed program is the next version" "$(installed_version)" "korvoups-service $next ($folder)"
check "install.cmd: Port" "$(reg_tree "$SERVICE_KEY" | grep '^|Port|' || true)" "|Port|REG_SZ|COM1"
check "install.cmd: TurnOff kept" "$(reg_tree "$SETTINGS_KEY" | grep '^|TurnOff|' || true)" "|TurnOff|REG_DWORD|0x1"
check "install.cmd: no previous files kept" \
    "$(present "$program_files/korvoups-service.exe.previous")$(present "$program_files/KorvoUPS.dll.previous")" absentabsent
run_script probe-free.out korvoups-service.exe probe COM2
check "probe of a port with nothing behind it: exit code" "$rc" 1
check "probe of a port with nothing behind it: says so" \
    "$(said probe-free.out 'COM2: nothing came back within 2000 ms: no UPS answered')" 1

echo "packaging ($arch): install.cmd COM1 of version $version while another program holds the installed DLL"
hold_installed_dll 120 held.out
run_script install-held.out install.cmd COM1
check "install.cmd exit code (not installed)" "$rc" 1
check "install.cmd: names the file and the copy's own words" \
    "$(grep -A1 -xF 'KorvoUPS.dll could not be copied to C:\Program Files\KorvoUPS, tried 10 times a second apart:' "$work/install-held.out" | paste -sd'|')" \
    'KorvoUPS.dll could not be copied to C:\Program Files\KorvoUPS, tried 10 times a second apart:|Sharing violation.'
check "install.cmd: blames no administrator prompt" "$(grep -c administrator "$work/install-held.out" || true)" 0
check "install.cmd: says what runs" \
    "$(said install-held.out "KorvoUPS $version was not installed: the UPS service runs what ran before.")" 1
check "install.cmd: the service is running" "$(service_state)" RUNNING
check "install.cmd: the installed files are the previous ones" \
    "$(cmp -s "$next_package/korvoups-service.exe" "$program_files/korvoups-service.exe" && cmp -s "$dll" "$program_files/KorvoUPS.dll" && echo yes)" yes
check "install.cmd: the running service is the previous one" \
    "$(log_events | grep -o 'START KorvoUPS service [0-9.]*' | tail -n 1)" "START KorvoUPS service $next"
check "install.cmd: no previous files left" \
    "$(present "$program_files/korvoups-service.exe.previous")$(present "$program_files/KorvoUPS.dll.previous")" absentabsent
kill "$held_pid" 2>/dev/null || true
wait "$held_pid" 2>/dev/null || true
held_pid=""

run_script uninstall-service.out uninstall.cmd
check "uninstall.cmd exit code" "$rc" 0
check "uninstall.cmd: the service's key" "$(reg_tree "$SERVICE_KEY")" absent
check "uninstall.cmd: the settings" "$(reg_tree "$SETTINGS_KEY")" absent
check "uninstall.cmd: the files" "$(present "$program_files/korvoups-service.exe")$(present "$program_files/KorvoUPS.dll")" absentabsent

echo "packaging ($arch): install.cmd COM3 /turnoff and uninstall.cmd beside Windows' own UPS service"
# As on Windows 2000, XP and Server 2003: a UPS service that is not KorvoUPS.
"$WINE" sc create UPS binpath= 'C:\windows\system32\ups.exe' >/dev/null
rc=0
"$WINE" "$package/korvoups-service.exe" install COM3 >"$work/refused.out" 2>&1 || rc=$?
check "korvoups-service install refuses beside Windows' own UPS service" "$rc" 3
check "... and changes nothing" "$(service_image)" 'C:\windows\system32\ups.exe'
# Wine's UPS service cannot start: install.cmd says so with exit code 2.
run_script install-inf.out install.cmd /turnoff COM3
check "install.cmd exit code (installed, the UPS service does not start)" "$rc" 2
check "install.cmd: the models" "$(reg_tree "$PROVIDERS_KEY" | paste -sd' ')" "$MODELS"
check "install.cmd: Port" "$(reg_tree "$SERVICE_KEY" | grep '^|Port|' || true)" "|Port|REG_SZ|COM3"
check "install.cmd /turnoff: TurnOff" "$(reg_tree "$SETTINGS_KEY")" "|TurnOff|REG_DWORD|0x1"
check "install.cmd: system32\\KorvoUPS.dll" "$(present "$system32/KorvoUPS.dll")" present
check "install.cmd: tells how to finish in Power Options" \
    "$(grep -c 'model: Q1 serial UPS (turns off after shutdown), port' "$work/install-inf.out" || true)" 1
run_script uninstall-inf.out uninstall.cmd
check "uninstall.cmd exit code" "$rc" 0
check "uninstall.cmd: the model's list" "$(reg_tree "$PROVIDERS_KEY")" absent
check "uninstall.cmd: the driver's own settings" "$(reg_tree "$SETTINGS_KEY")" absent
check "uninstall.cmd: Port stays (the service's own)" "$(reg_tree "$SERVICE_KEY" | grep '^|Port|' || true)" "|Port|REG_SZ|COM3"
check "uninstall.cmd: Windows' own UPS service stays" "$(service_image)" 'C:\windows\system32\ups.exe'
check "uninstall.cmd: system32\\KorvoUPS.dll" "$(present "$system32/KorvoUPS.dll")" absent

echo "packaging ($arch): $passed passed, $failed failed"
((failed == 0))
