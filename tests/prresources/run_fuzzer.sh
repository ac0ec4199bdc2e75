#!/bin/sh
# Runs the PE resource fuzzer for a bounded time over a scratch copy of the committed seeds and,
# when wine is installed, of a few of its real programs.
set -e
fuzzer=$1 seeds=$2 seconds=$3
work=${PACKRIG_WORK_DIR:?}/prres_fuzz
rm -rf "$work"
mkdir -p "$work/corpus"
cp "$seeds"/* "$work/corpus/"
for program in winemine.exe write.exe control.exe; do
    file=/usr/lib/i386-linux-gnu/wine/i386-windows/$program
    if [ -f "$file" ]; then
        cp "$file" "$work/corpus/$program.bin"
    fi
done
cd "$work"
exec "$fuzzer" -max_total_time="$seconds" -max_len=400000 -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 corpus
