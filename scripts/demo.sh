#!/usr/bin/env bash
# What a user sees of setup.exe, run under Wine on the session's Xvfb display
# (called by `make demo` inside scripts/session.sh):
#   scripts/demo.sh BUILD_DIR
# The help box is shown, read and answered by boxreader.exe; each run's exit
# code is printed. Then the sample package that setup.exe carries is installed
# quietly with a log, by Wine's own Windows Installer, and removed again.
set -euo pipefail

build=$1
WINE=/usr/lib/wine/wine64
bin=$(cd "$build/bin" && pwd)

# Runs setup.exe with the given switches, answers any box it shows, and prints
# the boxes and the exit code.
run_setup() {
    echo "\$ setup.exe $*"
    "$WINE" "$bin/setup.exe" "$@" &
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
    "$WINE" cscript //nologo "$(winpath "$(cd "$(dirname "$0")" && pwd)/product-version.js")" "$code" 2>/dev/null | tr -d '\r'
}
registry_value() {
    { "$WINE" reg query 'HKLM\Software\Wow6432Node\Tessaro' /v Version 2>/dev/null || true; } |
        tr -d '\r' | awk '$1 == "Version" { print $3 }'
}

logdir=$(cd "$build" && pwd)/demo
mkdir -p "$logdir"
log=$logdir/install.log
echo "Sample package Tessaro, product code $code"
echo "  installed before: $(installed_version)"
echo

run_setup /quiet /log "$(winpath "$log")"
echo "  installed version: $(installed_version)"
echo "  registry HKLM\Software\Tessaro Version: $(registry_value)"
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
