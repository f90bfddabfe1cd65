#!/usr/bin/env bash
# Runs one Windows program under the Wine loader of its own bitness, in the
# session that scripts/session.sh prepared (WINEPREFIX, DISPLAY, a persistent
# wineserver).
set -u
: "${WINEPREFIX:?run inside scripts/session.sh}"
. "$(dirname "$0")/../../scripts/wine.sh"
exec "$(wine_for "$1")" "$@"
