#!/usr/bin/env bash
# Makes the release archives for Windows administrators from the build trees:
#   packaging/make-package.sh OUT_DIR [X86_BUILD_DIR] [AMD64_BUILD_DIR]
# (default build/i686 and build/x86_64; '' leaves an architecture out):
#   OUT_DIR/KorvoUPS-VERSION.zip          x86\ and amd64\, each with korvoups.inf,
#       install.cmd, uninstall.cmd (Windows line ends), KorvoUPS.dll,
#       korvoups-service.exe and ups_host.exe; README.md; SHA256SUMS of every file
#   OUT_DIR/KorvoUPS-VERSION-symbols.zip  x86\ and amd64\ KorvoUPS.dll.debug,
#       the symbols of the stripped DLLs; SHA256SUMS
#   OUT_DIR/KorvoUPS-VERSION-x86.msi, OUT_DIR/KorvoUPS-VERSION-x64.msi
#       the Windows Installer packages, from korvoups.wxs (wixl, msitools)
#   OUT_DIR/SHA256SUMS                    of the archives and the packages
# Each archive's folder stays beside it. VERSION is the trees' project
# version; the INF's DriverVer date is today's (UTC), or SOURCE_DATE_EPOCH's.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="${1:?usage: $0 OUT_DIR [X86_BUILD_DIR] [AMD64_BUILD_DIR]}"
x86_build="${2-$here/../build/i686}"
amd64_build="${3-$here/../build/x86_64}"
# ARCH:OTHER_ARCH:BUILD_DIR for each architecture given.
trees=()
[[ -z "$x86_build" ]] || trees+=("x86:amd64:$x86_build")
[[ -z "$amd64_build" ]] || trees+=("amd64:x86:$amd64_build")

version=""
for tree in "${trees[@]}"; do
    IFS=: read -r arch _ build <<<"$tree"
    for file in KorvoUPS.dll KorvoUPS.dll.debug korvoups-service.exe ups_host.exe korvoups-version.txt; do
        if [[ ! -f "$build/$file" ]]; then
            echo "make-package: no $arch $file in $build: build the tree first" >&2
            exit 1
        fi
    done
    tree_version="$(cat "$build/korvoups-version.txt")"
    if [[ -n "$version" && "$tree_version" != "$version" ]]; then
        echo "make-package: the build trees differ in version ($version, $tree_version)" >&2
        exit 1
    fi
    version="$tree_version"
done
if [[ -z "$version" ]]; then
    echo "make-package: no build tree given" >&2
    exit 2
fi
for tool in wixl msibuild; do
    if ! command -v "$tool" >/dev/null; then
        echo "make-package: no $tool: install wixl and msitools (scripts/install-deps.sh)" >&2
        exit 1
    fi
done
driver_date="$(date -u ${SOURCE_DATE_EPOCH:+-d "@$SOURCE_DATE_EPOCH"} +%m/%d/%Y)"
name="KorvoUPS-$version"
package="$out/$name"
symbols="$out/$name-symbols"

# cmd.exe misreads labels in files with bare LF line ends.
crlf() { sed 's/\r$//; s/$/\r/'; }
# SHA256SUMS of every other file of the folder, in the form `sha256sum -c` reads.
checksums() { (cd "$1" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS); }

mkdir -p "$out"
rm -rf "$package" "$symbols" "$package.zip" "$symbols.zip" "$package"-x86.msi "$package"-x64.msi "$out/SHA256SUMS"
mkdir -p "$package" "$symbols"
crlf <"$here/README.md" >"$package/README.md"
for tree in "${trees[@]}"; do
    IFS=: read -r arch other build <<<"$tree"
    mkdir -p "$package/$arch" "$symbols/$arch"
    # Only this architecture's install lines: the other one installs nothing.
    grep -v "; $other\$" "$here/korvoups.inf" |
        sed "s|@KORVO_VERSION@|$version|; s|@KORVO_DRIVER_DATE@|$driver_date|" | crlf >"$package/$arch/korvoups.inf"
    crlf <"$here/install.cmd" >"$package/$arch/install.cmd"
    crlf <"$here/uninstall.cmd" >"$package/$arch/uninstall.cmd"
    cp "$build/KorvoUPS.dll" "$build/korvoups-service.exe" "$build/ups_host.exe" "$package/$arch/"
    cp "$build/KorvoUPS.dll.debug" "$symbols/$arch/"
    echo "make-package: $arch from $build"
done
checksums "$package"
checksums "$symbols"
(cd "$package" && zip -q -X -r "../$name.zip" .)
(cd "$symbols" && zip -q -X -r "../$name-symbols.zip" .)
echo "make-package: $out/$name.zip and $out/$name-symbols.zip"

# The ProductCode of a version and architecture: the same every time, so
# that one version is one product (a GUID made of a hash of the two).
product_code() {  # VERSION MSI_ARCH
    local hash
    hash="$(printf 'KorvoUPS %s %s' "$1" "$2" | sha256sum)"
    echo "${hash:0:8}-${hash:8:4}-5${hash:13:3}-a${hash:17:3}-${hash:20:12}" | tr a-f A-F
}
release=("$name.zip" "$name-symbols.zip")
for tree in "${trees[@]}"; do
    IFS=: read -r arch _ _ <<<"$tree"
    msi_arch=x86
    [[ "$arch" == amd64 ]] && msi_arch=x64
    msi="$package-$msi_arch.msi"
    # wixl takes sources relative to where it runs, and says only in warnings
    # what it does not know (an attribute it ignores): those fail too.
    if ! errors="$(cd "$package" && wixl -a "$msi_arch" -D "Version=$version" \
        -D "ProductCode=$(product_code "$version" "$msi_arch")" -D "Arch=$msi_arch" -D "Files=$arch" \
        -D "Readme=README.md" -o "../$(basename "$msi")" "$here/korvoups.wxs" 2>&1)" || [[ -n "$errors" ]]; then
        echo "$errors" >&2
        echo "make-package: wixl failed on korvoups.wxs" >&2
        exit 1
    fi
    # What wixl cannot write (see korvoups.wxs): an older version's removal
    # names the feature rather than ALL; the Port component's condition; the
    # rollback actions (Undo...), which it writes as immediate ones, made
    # rollback ones (in the script, 0x400, for rollback only, 0x100); and
    # the action that is given the password, its command line kept out of
    # the log (HideTarget, 0x2000, which it drops).
    msibuild "$msi" -q "UPDATE \`Upgrade\` SET \`Remove\` = 'KorvoUPS' WHERE \`ActionProperty\` = 'OLDERFOUND'"
    msibuild "$msi" -q "UPDATE \`Component\` SET \`Condition\` = 'PORT' WHERE \`Component\` = 'Port'"
    msiinfo export "$msi" CustomAction | awk -F'\t' 'NR > 3 && $1 ~ /^Undo/ { print $1, $2, "0x500" }
        NR > 3 && $1 == "SetSecondary" { print $1, $2, "0x2000" }' |
        while read -r action type flags; do
            msibuild "$msi" -q "UPDATE \`CustomAction\` SET \`Type\` = $((type | flags)) WHERE \`Action\` = '$action'"
        done
    release+=("$(basename "$msi")")
    echo "make-package: $msi"
done
(cd "$out" && sha256sum "${release[@]}" >SHA256SUMS)
