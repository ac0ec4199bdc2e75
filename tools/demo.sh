#!/bin/sh
# The main job: builds Packrig, builds an SFX file from the example tree with the headless Linux
# builder, shows what it wrote, and runs it under wine.
#
# The shipped runtime module is a 32-bit Windows program. Where the build found that no 32-bit
# program starts under wine32 here (build/wine-mode.txt), the demo also builds the same SFX
# file around the runtime module's x86_64 twin and runs that one under wine64.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja
cmake --build "$build"

out="$build/demo"
rm -rf "$out"
mkdir -p "$out"
echo "== packrig -h -o -c examples/demo setup.bat $out/demo-sfx.exe"
"$build/bin/packrig" -h -o -c examples/demo setup.bat "$out/demo-sfx.exe"
python3 tests/tools/sfxdump.py "$out/demo-sfx.exe"

export WINEPREFIX="$PWD/$build/wineprefix-demo" WINEDEBUG=-all
echo "== Windows programs: $(cat "$build/wine-mode.txt")"
if [ "$(cut -d: -f1 "$build/wine-mode.txt")" = win32 ]; then
    sfx="$out/demo-sfx.exe"
    wine=wine
else
    echo "== 32-bit programs cannot run here: running the x86_64 twin under wine64"
    sfx="$out/demo-sfx-x64.exe"
    cmake --build "$build" --target packrig_testhead
    "$build/bin/packrig_testhead" -h -o -c examples/demo setup.bat "$sfx"
    wine=/usr/lib/wine/wine64
    export WINEARCH=win64
fi
[ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -i
echo "== $wine $sfx first second"
set +e
"$wine" "$sfx" first second
echo "== exit code $?"
id=$(python3 -c 'import sys; sys.path.insert(0, "tests/tools"); import sfxfile; print(sfxfile.parse(sys.argv[1]).identifier.decode())' "$sfx")
# The run's own folder: "~sfx" and the identifier, with a number behind it where that was taken.
workdir=$(ls -td "$WINEPREFIX"/drive_c/users/*/Temp/~sfx"$id"* | head -n 1)
echo "== unpacked into $workdir"
ls -lAR "$workdir"
echo "== ran.txt"
cat "$workdir/ran.txt"
