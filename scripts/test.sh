#!/usr/bin/env bash
# The test command: installs what is missing, builds every tree into
# build/NAME, runs the cross trees' tests (Windows, under Wine), then the
# native ones. Exits non-zero if anything fails.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# One line per tree: NAME then its CMake arguments. The cross trees' tests run
# one at a time: their Wine tests share the prefix's COM ports.
# The cross trees' end-to-end tests run the native tree's UPS simulator, so
# the native trees are built first.
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

scripts/install-deps.sh

build() {  # NAME CMAKE_ARGS...
    local name="$1"
    shift
    echo "== build/$name: configure and build"
    cmake -S . -B "build/$name" -G Ninja -DBUILD_TESTING=ON "$@" >"build/$name.configure.log" 2>&1 ||
        { cat "build/$name.configure.log"; return 1; }
    cmake --build "build/$name"
}

mkdir -p build
for tree in "${native_trees[@]}" "${cross_trees[@]}"; do
    # shellcheck disable=SC2086 # the line's words are the arguments
    build $tree
done

failed=()
run_tests() {  # NAME CTEST_ARGS...
    local name="$1"
    shift
    echo "== build/$name: ctest"
    ctest --test-dir "build/$name" --output-on-failure "$@" || failed+=("$name")
}
for tree in "${cross_trees[@]}"; do
    run_tests "${tree%% *}"
done
for tree in "${native_trees[@]}"; do
    run_tests "${tree%% *}" -j "$(nproc)"
done

if ((${#failed[@]} > 0)); then
    echo "test.sh: tests failed in: ${failed[*]}" >&2
    exit 1
fi
