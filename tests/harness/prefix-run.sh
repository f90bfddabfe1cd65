#!/usr/bin/env bash
# Runs one Windows program in a Wine prefix kept for some tests, apart from the
# session's prefix:
#   prefix-run.sh PREFIX [--win32] [--msi DLL] PROGRAM [ARGS...]
# The prefix is made on first use: a 64-bit Windows with its 32-bit part, or with
# --win32 a 32-bit Windows. The program starts under the loader of its own
# bitness. --msi DLL puts DLL as msi.dll into the system folder of the program's
# bitness (syswow64 for a 32-bit program in a 64-bit prefix) at every run, so
# that a rebuilt stand-in takes effect, and makes every program but the packer
# prefer it to Wine's own (the prefix's DllOverrides). The program inherits
# DISPLAY from the session (scripts/session.sh), so its message boxes are real
# windows. The prefix gets its own wineserver, started here with its output away
# from the caller's pipes (ctest would otherwise wait for Wine's background
# processes) and stopped after.
# The program's exit code is this script's.
set -euo pipefail

. "$(dirname "$0")/../../scripts/wine.sh"
prefix=$1; shift
arch=win64 dll=
while [ $# -gt 0 ]; do
    case "$1" in
        --win32) arch=win32; shift ;;
        --msi) dll=$2; shift 2 ;;
        *) break ;;
    esac
done
program=$1
export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=${WINEDEBUG:--all}
wine=$(wine_for "$program")
mkdir -p "$(dirname "$prefix")"

# One user of the prefix at a time: tests may run in parallel.
exec 9>"$prefix.lock"
flock 9

stop_server() { "$WINESERVER" -k >/dev/null 2>&1 9>&- || true; }
trap stop_server EXIT

# No Mono or Gecko installers: they would open dialogs while the prefix is made.
export WINEDLLOVERRIDES="mscoree=;mshtml=;winedbg.exe=d"
"$WINESERVER" -p >/dev/null 2>&1 </dev/null 9>&- || true
prepare_prefix
if [ -n "$dll" ]; then
    system=system32
    [ "$arch" = win64 ] && [ "$wine" = "$WINE32" ] && system=syswow64
    # A new file renamed into place: a process still mapping the old one keeps it.
    cp -f "$dll" "$prefix/drive_c/windows/$system/msi.dll.new"
    mv -f "$prefix/drive_c/windows/$system/msi.dll.new" "$prefix/drive_c/windows/$system/msi.dll"
    # setuppack.exe reads the packages through the installer's database
    # functions, which the stand-in lacks: it keeps Wine's own msi.dll.
    if ! grep -qF 'AppDefaults\\setuppack.exe' "$prefix/user.reg" 2>/dev/null; then
        "$wine" reg add 'HKCU\Software\Wine\DllOverrides' /v msi /d native /f >/dev/null 2>&1 </dev/null 9>&- || true
        "$wine" reg add 'HKCU\Software\Wine\AppDefaults\setuppack.exe\DllOverrides' /v msi /d builtin /f \
            >/dev/null 2>&1 </dev/null 9>&- || true
    fi
fi

rc=0
"$wine" "$@" 9>&- || rc=$?
exit "$rc"
