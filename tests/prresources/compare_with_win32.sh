#!/bin/sh
# Transfers the icon and version of real programs and of our fixtures into copies of a target,
# once with our own PE writer and once with the Win32 API under wine, and checks that both
# report the same results, carry the same resources byte for byte (as our reader and as the
# Win32 API see them), and still start.
set -eu
tool=$1
wintool=$PACKRIG_WIN_DIR/prres_tool_win.exe
programs=/usr/lib/i386-linux-gnu/wine/i386-windows
work=$PACKRIG_WORK_DIR/prres_compare
rm -rf "$work"
mkdir -p "$work"
cd "$work"

winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# source and target of each case
cases="$programs/notepad.exe:sfxhead.exe
$programs/regedit.exe:sfxhead.exe
$programs/winemine.exe:sfxhead.exe
$programs/taskmgr.exe:sfxhead.exe
$programs/wordpad.exe:sfxhead.exe
$PACKRIG_WIN_DIR/fx_source.exe:fx_target.exe
$PACKRIG_WIN_DIR/fx_source.exe:fx_noicon.exe
$PACKRIG_WIN_DIR/fx_noicon.exe:sfxhead.exe
$PACKRIG_WIN_DIR/fx_noversion.exe:fx_target.exe
$work/setup.bat:sfxhead.exe"
printf '@echo off\r\n' > setup.bat

set --
winargs=""
n=0
for pair in $cases; do
    source=${pair%%:*}
    target=${pair#*:}
    n=$((n + 1))
    cp "$PACKRIG_WIN_DIR/$target" "linux$n.exe"
    cp "$PACKRIG_WIN_DIR/$target" "win$n.exe"
    set -- "$@" transfer "$source" "$work/linux$n.exe"
    winargs="$winargs transfer $(winpath "$source") $(winpath "$work/win$n.exe")"
done
"$tool" "$@" > linux-results.txt
# shellcheck disable=SC2086
wine "$wintool" $winargs | tr -d '\r' > win-results.txt
diff -u win-results.txt linux-results.txt

status=0
i=1
while [ $i -le $n ]; do
    "$tool" dump "linux$i.exe" > "linux$i.ours.txt"
    "$tool" dump "win$i.exe" > "win$i.ours.txt"
    wine "$wintool" dump "$(winpath "$work/linux$i.exe")" | tr -d '\r' > "linux$i.win32.txt"
    wine "$wintool" dump "$(winpath "$work/win$i.exe")" | tr -d '\r' > "win$i.win32.txt"
    for view in ours win32; do
        if ! cmp -s "win$i.$view.txt" "linux$i.$view.txt"; then
            echo "case $i: resources differ ($view view)"
            status=1
        fi
    done
    if ! cmp -s "linux$i.ours.txt" "linux$i.win32.txt"; then
        echo "case $i: our reader and the Win32 API disagree"
        status=1
    fi
    for result in "linux$i.exe" "win$i.exe"; do
        if ! wine "$result"; then
            echo "case $i: $result does not run"
            status=1
        fi
    done
    i=$((i + 1))
done
exit $status
