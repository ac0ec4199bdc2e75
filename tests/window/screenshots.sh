#!/bin/sh
# Screenshots of the main window, the help window and the about box as PNG files, for people to
# look at: build/screenshots/main.png, help.png and about.png. Run from the source tree after a
# build of the tests (the target packrig_tests, which makes the Windows test helpers); uses the
# build tree's wine prefix.
set -e
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
build=$(cd "$build" && pwd)
# Wine runs what the build tree's tests run, as the build chose it (build/wine-mode.txt): the
# shipped i686 programs under wine32, with the build's wine loader for them, or their x86_64
# twins under wine64 (see the top CMakeLists.txt).
if [ "$(cut -d: -f1 "$build/wine-mode.txt")" = win32 ]; then
    wine32=$(sed -n 's/^PACKRIG_WINE32:[A-Z]*=//p' "$build/CMakeCache.txt")
    export PACKRIG_WIN_DIR="$build/win/bin" WINE="${WINE:-${wine32:-wine}}"
    export WINEARCH="${WINEARCH:-win32}"
else
    export PACKRIG_WIN_DIR="$build/win64/bin" WINE="${WINE:-/usr/lib/wine/wine64}"
    export WINEARCH="${WINEARCH:-win64}"
fi
export PACKRIG_WORK_DIR="$build/testwork"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export PACKRIG_SHOTS="$build/screenshots"
"$here/../tools/make-wineprefix.sh"
xvfb-run -a -s "-screen 0 800x600x24" python3 "$here/window_test.py" layout
ls "$PACKRIG_SHOTS"/*.png
