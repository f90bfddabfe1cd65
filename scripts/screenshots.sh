#!/usr/bin/env bash
# Screenshots of the help box in each of the six languages, taken on the Xvfb
# display of a Wine session:
#   scripts/screenshots.sh [BUILD_DIR]     (default build/x86_64)
# writes BUILD_DIR/screenshots/help-<locale>.png (the box, cropped) and prints
# each box's caption and text as boxreader read it.
set -euo pipefail

build=${1:-build/x86_64}
if [ -z "${WINEPREFIX:-}" ] || [ -z "${DISPLAY:-}" ]; then
    exec "$(dirname "$0")/session.sh" "$build" "$0" "$build"
fi

. "$(dirname "$0")/wine.sh"
bin=$(cd "$build/bin" && pwd)
WINE=$(wine_for "$bin/setup.exe")
out="$build/screenshots"
mkdir -p "$out"

for locale in en_US de_DE es_ES fr_FR it_IT ja_JP; do
    LANG=$locale.UTF-8 LC_ALL=$locale.UTF-8 "$WINE" "$bin/setup.exe" /? &
    setup_pid=$!
    # Wait for the box and leave it open; then let it paint before the shot.
    report=$("$WINE" "$bin/boxreader.exe" --keep --timeout 20000) || {
        echo "screenshots: no help box for $locale" >&2; kill "$setup_pid" 2>/dev/null; exit 1; }
    sleep 0.5
    read -r left top width height < <(sed -n 's/^rect: //p' <<<"$report")
    import -window root -crop "${width}x${height}+${left}+${top}" +repage "$out/help-$locale.png"
    "$WINE" "$bin/boxreader.exe" --timeout 10000 >/dev/null
    wait "$setup_pid" || true
    echo "== $locale -> $out/help-$locale.png"
    sed '/^rect: /d;/^--$/d' <<<"$report"
done
