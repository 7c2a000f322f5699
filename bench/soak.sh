#!/usr/bin/env bash
# A long run of the host against the simulator, the state flipping every few
# seconds: prints what the host process holds (handles, memory) at the start
# and at the end. Figures only; not part of the tests.
#   bench/soak.sh [x86_64|i686] [MINUTES]   (default: x86_64, 10)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
arch="${1:-x86_64}" minutes="${2:-10}"
out="build/bench/soak-$arch"
mkdir -p "$out"

scripts/install-deps.sh >/dev/null
echo "== building the simulator and the $arch DLL and host"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/native --target ups-simulator >/dev/null
cmake -S . -B "build/$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" >/dev/null
cmake --build "build/$arch" --target KorvoUPS ups_host >/dev/null
dir="$(realpath "build/$arch")"

source scripts/wine-env.sh
wine_can_run "$arch" || { echo "SKIPPED: this machine cannot run $arch Windows programs"; exit 0; }
wine_session "$arch" "build/$arch" "$out/wine"
line="$(realpath "$out")/com1"
wine_map_port COM1 "$line"
wine_reg add 'HKLM\SYSTEM\CurrentControlSet\Services\UPS' /v Port /t REG_SZ /d COM1 /f >/dev/null
wine_reg add 'HKLM\SYSTEM\CurrentControlSet\Services\UPS\Status' /f >/dev/null

scenario="online:3"
for _ in $(seq $((minutes * 6))); do scenario+=",battery:3.3,low:3.1,online:3.6"; done
build/native/tools/ups-simulator/ups-simulator --scenario "$scenario,online:inf" --link "$line" >"$out/simulator.out" &
simulator_pid=$!
trap 'wine_session_end; kill "$simulator_pid" 2>/dev/null || true' EXIT
until [[ -L "$line" ]]; do sleep 0.05; done

echo "== $minutes minutes of the host against a UPS that changes state every ~3 s"
"$WINE" "$dir/ups_host.exe" --dll "Z:${dir//\//\\}\\KorvoUPS.dll" --for $((minutes * 60)) --readers 2 >"$out/host.out"
grep -E ' resources | summary ' "$out/host.out" | tr -d '\r'
echo "(full log: $out/host.out)"
