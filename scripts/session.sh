#!/usr/bin/env bash
# Runs a command inside a Wine session of the build tree:
#   scripts/session.sh BUILD_DIR COMMAND [ARGS...]
# - WINEPREFIX=BUILD_DIR/wine (64-bit), created on first use;
# - an Xvfb server on a free display, so that message boxes are real windows;
# - a persistent wineserver for the length of the command.
# Afterwards it stops only the wineserver and the Xvfb it started.
set -euo pipefail

build=$(cd "$1" && pwd); shift
export WINEPREFIX="$build/wine" WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installers: they would open dialogs while the prefix is made.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree=;mshtml="}
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64

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
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE" wineboot -i >/dev/null 2>&1 || true
fi
# Wine's X11 driver waits up to 2 s for a window manager to acknowledge every
# window it hides; Xvfb has none. Unmanaged windows close at once (and Wine draws
# their captions itself, which screenshots then show).
if ! grep -q '^"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null || true
fi
# Start Wine's own background processes (services, devices, explorer) now, with
# their output elsewhere: started by the first test, they would hold that test's
# output pipe open for the whole session and ctest would wait for them.
"$WINE" cmd.exe /c exit >/dev/null 2>&1 </dev/null || true
"$@"
