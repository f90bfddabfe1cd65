#!/usr/bin/env bash
# How large a bundle each build extracts and installs under Wine
# (`make bench-large`):
#   bench/large-bundle.sh BUILD_X86_64 BUILD_I686
# For each build that runs here, the shipped i686 one first: bundles of one
# package of 1024 to 2040 MiB (random bytes in an installer database) and of two
# of 1000 MiB, made by the x86_64 packer
# from the build's stub, written out with /extract and compared byte for byte;
# a real package of about 1.9 GiB (a registry value and one large stream)
# installed with /quiet and removed with /uninstall /quiet; and a product of
# the usual large shape, a small package with two cabinets of 1150 MiB beside
# it, whose bundle of over 2 GiB is packed, signed and verified (osslsigncode),
# extracted from the signed bundle and compared, installed (its files compared
# where the installer put them) and removed. Then what the packer says to a
# package beyond its limit, and to two that pass it together. Runs in a
# session of the x86_64 build; up to 9 GiB of scratch files in its prefix's
# C:\bench-large (and the installed files), deleted at the end. Prints one line
# per case; nothing in it fails on a size that does not work.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/wine.sh
b64=$(cd "$1" && pwd) b32=$(cd "$2" && pwd)

if [ -z "${WINEPREFIX:-}" ]; then
    notice=$(i686_not_run_reason)
    [ -z "$notice" ] || echo "$notice"
    rc=0
    scripts/session.sh "$b64" "$0" "$b64" "$b32" || rc=$?
    [ -z "$notice" ] || echo "$notice"
    exit "$rc"
fi

# A program that crashes ends instead of waiting for someone to close the
# debugger's window.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winedbg.exe=d"
work=$WINEPREFIX/drive_c/bench-large
rm -rf "$work" && mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
winpath() { echo "Z:$1" | tr / '\\'; }
packer=$b64/bin/setuppack.exe
code="{4C1A7E00-0000-4000-8000-00000000B160}"
cabinet_code="{4C1A7E00-0000-4000-8000-00000000CAB2}"

random_file() { head -c $(($2 * 1024 * 1024)) /dev/urandom >"$1"; }
# An installer database of about MiB mebibytes, nearly all of it one stream of
# random bytes (whose sectors take a 128th more).
random_package() {  # FILE MiB {PRODUCT-CODE}
    scripts/make-msi.sh "$1" --name LargeExtract --code "$3"
    random_file "$work/stream.bin" $(($2 - $2 / 128))
    msibuild "$1" -a random "$work/stream.bin"
    rm -f "$work/stream.bin"
}
# A bundle of the given packages from STUB; prints the packer's complaint if any.
pack() {
    local stub=$1 out=$2 args=()
    shift 2
    for package in "$@"; do
        args+=(/package "$(winpath "$package")" /flags 0)
    done
    { "$WINE64" "$packer" /out "$(winpath "$out")" /stub "$(winpath "$stub")" "${args[@]}" 2>&1 </dev/null || true; } |
        tr -d '\r'
}
# Runs a program, prints "exit N, S s" (N: the low 8 bits Linux keeps).
timed() {
    local started rc=0 ms
    started=$(date +%s%N)
    "$@" >/dev/null 2>&1 </dev/null || rc=$?
    ms=$((($(date +%s%N) - started) / 1000000))
    printf 'exit %d, %d.%d s' "$rc" $((ms / 1000)) $((ms % 1000 / 100))
}
installed() {
    "$WINE64" reg query "HKLM\\Software\\Wow6432Node\\${1:-LargeBundle}" /v Version >/dev/null 2>&1 </dev/null &&
        echo yes || echo no
}

extract_case() {  # ARCH STUB MiB...
    local arch=$1 stub=$2 total=0 packages=() same=yes
    shift 2
    for mib in "$@"; do
        random_package "$work/p$mib-${#packages[@]}.msi" "$mib" "{4C1A7E00-0000-4000-8000-00000000A${#packages[@]}00}"
        packages+=("$work/p$mib-${#packages[@]}.msi")
        total=$((total + mib))
    done
    local complaint
    complaint=$(pack "$stub" "$work/bundle.exe" "${packages[@]}")
    if [ ! -f "$work/bundle.exe" ]; then
        echo "$arch  extract $total MiB ($*): not packed: $complaint"
    else
        local result
        result=$(timed "$(wine_for "$stub")" "$work/bundle.exe" /extract "$(winpath "$work/out")")
        for package in "${packages[@]}"; do
            cmp -s "$package" "$work/out/$(basename "$package")" || same=no
        done
        echo "$arch  extract $total MiB ($*): $result, files identical: $same"
    fi
    rm -rf "$work"/*
}

install_case() {  # ARCH STUB MiB
    local arch=$1 stub=$2 mib=$3 wine
    wine=$(wine_for "$stub")
    scripts/make-msi.sh "$work/large.msi" --name LargeBundle --code "$code"
    random_file "$work/payload.bin" "$mib"
    msibuild "$work/large.msi" -a payload "$work/payload.bin"
    rm -f "$work/payload.bin"
    local size
    size=$(stat -c %s "$work/large.msi")
    "$WINE64" "$packer" /out "$(winpath "$work/bundle.exe")" /stub "$(winpath "$stub")" \
        /package "$(winpath "$work/large.msi")" /flags 0 >/dev/null 2>&1 </dev/null || true
    if [ ! -f "$work/bundle.exe" ]; then
        echo "$arch  install $((size / 1048576)) MiB package: not packed"
    else
        echo "$arch  install $((size / 1048576)) MiB package: /quiet $(timed "$wine" "$work/bundle.exe" /quiet)," \
            "installed: $(installed); /uninstall /quiet $(timed "$wine" "$work/bundle.exe" /uninstall /quiet)," \
            "installed: $(installed)"
    fi
    rm -rf "$work"/*
}

# The package's folder under Program Files of a 32-bit package.
installed_files=$WINEPREFIX/drive_c/"Program Files (x86)"/LargeCabinets
cabinet_case() {  # ARCH STUB MiB-PER-CABINET
    local arch=$1 stub=$2 mib=$3 wine sums size signing extracted same=yes intact=yes
    wine=$(wine_for "$stub")
    mkdir -p "$work/product"
    random_file "$work/big1.bin" "$mib"
    random_file "$work/big2.bin" "$mib"
    sums=$(cd "$work" && sha256sum big1.bin big2.bin)
    scripts/make-msi.sh "$work/product/large.msi" --name LargeCabinets --code "$cabinet_code" --store-cabinets \
        --cabinet data1.cab="$work/big1.bin" --cabinet data2.cab="$work/big2.bin"
    rm -f "$work/big1.bin" "$work/big2.bin"
    local packed
    packed=$(timed "$WINE64" "$packer" /out "$(winpath "$work/bundle.exe")" /stub "$(winpath "$stub")" \
        /package "$(winpath "$work/product/large.msi")" /flags 0)
    if [ ! -f "$work/bundle.exe" ]; then
        echo "$arch  bundle of 2 x $mib MiB cabinets: not packed ($packed)"
        rm -rf "$work"/*
        return
    fi
    size=$(stat -c %s "$work/bundle.exe")
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
        -subj "/CN=Tessaro Bench Signing" >/dev/null 2>&1
    signing=$(timed osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -h sha256 -n "Tessaro bench" \
        -in "$work/bundle.exe" -out "$work/signed.exe")
    rm -f "$work/bundle.exe"
    local verified=no
    osslsigncode verify -CAfile "$work/cert.pem" -in "$work/signed.exe" 2>&1 | grep -q "Signature verification: ok" &&
        verified=yes
    extracted=$(timed "$wine" "$work/signed.exe" /extract "$(winpath "$work/out")")
    for file in large.msi data1.cab data2.cab; do
        cmp -s "$work/product/$file" "$work/out/$file" || same=no
    done
    rm -rf "$work/out" "$work/product"
    local install removal
    install=$(timed "$wine" "$work/signed.exe" /quiet)
    [ "$(cd "$installed_files" 2>/dev/null && sha256sum big1.bin big2.bin 2>/dev/null)" = "$sums" ] || intact=no
    local was_installed
    was_installed=$(installed LargeCabinets)
    removal=$(timed "$wine" "$work/signed.exe" /uninstall /quiet)
    echo "$arch  bundle of 2 x $mib MiB cabinets, $((size / 1048576)) MiB: packed $packed; signed $signing," \
        "verified: $verified; /extract of the signed bundle $extracted, files identical: $same;" \
        "/quiet $install, installed: $was_installed, files intact: $intact;" \
        "/uninstall /quiet $removal, installed: $(installed LargeCabinets), files left: $(ls "$installed_files" 2>/dev/null | wc -l)"
    rm -rf "$work"/*
}

for arch in i686 x86_64; do
    build=$b64
    if [ "$arch" = i686 ]; then
        [ -z "$(i686_not_run_reason)" ] || continue
        build=$b32
    fi
    stub=$build/bin/setupstub.exe
    for mib in 1024 1536 1900 2040; do extract_case "$arch" "$stub" "$mib"; done
    extract_case "$arch" "$stub" 1000 1000
    install_case "$arch" "$stub" 1900
    cabinet_case "$arch" "$stub" 1150
done
# The packer refuses before it writes anything: sparse files will do.
truncate -s 4065M "$work/p4065.msi"
truncate -s 2040M "$work/p2040-0.msi" "$work/p2040-1.msi"
echo "packer  4065 MiB package: $(pack "$b64/bin/setupstub.exe" "$work/bundle.exe" "$work/p4065.msi")"
echo "packer  2 x 2040 MiB packages: $(pack "$b64/bin/setupstub.exe" "$work/bundle.exe" "$work/p2040-0.msi" "$work/p2040-1.msi")"
