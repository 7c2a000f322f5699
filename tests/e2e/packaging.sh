#!/usr/bin/env bash
# The release archive and its installation under Wine: make-package.sh for
# this tree's architecture, the archive's contents and checksums, then
# korvoups.inf (through rundll32, as right-click > Install runs it),
# install.cmd and uninstall.cmd from the unpacked archive, both ways: the
# KorvoUPS service (Wine has no UPS service, as Vista and later), and the
# INF beside a UPS service of Windows' own; checked by querying the
# registry back and loading the installed DLL.
#   tests/e2e/packaging.sh ARCH BUILD_DIR HOST_EXE DLL
# Exit 77 (skipped) where ARCH cannot run.
set -euo pipefail

if (($# != 4)); then
    echo "usage: $0 x86_64|i686 BUILD_DIR HOST_EXE DLL" >&2
    exit 2
fi
arch="$1" build_dir="$2" host="$3" dll="$4"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../../scripts/wine-env.sh"
if ! wine_can_run "$arch"; then
    echo "SKIPPED: this machine cannot run $arch Windows programs"
    exit 77
fi
case "$arch" in x86_64) folder=amd64 ;; i686) folder=x86 ;; *) echo "unknown arch $arch" >&2; exit 2 ;; esac

SERVICE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\UPS'
PROVIDERS_KEY="$SERVICE_KEY\\ServiceProviders\\KorvoUPS"
SETTINGS_KEY='HKLM\SOFTWARE\KorvoUPS'
# The models as the provider key holds them (reg_tree's form, relative to it).
MODELS="|Q1 serial UPS|REG_SZ|0x7;KorvoUPS.dll |Q1 serial UPS (turns off after shutdown)|REG_SZ|0xF;KorvoUPS.dll"

source "$here/lib.sh"
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
trap wine_session_end EXIT
wine_session "$arch" "$build_dir" "$work"
system32="$WINEPREFIX/drive_c/windows/system32"
version="$(cat "$build_dir/korvoups-version.txt")"

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

# Runs a script of the package, its output shown; the exit code in $rc.
run_script() {  # OUTPUT SCRIPT ARGS...
    local out="$1"
    shift
    rc=0
    (cd "$package" && timeout 120 "$WINE" cmd /c "$@") >"$work/$out" 2>&1 || rc=$?
    tr -d '\r' <"$work/$out" | sed "s/^/  $1: /"
}
program_files="$WINEPREFIX/drive_c/Program Files/KorvoUPS"
service_image() { reg_query "$SERVICE_KEY" /v ImagePath 2>/dev/null | awk '$1 == "ImagePath" { $1 = $2 = ""; print substr($0, 3) }' || true; }

echo "packaging ($arch): install.cmd COM3 /turnoff and uninstall.cmd, no UPS service of Windows' own"
wine_reg delete "$SERVICE_KEY" /f >/dev/null 2>&1 || true
# A service lives only while another program of the prefix runs.
"$WINE" cmd /c "ping -n 120 127.0.0.1 >nul" >/dev/null 2>&1 &
holder=$!
run_script install-service.out install.cmd /turnoff COM3
check "install.cmd exit code (installed and started)" "$rc" 0
check "install.cmd: the service and the driver in Program Files" \
    "$(cmp -s "$dll" "$program_files/KorvoUPS.dll" && cmp -s "$package/korvoups-service.exe" "$program_files/korvoups-service.exe" && echo yes)" yes
check "install.cmd: the UPS service runs it" "$(service_image)" '"C:\Program Files\KorvoUPS\korvoups-service.exe"'
check "install.cmd: Port" "$(reg_tree "$SERVICE_KEY" | grep '^|Port|' || true)" "|Port|REG_SZ|COM3"
check "install.cmd /turnoff: TurnOff" "$(reg_tree "$SETTINGS_KEY")" "|TurnOff|REG_DWORD|0x1"
check "install.cmd: nothing in System32" "$(present "$system32/KorvoUPS.dll")" absent
check "install.cmd: the service is running" "$("$WINE" sc query UPS | tr -d '\r' | awk '$1 == "STATE" { print $4 }')" RUNNING
run_script uninstall-service.out uninstall.cmd
check "uninstall.cmd exit code" "$rc" 0
check "uninstall.cmd: the service's key" "$(reg_tree "$SERVICE_KEY")" absent
check "uninstall.cmd: the settings" "$(reg_tree "$SETTINGS_KEY")" absent
check "uninstall.cmd: the files" "$(present "$program_files/korvoups-service.exe")$(present "$program_files/KorvoUPS.dll")" absentabsent
kill "$holder" 2>/dev/null || true

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
