#!/usr/bin/env bash
# The native packer (build/native/setuppack) against setuppack.exe: the same
# bundles, byte for byte, for a bundle with a transform, a patch, external
# cabinets, a prerequisite program, an icon, a registration and a licence of
# either kind; each packer of the x86_64 and the i686 build that this machine
# can start. (Both packers' refusals, exit codes and lines are the payload
# tests' table, EveryBadInputFailsWithOneLineAndWritesNothing.)
#   tests/native/compare-packers.sh NATIVE_BUILD BUILD_X86_64 BUILD_I686
# Closes with "N passed, N failed".
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/wine.sh"
native=$(cd "$1" && pwd)/setuppack b64=$(cd "$2" && pwd) b32=$(cd "$3" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/compare-packers.XXXXXX")
trap 'rm -rf "$work"' EXIT
export WINEPREFIX=${WINEPREFIX:-$b64/wine} WINEDEBUG=-all
data=$b64/tests/payload/data
passed=0 failed=0
pass() { passed=$((passed + 1)); echo "ok   $*"; }
fail() { failed=$((failed + 1)); echo "FAIL $*"; }

# A transform and a patch: compound files whose root storage has the
# installer's class for them (the packer reads no more of them); an icon of
# two 1x1 images.
python3 - "$work" <<'PY'
import struct, sys
def storage(path, clsid):
    header = bytearray(512)
    header[0:8] = bytes.fromhex('D0CF11E0A1B11AE1')
    struct.pack_into('<HHHHH', header, 0x18, 0x3E, 3, 0xFFFE, 9, 6)
    struct.pack_into('<IIII', header, 0x2C, 1, 0, 0, 0x1000)
    struct.pack_into('<I', header, 0x4C, 1)
    directory = bytearray(512)
    name = 'Root Entry'.encode('utf-16-le') + b'\0\0'
    directory[0:len(name)] = name
    struct.pack_into('<HBB', directory, 0x40, len(name), 5, 1)
    directory[0x50:0x60] = clsid
    fat = bytearray(b'\xff' * 512)
    struct.pack_into('<II', fat, 0, 0xFFFFFFFE, 0xFFFFFFFD)
    struct.pack_into('<I', header, 0x4C, 1)
    open(path, 'wb').write(header + directory + fat)
def guid(d1):
    return struct.pack('<IHH', d1, 0, 0) + bytes([0xC0, 0, 0, 0, 0, 0, 0, 0x46])
storage(sys.argv[1] + '/de.mst', guid(0x000C1082))
storage(sys.argv[1] + '/fix.msp', guid(0x000C1086))
icon = struct.pack('<HHH', 0, 1, 2)
for k in range(2):
    icon += struct.pack('<BBBBHHII', 1, 1, 0, 0, 1, 32, 48, 6 + 32 + 48 * k)
for k in range(2):
    icon += struct.pack('<IiiHHIIiiII', 40, 1, 2, 1, 32, 0, 8, 0, 0, 0, 0) + struct.pack('<II', 0xFF000000 | (0xFF0000 >> (8 * k)), 0)
open(sys.argv[1] + '/vendor.ico', 'wb').write(icon)
PY
cp "$data/alpha.msi" "$data/cabbed.msi" "$data/data1.cab" "$data/data2.cab" "$b64/bin/testprereq.exe" "$work/"
cp "$b32/bin/setup.exe" "$work/setup.exe"
printf '{\\rtf1 The terms.}' >"$work/terms.rtf"
printf 'The terms.\r\n' >"$work/terms.txt"

# The bundles, as arguments after /out (relative paths: both packers read
# them in the same folder).
bundles=(
  "transform|/stub setup.exe /package alpha.msi /flags transform /transform de.mst /language 1031"
  "patch|/stub setup.exe /package alpha.msi /package fix.msp /flags patch /code {A17A0001-5E7D-4F00-9A11-000000000001} /version 1.2.3"
  "cabinets|/stub setup.exe /package cabbed.msi"
  "prerequisite|/stub setup.exe /exe testprereq.exe /detect always /args /quiet /exitcode 3010=restart /package alpha.msi"
  "icon|/stub setup.exe /name Larkspur /company Larkspur /bundleversion 7.6.5.4 /icon vendor.ico /package alpha.msi"
  "registration|/stub setup.exe /package alpha.msi /flags hidden /upgradecode {A17A0000-5E7D-4F00-9A11-0000000000AA} /helplink https://example.com"
  "rich-text licence|/stub setup.exe /package alpha.msi /window /license terms.rtf"
  "plain-text licence|/stub setup.exe /window /license terms.txt /package alpha.msi"
)
# The C library's wide functions take 32-bit units where the native build's
# texts have 16 (-fshort-wchar): none of them may be linked in.
wide=$(nm -u "$native" | grep -E ' _?(wcs|wmem|swprintf|vswprintf|fwprintf|wprintf)' || true)
if [ -z "$wide" ]; then
    pass "the native packer links none of the C library's wide functions"
else
    fail "the native packer links the C library's wide functions:" $wide
fi

packers=("$b64/bin/setuppack.exe")
[ -z "$(i686_not_run_reason)" ] && packers+=("$b32/bin/setuppack.exe") || echo "i686 setuppack.exe not run: $(i686_not_run_reason)"
cd "$work"
for entry in "${bundles[@]}"; do
    what=${entry%%|*} arguments=${entry#*|}
    mkdir -p native && rm -f native/Setup.exe
    # shellcheck disable=SC2086
    if ! "$native" /out native/Setup.exe $arguments >native.out 2>&1; then
        fail "$what: the native packer: $(cat native.out)"; continue
    fi
    for packer in "${packers[@]}"; do
        mkdir -p exe && rm -f exe/Setup.exe
        # shellcheck disable=SC2086
        "$(wine_for "$packer")" "$packer" /out 'exe\Setup.exe' $arguments >exe.out 2>&1
        name=$(basename "$(dirname "$(dirname "$packer")")")
        if cmp -s native/Setup.exe exe/Setup.exe; then
            pass "$what: native and the $name setuppack.exe write the same $(stat -c %s exe/Setup.exe) bytes"
        else
            fail "$what: native and the $name setuppack.exe differ: $(cmp native/Setup.exe exe/Setup.exe 2>&1 | head -1) $(cat exe.out)"
        fi
    done
done

echo "native: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
