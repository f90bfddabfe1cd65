#!/usr/bin/env bash
# Runs one Windows program under the 64-bit Wine loader, in the session that
# scripts/session.sh prepared (WINEPREFIX, DISPLAY, a persistent wineserver).
set -u
: "${WINEPREFIX:?run inside scripts/session.sh}"
exec /usr/lib/wine/wine64 "$@"
