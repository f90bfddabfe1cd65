#!/usr/bin/env bash
# A vendor signs a bundle after packing it. This test signs the stub first (a
# signed release of the program), packs from it (the packer must drop the stub's
# signature), signs the bundle with a throwaway certificate (openssl,
# osslsigncode), verifies the signature (which must cover the package after
# the image), and runs the signed bundle under Wine: it must still install and
# remove its package.
#   signing-test.sh SETUPPACK.exe SETUP.exe PACKAGE.msi PRODUCT-NAME WORK-DIR
# Runs inside scripts/session.sh (WINEPREFIX, DISPLAY, a wineserver).
set -euo pipefail

setuppack=$1 stub=$2 package=$3 product=$4 work=$5
: "${WINEPREFIX:?run inside scripts/session.sh}"
. "$(dirname "$0")/../../scripts/wine.sh"
WINE=$(wine_for "$stub")

fail() { echo "FAIL: $*" >&2; exit 1; }
winpath() { echo "Z:${1//\//\\}"; }
installed_value() {
    "$WINE64" reg query "HKLM\\Software\\Wow6432Node\\$product" /v Version 2>/dev/null |
        tr -d '\r' | awk '$1 == "Version" { print $3 }'
}

rm -rf "$work" && mkdir -p "$work"
cd "$work"

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
    -subj "/CN=Tessaro Test Signing" >/dev/null 2>&1 || fail "openssl could not make a certificate"

osslsigncode sign -certs cert.pem -key key.pem -h sha256 -n "Tessaro Setup" \
    -in "$stub" -out signed-stub.exe >sign-stub.out 2>&1 || fail "signing the stub: $(cat sign-stub.out)"
"$WINE" "$setuppack" /out "$(winpath "$work/bundle.exe")" /stub "$(winpath "$work/signed-stub.exe")" \
    /package "$(winpath "$package")" /flags 0 </dev/null >setuppack.out 2>&1 ||
    fail "setuppack: $(cat setuppack.out)"
# No certificate table is left for the signing tool to find.
osslsigncode verify -CAfile cert.pem -in bundle.exe >unsigned.out 2>&1 || true
grep -q "No signature found" unsigned.out || fail "the bundle still carries a signature: $(cat unsigned.out)"

osslsigncode sign -certs cert.pem -key key.pem -h sha256 -n "Tessaro Setup test bundle" \
    -in bundle.exe -out signed.exe >sign.out 2>&1 || fail "signing: $(cat sign.out)"
osslsigncode verify -CAfile cert.pem -in signed.exe >verify.out 2>&1 ||
    fail "the signature does not verify: $(cat verify.out)"
grep -q "Signature verification: ok" verify.out || fail "no verified signature: $(cat verify.out)"
echo "signed and verified: $(grep -m1 'Subject:' verify.out | sed 's/^[[:space:]]*//')"

# A changed byte must break the signature, or the verification proves nothing:
# one in the middle of the file, and one of the package, which lies after the
# image and ends where the unsigned bundle ended.
for at in $(( $(stat -c %s signed.exe) / 2 )) $(( $(stat -c %s bundle.exe) - 10 )); do
    cp signed.exe tampered.exe
    byte=$(od -An -tu1 -j "$at" -N1 tampered.exe | tr -d ' ')
    printf "\\x$(printf %02x $((255 - byte)))" | dd of=tampered.exe bs=1 seek="$at" conv=notrunc status=none
    if osslsigncode verify -CAfile cert.pem -in tampered.exe >/dev/null 2>&1; then
        fail "a bundle changed at byte $at still verifies"
    fi
done

rc=0
"$WINE" signed.exe /quiet </dev/null >/dev/null 2>&1 || rc=$?
[ "$rc" -eq 0 ] || fail "the signed bundle's install ended with $rc"
[ -n "$(installed_value)" ] || fail "the signed bundle did not install $product"
echo "installed $product $(installed_value)"

rc=0
"$WINE" signed.exe /uninstall /quiet </dev/null >/dev/null 2>&1 || rc=$?
[ "$rc" -eq 0 ] || fail "the signed bundle's removal ended with $rc"
[ -z "$(installed_value)" ] || fail "$product is still installed after /uninstall"
echo "removed $product"
