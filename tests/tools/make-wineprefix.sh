#!/bin/sh
# Creates the wine prefix that every end-to-end test of this build tree shares, then checks that
# the Windows programs of the tests start at all. The first start of wine in a new prefix takes a
# while; later tests reuse it. WINE names the wine loader (wine64 for the x86_64 programs),
# WINEARCH the prefix's kind. Every wine test depends on this one: when a program cannot be
# loaded (a missing DLL, a wrong architecture), this fails at once with the loader's message and
# the wine tests are not run, instead of each waiting out its timeout.
set -e
: "${WINEPREFIX:?}" "${WINE:=wine}" "${WINEARCH:=win64}" "${PACKRIG_WIN_DIR:?}"
if [ ! -f "$WINEPREFIX/.packrig-ready" ]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    export WINEARCH
    "$WINE" wineboot -i
    wineserver -w
    touch "$WINEPREFIX/.packrig-ready"
fi

# Each program with arguments that make it end at once; without a display, message boxes return.
unset DISPLAY WAYLAND_DISPLAY
failed=0
for program in "packrig.exe -h" "prres_tool_win.exe" "windowprobe.exe hello" "sfxhead.exe"; do
    set -- $program
    name=$1
    shift
    log=$(WINEDEBUG=err+module timeout 120 "$WINE" "$PACKRIG_WIN_DIR/$name" "$@" 2>&1 >/dev/null) &&
        code=0 || code=$?
    if [ "$code" = 53 ] || [ "$code" = 124 ] || printf '%s' "$log" | grep -q "err:module"; then
        echo "$name cannot start under $WINE (exit code $code):"
        printf '%s\n' "$log"
        failed=1
    fi
done
exit $failed
