#!/usr/bin/env bash
# A host-less smoke run until the UPS simulator lands: builds the 64-bit DLL
# and runs dll_test under Wine, where a thread plays the UPS on COM2 and the
# driver, loaded like the UPS service loads it, talks to it on COM1.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/install-deps.sh
echo "== build/x86_64: configure and build"
cmake -S . -B build/x86_64 -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null
cmake --build build/x86_64 --target KorvoUPS dll_test
echo "== KorvoUPS.dll under Wine, against a UPS played on COM2"
status=0
KORVO_WINE_DLL_DIR="$PWD/build/x86_64" scripts/wine-run.sh x86_64 build/x86_64/tests/win32/dll_test.exe || status=$?
if ((status == 0)); then echo "demo: the driver started, read each UPS state and stopped: OK"; else echo "demo: FAILED ($status)"; fi
exit "$status"
