#!/bin/sh
# Creates the wine prefix that every end-to-end test of this build tree shares. The first start
# of wine in a new prefix takes a while; later tests reuse it. WINE names the wine loader
# (wine64 for the x86_64 programs), WINEARCH the prefix's kind.
set -e
: "${WINEPREFIX:?}" "${WINE:=wine}" "${WINEARCH:=win64}"
if [ -f "$WINEPREFIX/.packrig-ready" ]; then
    exit 0
fi
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
export WINEARCH
"$WINE" wineboot -i
wineserver -w
touch "$WINEPREFIX/.packrig-ready"
