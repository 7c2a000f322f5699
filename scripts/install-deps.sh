#!/usr/bin/env bash
# Installs the Debian packages that the builds and the tests need, when missing.
# Runs no apt-get at all when everything is there. The 32-bit Wine is best
# effort: without it the i686 Wine tests are reported as skipped.
set -euo pipefail

packages=(
    cmake ninja-build g++ googletest libgtest-dev
    clang libclang-rt-14-dev                     # sanitizers and libFuzzer
    g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64
    wine64 socat zip unzip
    strace                                      # the benchmark counts the port's opens
    nut-client                                  # upsc and upsmon: real clients of the network protocol
    wixl msitools                               # the Windows Installer packages
    python3                                     # the network tests' clients and scripted NAS
)

sudo=()
if ((EUID != 0)); then sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive

installed() {  # PACKAGE...: true when every one is installed
    local status package
    for package in "$@"; do
        status="$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" || return 1
        [[ "$status" == *" installed" ]] || return 1
    done
}

updated=0
apt_update() {
    if ((updated == 0)); then
        echo "install-deps: apt-get update"
        "${sudo[@]}" apt-get update -qq
        updated=1
    fi
}

missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
if ((${#missing[@]} > 0)); then
    apt_update
    echo "install-deps: installing ${missing[*]}"
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if ! installed wine32:i386; then
    echo "install-deps: installing wine32:i386 (for the i686 Wine tests)"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo[@]}" dpkg --add-architecture i386
        updated=0  # the new architecture's package lists
    fi
    if ! { apt_update && "${sudo[@]}" apt-get install -y -qq --no-install-recommends wine32:i386; }; then
        echo "install-deps: WARNING: wine32:i386 did not install; the i686 Wine tests will be skipped" >&2
    fi
fi
echo "install-deps: all packages present"
