#!/usr/bin/env bash
# Runs a command inside a Wine session of the build tree:
#   scripts/session.sh BUILD_DIR COMMAND [ARGS...]
# - WINEPREFIX=BUILD_DIR/wine (64-bit, with its 32-bit part), created on first use;
# - an Xvfb server on a free display, so that message boxes are real windows;
# - a persistent wineserver for the length of the command.
# Afterwards it stops only the wineserver and the Xvfb it started.
set -euo pipefail

build=$(cd "$1" && pwd); shift
. "$(dirname "$0")/wine.sh"
export WINEPREFIX="$build/wine" WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installers: they would open dialogs while the prefix is made.
# No debugger either: a test program that crashes ends at once instead of
# waiting, behind a debugger window, for the test timeout.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree=;mshtml=;winedbg.exe=d"}

xvfb_pid=
cleanup() {
    "$WINESERVER" -k >/dev/null 2>&1 || true
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

start_xvfb() {
    local n
    for n in $(seq 90 199); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        xvfb_pid=$!
        for _ in $(seq 1 50); do
            [ -e "/tmp/.X11-unix/X$n" ] && { export DISPLAY=":$n"; return 0; }
            kill -0 "$xvfb_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=
    done
    echo "session: no free X display" >&2
    return 1
}

start_xvfb
mkdir -p "$WINEPREFIX"
"$WINESERVER" -p
prepare_prefix
"$@"
