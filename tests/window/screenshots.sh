#!/bin/sh
# Screenshots of the main window, the help window and the about box as PNG files, for people to
# look at: build/screenshots/main.png, help.png and about.png. Run from the source tree after a
# build; uses the build tree's wine prefix.
set -e
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
build=$(cd "$build" && pwd)
# Wine runs the x86_64 twins of the Windows programs here (see the top CMakeLists.txt).
export PACKRIG_WIN_DIR="$build/win64/bin" PACKRIG_WORK_DIR="$build/testwork"
export WINE="${WINE:-/usr/lib/wine/wine64}" WINEARCH="${WINEARCH:-win64}"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export PACKRIG_SHOTS="$build/screenshots"
"$here/../tools/make-wineprefix.sh"
xvfb-run -a -s "-screen 0 800x600x24" python3 "$here/window_test.py" layout
ls "$PACKRIG_SHOTS"/*.png
