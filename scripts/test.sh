#!/usr/bin/env bash
# The test command: installs what is missing, builds every tree into
# build/NAME and runs every tree's tests, the trees side by side: first the
# cross trees' (Windows, under Wine), then the native ones. Exits non-zero if
# anything fails.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# One line per tree: NAME then its CMake arguments.
# The cross trees' end-to-end tests run the native tree's UPS simulator, so
# the native tree is built first.
simulator="$PWD/build/native/tools/ups-simulator/ups-simulator"
cross_trees=(
    "x86_64 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DKORVO_SIMULATOR=$simulator"
    "i686 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DKORVO_SIMULATOR=$simulator"
)
native_trees=(
    "native -DCMAKE_BUILD_TYPE=Debug"
    "tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKORVO_SANITIZE=thread"
    "asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKORVO_SANITIZE=address,undefined -DKORVO_FUZZ=ON"
)
# Every Wine test has a prefix and COM ports of its own and mostly sleeps on
# the line's pace: many run at once on few cores.
wine_jobs="${KORVO_WINE_JOBS:-12}"

scripts/install-deps.sh

build() {  # NAME CMAKE_ARGS...
    local name="$1"
    shift
    echo "== build/$name: configure and build"
    cmake -S . -B "build/$name" -G Ninja -DBUILD_TESTING=ON "$@" >"build/$name.configure.log" 2>&1 ||
        { cat "build/$name.configure.log"; return 1; }
    cmake --build "build/$name"
}

# Each tree's ctest runs in the background into build/NAME.ctest.log, which
# is shown once that tree is done.
declare -A test_pids=()
start_tests() {  # NAME CTEST_ARGS...
    local name="$1"
    shift
    echo "== build/$name: ctest started (build/$name.ctest.log)"
    ctest --test-dir "build/$name" --output-on-failure "$@" >"build/$name.ctest.log" 2>&1 &
    test_pids[$name]=$!
}
failed=()
finish_tests() {  # NAME
    local status=0
    wait "${test_pids[$1]}" || status=$?
    echo "== build/$1: ctest"
    cat "build/$1.ctest.log"
    if ((status != 0)); then failed+=("$1"); fi
}
# An interrupted run leaves no test running behind.
trap 'for pid in "${test_pids[@]}"; do kill "$pid" 2>/dev/null || true; done' EXIT

mkdir -p build
# Each cross tree's template Wine prefix is made while the trees build.
(
    source scripts/wine-env.sh
    for tree in "${cross_trees[@]}"; do
        arch="${tree%% *}"
        if wine_can_run "$arch"; then (wine_use "$arch" "build/$arch" && wine_prefix_init) & fi
    done
    wait
) >build/wine-prefixes.log 2>&1 &
test_pids[wine-prefixes]=$!
for tree in "${native_trees[@]}" "${cross_trees[@]}"; do
    # shellcheck disable=SC2086 # the line's words are the arguments
    build $tree
done
# The Wine tests keep to the line's pace and are waited out first, the native
# ones (the fuzzers above all) keep the CPU busy and come after them: each
# group runs without the other's load.
wait "${test_pids[wine-prefixes]}" || { cat build/wine-prefixes.log; exit 1; }
for tree in "${cross_trees[@]}"; do
    start_tests "${tree%% *}" -j "$wine_jobs"
done
for tree in "${cross_trees[@]}"; do
    finish_tests "${tree%% *}"
done
for tree in "${native_trees[@]}"; do
    start_tests "${tree%% *}" -j "$(nproc)"
done
for tree in "${native_trees[@]}"; do
    finish_tests "${tree%% *}"
done
trap - EXIT

if ((${#failed[@]} > 0)); then
    echo "test.sh: tests failed in: ${failed[*]}" >&2
    exit 1
fi
echo "test.sh: all tests passed"
