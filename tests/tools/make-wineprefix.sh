#!/bin/sh
# Creates the wine prefix that every end-to-end test of this build tree shares. The first start
# of wine in a new prefix takes a while; later tests reuse it.
set -e
: "${WINEPREFIX:?}"
if [ -f "$WINEPREFIX/system.reg" ] && [ -f "$WINEPREFIX/.packrig-ready" ]; then
    exit 0
fi
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
WINEARCH=win32 wineboot -i
wineserver -w
touch "$WINEPREFIX/.packrig-ready"
