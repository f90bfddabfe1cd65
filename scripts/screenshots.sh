#!/usr/bin/env bash
# Screenshots of the help box and of the bundle's window in each of the six
# languages, taken on the Xvfb display of a Wine session:
#   scripts/screenshots.sh [BUILD_DIR]     (default build/x86_64)
# writes into BUILD_DIR/screenshots, each cropped to its window:
#   help-<locale>.png      the help box (and prints its caption and text)
#   window-<page>-<locale>.png   the pages of a bundle packed with /window:
#       welcome (with a licence), progress, finished, restart, failed, cancelled
# LOCALES="en_US ja_JP" takes only those languages.
set -euo pipefail

build=${1:-build/x86_64}
if [ -z "${WINEPREFIX:-}" ] || [ -z "${DISPLAY:-}" ]; then
    exec "$(dirname "$0")/session.sh" "$build" "$0" "$build"
fi

. "$(dirname "$0")/wine.sh"
bin=$(cd "$build/bin" && pwd)
WINE=$(wine_for "$bin/setup.exe")
out="$build/screenshots"
work="$build/screenshots/bundles"
mkdir -p "$out" "$work"

# The window's controls (setup/window/window.cpp and window.h): the check box,
# the bar, and the buttons, whose IDs are their commands.
ACCEPT=104 BAR=105 INSTALL=1001 CLOSE=1002 CANCEL=1003 RESTART_LATER=1005 OPEN_LOG=1006
YES=6   # the answer to "Are you sure?"

# shoot NAME REPORT: the screen's part inside REPORT's rect, as NAME.png.
shoot() {
    local left top width height
    sleep 0.5
    read -r left top width height < <(sed -n 's/^rect: //p' <<<"$2")
    import -window root -crop "${width}x${height}+${left}+${top}" +repage "$out/$1.png"
    echo "== $out/$1.png"
}

# window ID [--press ID]...: waits for the window to show control ID, prints its
# texts and rect, and clicks the --press controls.
window() {
    "$WINE" "$bin/boxreader.exe" --window "$@" --timeout 60000
}

# Three bundles of the sample package behind a prerequisite: one that takes a
# few seconds (a ping of this machine, so that the progress page stays long
# enough for its picture, and for a Cancel), one that asks for a restart, one
# that fails.
printf 'Tessaro Sample License\r\n\r\nYou may install and use this sample on any number of computers.\r\nIt comes with no warranty of any kind.\r\n' >"$work/License.txt"
cp "$WINEPREFIX/drive_c/windows/system32/ping.exe" "$work/ping.exe"
pack() {
    local name=$1; shift
    "$WINE" "$bin/setuppack.exe" /out "$work/$name.exe" /stub "$bin/setup.exe" /window \
        /license "$work/License.txt" /exe "$@" /detect always /package "$build/payload/Tessaro.msi" >/dev/null
}
pack finished "$work/ping.exe" /args "-n 8 127.0.0.1"
pack restart "$bin/testprereq.exe" /args "/exit 3010"
pack failed "$bin/testprereq.exe" /args "/exit 1603"
cp "$work/finished.exe" "$work/cancelled.exe"

for locale in ${LOCALES:-en_US de_DE es_ES fr_FR it_IT ja_JP}; do
    # Wine picks the language from the locale of each program it starts.
    run() { env LANG="$locale.UTF-8" LC_ALL="$locale.UTF-8" "$WINE" "$@"; }

    run "$bin/setup.exe" /? &
    setup_pid=$!
    # Wait for the box and leave it open; then let it paint before the shot.
    report=$("$WINE" "$bin/boxreader.exe" --keep --timeout 20000) || {
        echo "screenshots: no help box for $locale" >&2; kill "$setup_pid" 2>/dev/null; exit 1; }
    shoot "help-$locale" "$report"
    "$WINE" "$bin/boxreader.exe" --timeout 10000 >/dev/null
    wait "$setup_pid" || true
    sed '/^rect: /d;/^--$/d' <<<"$report"

    for bundle in finished restart failed cancelled; do
        run "$work/$bundle.exe" &
        setup_pid=$!
        report=$(window $INSTALL)
        [ "$bundle" = finished ] && shoot "window-welcome-$locale" "$report"
        window $INSTALL --press $ACCEPT --press $INSTALL >/dev/null
        # The last page: a button it alone shows, and the one that closes it.
        case $bundle in
            finished)
                # Once more when the prerequisite's console has come up, to raise the window above it.
                window $BAR >/dev/null; sleep 1
                shoot "window-progress-$locale" "$(window $BAR)"; last=$CLOSE leave=$CLOSE ;;
            restart) last=$RESTART_LATER leave=$RESTART_LATER ;;
            cancelled)
                window $BAR --press $CANCEL >/dev/null
                "$WINE" "$bin/boxreader.exe" --answer $YES --timeout 60000 >/dev/null
                last=$CLOSE leave=$CLOSE ;;
            failed)
                # A box says which program failed before the last page shows.
                "$WINE" "$bin/boxreader.exe" --timeout 60000 >/dev/null
                last=$OPEN_LOG leave=$CLOSE ;;
        esac
        shoot "window-$bundle-$locale" "$(window $last)"
        window $last --press $leave >/dev/null
        wait "$setup_pid" || true
        "$WINE" "$work/$bundle.exe" /uninstall /quiet >/dev/null 2>&1 || true
    done
done
