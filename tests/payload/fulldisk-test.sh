#!/usr/bin/env bash
# A disk that fills up during a write: the platform reports the short write as a
# success, so the program must count the bytes itself. /o1 and /extract onto a
# 4 KiB file system (the sample package is larger) must fail with 112 and leave
# no truncated package; /o1 onto a device must fail too.
#   fulldisk-test.sh SETUP.exe WORK-DIR
# Runs inside scripts/session.sh. Needs root for the mount: exits 77 (skipped)
# without it.
set -euo pipefail

setup=$1 work=$2
run() { "$(dirname "$0")/../harness/wine-exec.sh" "$setup" "$@" </dev/null >/dev/null 2>&1 || echo $?; }
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p "$work/full"
mountpoint -q "$work/full" || mount -t tmpfs -o size=4k tmpfs "$work/full" 2>/dev/null ||
    { echo "SKIPPED: cannot mount a small file system here (not root?)"; exit 77; }
trap 'umount "$work/full"' EXIT
rm -rf "${work:?}/full/"*
full="Z:${work//\//\\}\\full"

[ "$(run /o1 "$full\\first.msi")" = 112 ] || fail "/o1 onto a full disk did not end with 112"
[ "$(run /extract "$full\\out")" = 112 ] || fail "/extract onto a full disk did not end with 112"
leftover=$(find "$work/full" -type f)
[ -z "$leftover" ] || fail "truncated files left: $leftover"
[ "$(run /o1 NUL)" = 50 ] || fail "/o1 onto the NUL device did not end with 50"
echo "full disk and device refused, nothing left"
