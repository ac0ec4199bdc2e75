#!/bin/sh
# Screenshots of the Linux builder's Qt windows (main window, help window, about box) under Xvfb,
# beside those of the Windows builder under wine: build/screenshots/qt-*.png, and the pairs
# side by side in compare-*.png (Windows left, Linux right). Run from the source tree after a
# build of the tests (the target packrig_tests); NO_WINE=1 skips the Windows half.
set -e
here=$(cd "$(dirname "$0")" && pwd)

if [ "$1" != "--inside-x" ]; then
    build=${1:-$here/../../build}
    build=$(cd "$build" && pwd)
    mkdir -p "$build/screenshots"
    if [ -z "$NO_WINE" ]; then
        "$here/screenshots.sh" "$build"
    fi
    exec xvfb-run -a -s "-screen 0 800x600x24" "$0" --inside-x "$build"
fi

build=$2
shots=$build/screenshots
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT

# Waits for a window whose title is exactly $1 and prints its id.
window() {
    timeout 20 xdotool search --sync --onlyvisible --name "^$1\$" | head -n 1
}

# The Qt window has no display of its own here but the virtual one; settings go to a temporary
# folder so that no user's remembered paths show.
XDG_CONFIG_HOME=$config QT_QPA_PLATFORM=xcb "$build/bin/packrig" &
builder=$!
main=$(window "Packrig 3.0")
sleep 1
import -window root "$shots/qt-main.png"

xdotool mousemove --window "$main" 150 182 click 1
help=$(window "Packrig 3.0 - Command line support")
sleep 1
import -window root "$shots/qt-help.png"
xdotool mousemove --window "$help" 517 300 click 1
sleep 0.5

xdotool windowfocus --sync "$main"
xdotool key F1
about=$(window "About...")
sleep 1
import -window root "$shots/qt-about.png"
xdotool mousemove --window "$about" 133 180 click 1
sleep 0.5

kill "$builder"
wait "$builder" 2>/dev/null || true

for name in main help about; do
    if [ -f "$shots/$name.png" ]; then
        convert "$shots/$name.png" "$shots/qt-$name.png" +append "$shots/compare-$name.png"
    fi
done
ls "$shots"/qt-*.png "$shots"/compare-*.png 2>/dev/null || ls "$shots"/qt-*.png
