#!/usr/bin/env bash
# What a user sees of the shipped setup.exe, run under Wine on a session's Xvfb
# display (`make demo`):
#   scripts/demo.sh BUILD_I686 BUILD_X86_64
# runs the i686 build under 32-bit Wine, or, where this machine cannot start
# 32-bit programs, the x86_64 build, with one line saying so at the top and at
# the end. The help box is shown, read and answered by boxreader.exe; each run's
# exit code is printed. Then the sample package that setup.exe carries is
# installed quietly by Wine's own Windows Installer (a /log in a folder others
# could change is refused first), its logs shown, and removed again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine.sh"

if [ -z "${WINEPREFIX:-}" ]; then
    notice=$(i686_not_run_reason)
    if [ -z "$notice" ]; then
        exec "$here/session.sh" "$1" "$0" "$1"
    fi
    echo "$notice"
    rc=0
    "$here/session.sh" "$2" "$0" "$2" || rc=$?
    echo "$notice"
    exit "$rc"
fi

build=$1
bin=$(cd "$build/bin" && pwd)
WINE=$(wine_for "$bin/setup.exe")
# The sample bundle, packed by the native packer from this build's setup.exe
# and its sample package (build/native/setuppack, beside the Wine builds).
native=$(dirname "$build")/native/setuppack
bundle=$bin/setup.exe
if [ -x "$native" ]; then
    mkdir -p "$build/demo"
    "$native" --out "$build/demo/setup.exe" --stub "$bin/setup.exe" --package "$build/payload/Tessaro.msi" \
        --flags permachine+keepui
    bundle=$(cd "$build/demo" && pwd)/setup.exe
fi
echo "$bundle of $build, under $WINE"
echo

# Runs setup.exe with the given switches, answers any box it shows, and prints
# the boxes and the exit code.
run_setup() {
    echo "\$ setup.exe $*"
    "$WINE" "$bundle" "$@" &
    local setup_pid=$! code=0
    "$WINE" "$bin/boxreader.exe" --timeout 3000 | sed '/^rect: /d; s/^/  | /' || echo "  (no box)"
    wait "$setup_pid" || code=$?
    echo "  exit code: $code"
    echo
}

run_setup /?
run_setup /quiet /bogus

# The sample package as the installer sees it: its product code is read from
# the package the build made, its installed version asked of the installer.
sample=$build/payload/Tessaro.msi
code=$(msiinfo export "$sample" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" { print $2 }')
winpath() { echo "Z:${1//\//\\}"; }
installed_version() {
    "$WINE64" cscript //nologo "$(winpath "$here/product-version.js")" "$code" 2>/dev/null | tr -d '\r'
}
registry_value() {
    { "$WINE64" reg query 'HKLM\Software\Wow6432Node\Tessaro' /v Version 2>/dev/null || true; } |
        tr -d '\r' | awk '$1 == "Version" { print $3 }'
}

# Under Wine every run is elevated, and Wine keeps no owners: an elevated run
# writes its logs to the Windows folder's Temp and refuses a /log anywhere else.
temp=$(ls -d "$WINEPREFIX"/drive_c/windows/[Tt]emp)
echo "Sample package Tessaro, product code $code"
echo "  installed before: $(installed_version)"
echo

run_setup /quiet /log "$(winpath "$(cd "$build" && pwd)/demo-install.log")"
run_setup /quiet
runlog=$(ls -t "$temp"/setup_*.log | sed -n 1p)
installer_log=$(sed -n 's/.*installer log: .*\\\([^\\]*\)\r$/\1/p' "$runlog")
log=$temp/$installer_log
echo "  installed version: $(installed_version)"
echo "  registry HKLM\Software\Tessaro Version: $(registry_value)"
echo "  the run's own log $runlog:"
tr -d '\r' <"$runlog" | sed 's/^/    /'
echo "  installer log $log ($(wc -c <"$log" 2>/dev/null || echo 0) bytes):"
tr -d '\r' <"$log" 2>/dev/null | awk '
    /^=== Logging started/ && !started++ { print "    " $0 }
    /ProductVersion = / && !version++ { print "    " $0 }
    /^Action ended .*INSTALL\./ && !ended++ { print "    " $0 }' || true
echo

run_setup /uninstall /quiet
echo "  installed version: $(installed_version)"
value=$(registry_value)
echo "  registry HKLM\Software\Tessaro Version: ${value:-(gone)}"
