#!/usr/bin/env bash
# The installation package under Wine: korvoups.inf (through rundll32, as
# right-click > Install runs it), install.cmd and uninstall.cmd, checked by
# querying the registry back and loading the installed DLL.
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
PROVIDERS_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\UPS\ServiceProviders\KorvoUPS'

source "$here/lib.sh"
# "TYPE DATA" of one value, or "absent".
reg_value() {
    local out rc=0
    out="$(reg_query "$1" /v "$2")" || rc=$?
    case "$rc" in 1) echo absent; return ;; 2) echo reg_query_failed; return ;; esac
    awk -v n="$2" 'index($0, "    " n "    ") == 1 { sub("^    " n "    ", ""); sub("    ", " "); print; exit }' <<<"$out"
}
# check_values WHEN "KEY|NAME|WANT"...: each value as reg_value reads it.
check_values() {
    local when="$1" row key name want
    shift
    for row in "$@"; do
        IFS='|' read -r key name want <<<"$row"
        check "$when: $key /v $name" "$(reg_value "$key" "$name")" "$want"
    done
}
reg_key() {
    local rc=0
    reg_query "$1" >/dev/null || rc=$?
    case "$rc" in 0) echo present ;; 1) echo absent ;; *) echo reg_query_failed ;; esac
}

work="$build_dir/e2e/packaging"
trap wine_session_end EXIT
wine_session "$arch" "$build_dir" "$work"
mkdir -p "$work/stage"

cp "$dll" "$host" "$work/stage/"
if [[ "$folder" == amd64 ]]; then
    bash "$here/../../packaging/make-package.sh" "$work/package" "" "$work/stage"
else
    bash "$here/../../packaging/make-package.sh" "$work/package" "$work/stage" ""
fi
package="$work/package/$folder"
system32="$WINEPREFIX/drive_c/windows/system32"

# Installs count only by what they leave behind; a hung dialog ends by time-out.
inf_section() { (cd "$package" && timeout 120 "$WINE" rundll32 setupapi.dll,InstallHinfSection "$1" 128 '.\korvoups.inf'); }

echo "packaging ($arch): the INF on a machine without a UPS configured"
wine_reg delete "$SERVICE_KEY" /v Port /f >/dev/null 2>&1 || true
wine_reg delete "$SERVICE_KEY\\Status" /f >/dev/null 2>&1 || true
rm -f "$system32/KorvoUPS.dll"
inf_section DefaultInstall
installed=(
    "$SERVICE_KEY|Port|REG_SZ COM1"
    "$SERVICE_KEY|Options|REG_DWORD 0x7"
    "$SERVICE_KEY\\Config|ServiceProviderDLL|REG_EXPAND_SZ %SystemRoot%\\System32\\KorvoUPS.dll"
    "$SERVICE_KEY\\Config|Vendor|REG_SZ KorvoUPS"
    "$SERVICE_KEY\\Config|Model|REG_SZ Q1 serial UPS"
    "$PROVIDERS_KEY|Q1 serial UPS|REG_SZ 0x00000007,KorvoUPS.dll"
)
check_values installed "${installed[@]}"
check "installed: the Status key" "$(reg_key "$SERVICE_KEY\\Status")" present
check "installed: the Status key is empty" "$(reg_query "$SERVICE_KEY\\Status" | grep -c REG_ || true)" 0
if cmp -s "$dll" "$system32/KorvoUPS.dll"; then copied=yes; else copied=no; fi
check "installed: system32\\KorvoUPS.dll is this build's DLL" "$copied" yes

echo "packaging ($arch): the installed DLL loads as the UPS service loads it"
wine_reg add "$SERVICE_KEY" /v Port /t REG_SZ /d COM300 /f >/dev/null
"$WINE" "$package/ups_host.exe" --dll 'C:\windows\system32\KorvoUPS.dll' --for 0.5 >"$work/host.out" 2>&1 || true
sed 's/^/  host: /' "$work/host.out"
check "ups_host binds all six exports of the installed DLL" "$(grep -c ' loaded dll=C:' "$work/host.out" || true)" 1
check "the installed DLL starts (no such port: code 5)" "$(grep -o ' init result=[A-Z_]*' "$work/host.out" || true)" " init result=UPS_INIT_COMM_OPEN_ERROR"
check "ups_host exit code" "$(tail -n 1 "$work/host.out" | grep -o 'code=[0-9]*' || true)" "code=0"

echo "packaging ($arch): installing again keeps the administrator's port"
wine_reg add "$SERVICE_KEY" /v Port /t REG_SZ /d COM5 /f >/dev/null
inf_section DefaultInstall
check "reinstalled: Port kept" "$(reg_value "$SERVICE_KEY" Port)" "REG_SZ COM5"

echo "packaging ($arch): uninstall"
inf_section Uninstall
removed=(
    "$SERVICE_KEY|Port|absent"
    "$SERVICE_KEY|Options|REG_DWORD 0x0"
    "$SERVICE_KEY\\Config|ServiceProviderDLL|absent"
    "$SERVICE_KEY\\Config|Vendor|absent"
    "$SERVICE_KEY\\Config|Model|absent"
)
check_values uninstalled "${removed[@]}"
check "uninstalled: the model's ServiceProviders key" "$(reg_key "$PROVIDERS_KEY")" absent
check "uninstalled: the Status key stays (the service's own)" "$(reg_key "$SERVICE_KEY\\Status")" present
check "uninstalled: system32\\KorvoUPS.dll" "$([[ -e "$system32/KorvoUPS.dll" ]] && echo present || echo absent)" absent

echo "packaging ($arch): install.cmd COM3 and uninstall.cmd"
# Wine has no UPS service to start: install.cmd says so with exit code 2.
rc=0
(cd "$package" && timeout 120 "$WINE" cmd /c install.cmd COM3) || rc=$?
check "install.cmd exit code (installed, no UPS service to start)" "$rc" 2
check "install.cmd: Port" "$(reg_value "$SERVICE_KEY" Port)" "REG_SZ COM3"
check "install.cmd: ServiceProviderDLL" "$(reg_value "$SERVICE_KEY\\Config" ServiceProviderDLL)" "REG_EXPAND_SZ %SystemRoot%\\System32\\KorvoUPS.dll"
check "install.cmd: system32\\KorvoUPS.dll" "$([[ -e "$system32/KorvoUPS.dll" ]] && echo present || echo absent)" present
rc=0
(cd "$package" && timeout 120 "$WINE" cmd /c uninstall.cmd) || rc=$?
check "uninstall.cmd exit code" "$rc" 0
check "uninstall.cmd: ServiceProviderDLL" "$(reg_value "$SERVICE_KEY\\Config" ServiceProviderDLL)" absent
check "uninstall.cmd: system32\\KorvoUPS.dll" "$([[ -e "$system32/KorvoUPS.dll" ]] && echo present || echo absent)" absent

echo "packaging ($arch): $passed passed, $failed failed"
((failed == 0))
