#!/usr/bin/env bash
# The test command: installs what is missing, builds every tree into
# build/NAME and runs every tree's tests. The Wine tests mostly wait on the
# line's pace: they start as soon as their tree is built, and the remaining
# trees build and test beside them, at a lower priority, so that the Wine
# tests' timing keeps its margins. Exits non-zero if anything fails.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# One line per tree: NAME then its CMake arguments.
# The cross trees' end-to-end tests run the UPS simulator of build/native (a
# plain Debug build of it alone), so it is built first. The unit tests run in
# the two sanitizer trees, which build everything else native.
simulator="$PWD/build/native/tools/ups-simulator/ups-simulator"
cross_trees=(
    "x86_64 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DKORVO_SIMULATOR=$simulator"
    "i686 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DKORVO_SIMULATOR=$simulator"
)
native_trees=(
    "tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKORVO_SANITIZE=thread"
    "asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKORVO_SANITIZE=address,undefined -DKORVO_FUZZ=ON"
)
# Every Wine test has a prefix and COM ports of its own and mostly sleeps on
# the line's pace: many run at once on few cores.
wine_jobs="${KORVO_WINE_JOBS:-12}"

scripts/install-deps.sh
source scripts/wine-env.sh

configure() {  # NAME CMAKE_ARGS...
    local name="$1"
    shift
    cmake -S . -B "build/$name" -G Ninja -DBUILD_TESTING=ON "$@" >"build/$name.configure.log" 2>&1 ||
        { cat "build/$name.configure.log"; return 1; }
}
# Once the Wine tests run, every build and native test yields to them.
after_wine=0
build() {  # NAME [CMAKE_BUILD_ARGS...]
    echo "== build/$1: build ${*:2}"
    nice -n "$after_wine" cmake --build "build/$1" "${@:2}"
}

# Each tree's ctest runs in the background into build/NAME.ctest.log, which
# is shown once that tree is done.
declare -A test_pids=()
start_tests() {  # NICENESS NAME CTEST_ARGS...
    local niceness="$1" name="$2"
    shift 2
    echo "== build/$name: ctest started (build/$name.ctest.log)"
    nice -n "$niceness" ctest --test-dir "build/$name" --output-on-failure "$@" >"build/$name.ctest.log" 2>&1 &
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
# Each cross tree's template Wine prefix is made while the trees build. A
# tree whose Wine cannot run here (32-bit on some machines) gets the checks
# that need no Wine alone: its test programs would only be built.
declare -A prefix_pids=()
for tree in "${cross_trees[@]}"; do
    arch="${tree%% *}"
    if wine_can_run "$arch"; then
        (wine_use "$arch" "build/$arch" && wine_prefix_init) >"build/$arch.wine-prefix.log" 2>&1 &
        prefix_pids[$arch]=$!
    fi
done
configure native -DCMAKE_BUILD_TYPE=Debug
for tree in "${native_trees[@]}"; do
    # shellcheck disable=SC2086 # the line's words are the arguments
    configure $tree
done
for tree in "${cross_trees[@]}"; do
    arch="${tree%% *}"
    wine_tests=ON
    [[ -v "prefix_pids[$arch]" ]] || wine_tests=OFF
    # shellcheck disable=SC2086
    configure $tree -DKORVO_WINE_TESTS=$wine_tests
done
build native --target ups-simulator
# The Wine tests as soon as their tree is built; every build and test after
# them at a lower priority, beside them.
for tree in "${cross_trees[@]}"; do
    arch="${tree%% *}"
    build "$arch"
    if [[ -v "prefix_pids[$arch]" ]]; then
        wait "${prefix_pids[$arch]}" || { cat "build/$arch.wine-prefix.log"; exit 1; }
        start_tests 0 "$arch" -j "$wine_jobs"
        after_wine=15
    else
        start_tests "$after_wine" "$arch"
    fi
done
for tree in "${native_trees[@]}"; do
    build "${tree%% *}"
done
for tree in "${native_trees[@]}"; do
    start_tests "$after_wine" "${tree%% *}" -j "$(nproc)"
done
for tree in "${cross_trees[@]}" "${native_trees[@]}"; do
    finish_tests "${tree%% *}"
done
trap - EXIT

if ((${#failed[@]} > 0)); then
    echo "test.sh: tests failed in: ${failed[*]}" >&2
    exit 1
fi
echo "test.sh: all tests passed"
