#!/usr/bin/env bash
# What a user sees of setup.exe, run under Wine on the session's Xvfb display
# (called by `make demo` inside scripts/session.sh):
#   scripts/demo.sh BUILD_DIR
# The help box is shown, read and answered by boxreader.exe; each run's exit
# code is printed.
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
