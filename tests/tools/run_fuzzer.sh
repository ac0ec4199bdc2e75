#!/bin/sh
# Runs a libFuzzer target for a bounded time over a scratch copy of its committed seeds and of
# any further seed files given that exist on this machine. A crash or broken invariant fails.
#   run_fuzzer.sh <fuzzer> <seed-dir> <seconds> <max-len> [seed-file...]
set -e
fuzzer=$1 seeds=$2 seconds=$3 max_len=$4
shift 4
work=${PACKRIG_WORK_DIR:?}/$(basename "$fuzzer")
rm -rf "$work"
mkdir -p "$work/corpus"
cp "$seeds"/* "$work/corpus/"
for file in "$@"; do
    if [ -f "$file" ]; then
        cp "$file" "$work/corpus/$(basename "$file").bin"
    fi
done
cd "$work"
exec "$fuzzer" -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 corpus
