#!/usr/bin/env bash
# Lays out the installation folder for Windows administrators:
#   packaging/make-package.sh OUT_DIR [X86_BUILD_DIR] [AMD64_BUILD_DIR]
# OUT_DIR gets README.md, and x86\ and amd64\ each with korvoups.inf,
# install.cmd, uninstall.cmd (Windows line ends), KorvoUPS.dll and
# ups_host.exe from the build trees (default build/i686 and build/x86_64;
# '' for none).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="${1:?usage: $0 OUT_DIR [X86_BUILD_DIR] [AMD64_BUILD_DIR]}"
x86_build="${2-$here/../build/i686}"
amd64_build="${3-$here/../build/x86_64}"

# cmd.exe misreads labels in files with bare LF line ends.
crlf() { sed 's/\r$//; s/$/\r/'; }

mkdir -p "$out"
crlf <"$here/README.md" >"$out/README.md"
for pair in "x86:amd64:$x86_build" "amd64:x86:$amd64_build"; do
    IFS=: read -r arch other build <<<"$pair"
    if [[ -z "$build" || ! -f "$build/KorvoUPS.dll" ]]; then
        echo "make-package: no $arch driver (${build:-no build tree given}/KorvoUPS.dll), no $arch folder"
        continue
    fi
    mkdir -p "$out/$arch"
    # Only this architecture's install lines: the other one installs nothing.
    grep -v "; $other\$" "$here/korvoups.inf" | crlf >"$out/$arch/korvoups.inf"
    crlf <"$here/install.cmd" >"$out/$arch/install.cmd"
    crlf <"$here/uninstall.cmd" >"$out/$arch/uninstall.cmd"
    cp "$build/KorvoUPS.dll" "$out/$arch/"
    if [[ -f "$build/ups_host.exe" ]]; then cp "$build/ups_host.exe" "$out/$arch/"; fi
    echo "make-package: $out/$arch: $(cd "$out/$arch" && echo *) (driver from $build)"
done
