#!/usr/bin/env bash
# Runs one Windows program in the Wine prefix kept for the stand-in installer:
#   standin-run.sh PREFIX STANDIN_DLL PROGRAM [ARGS...]
# The prefix is made on first use; the stand-in is copied over system32\msi.dll
# at every run (so a rebuilt stand-in takes effect) and preferred to Wine's own
# with WINEDLLOVERRIDES=msi=n. The program inherits DISPLAY from the session
# (scripts/session.sh), so its message boxes are real windows. This prefix gets
# its own wineserver, started here with its output away from the caller's pipes
# (ctest would otherwise wait for Wine's background processes) and stopped after.
# The program's exit code is this script's.
set -euo pipefail

prefix=$1 dll=$2; shift 2
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all}
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
mkdir -p "$(dirname "$prefix")"

# One user of the prefix at a time: tests may run in parallel.
exec 9>"$prefix.lock"
flock 9

stop_server() { "$WINESERVER" -k >/dev/null 2>&1 9>&- || true; }
trap stop_server EXIT

# No Mono or Gecko installers: they would open dialogs while the prefix is made.
export WINEDLLOVERRIDES="mscoree=;mshtml="
"$WINESERVER" -p >/dev/null 2>&1 </dev/null 9>&- || true
if [ ! -f "$prefix/system.reg" ]; then
    "$WINE" wineboot -i >/dev/null 2>&1 </dev/null 9>&- || true
fi
# Windows not managed by an X window manager (there is none on the test display):
# otherwise every message box waits about 2 s for one.
if ! grep -q '"Managed"="N"' "$prefix/user.reg" 2>/dev/null; then
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null 9>&- || true
fi
cp -f "$dll" "$prefix/drive_c/windows/system32/msi.dll"
"$WINE" cmd.exe /c exit >/dev/null 2>&1 </dev/null 9>&- || true

export WINEDLLOVERRIDES="msi=n;mscoree=;mshtml="
rc=0
"$WINE" "$@" 9>&- || rc=$?
exit "$rc"
