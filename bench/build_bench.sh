#!/bin/sh
# Times the headless Linux builder against tar, zip -0 and cat on two trees made here: 1 GiB of
# large files, and several thousand small files. Every row is measured in this one run, with warm
# caches (each command runs once before it is timed), best of three. Prints times, ratios to
# `tar cf` and peak memory. Not a test: run it by hand.
#   sh bench/build_bench.sh [build-dir]
set -eu
build=${1:-build}
packrig=$(realpath "$build/bin/packrig")
work=$(mktemp -d /var/tmp/packrig-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

make_trees() {
    mkdir -p "$work/large" "$work/small"
    for i in $(seq 1 16); do
        head -c 67108864 /dev/urandom > "$work/large/part$i.bin"
    done
    for d in $(seq 1 50); do
        mkdir -p "$work/small/dir$d"
        for f in $(seq 1 100); do
            head -c $((1024 + (d * 131 + f * 977) % 15000)) /dev/urandom > "$work/small/dir$d/file$f.dat"
        done
    done
    cp "$work/large/part1.bin" "$work/large/setup.exe"
    : > "$work/small/setup.exe"
}

# Seconds (best of three) and peak resident memory in KiB of a command.
measure() {
    best=""
    for _ in 1 2 3; do
        rm -f "$work/out"*
        /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" > /dev/null 2>&1
        read -r secs kib < "$work/time.txt"
        if [ -z "$best" ] || [ "$(echo "$secs < $best" | bc)" = 1 ]; then best=$secs; fi
    done
    echo "$best $kib"
}

row() {
    label=$1; shift
    set -- $(measure "$@")
    printf '%-34s %8.2f s %10s KiB\n' "$label" "$1" "$2"
    eval "t_$(echo "$label" | tr -c 'a-z0-9\n' '_')=$1"
}

bench_tree() {
    tree=$1
    echo "== $tree tree: $(du -sh "$work/$tree" | cut -f1), $(find "$work/$tree" -type f | wc -l) files"
    cd "$work/$tree"
    set -- $(measure tar cf "$work/out.tar" .)
    tar=$1
    printf '%-34s %8.2f s %10s KiB  (reference)\n' "tar cf" "$1" "$2"
    for cmd in "packrig -h -o -c" "zip -0 -r -q" "cat"; do
        case $cmd in
            packrig*) set -- $(measure "$packrig" -h -o -c . setup.exe "$work/out.exe") ;;
            zip*) set -- $(measure zip -0 -r -q "$work/out.zip" .) ;;
            cat) set -- $(measure sh -c "find . -type f -exec cat {} + > $work/out.cat") ;;
        esac
        printf '%-34s %8.2f s %10s KiB  %.2f x tar\n' "$cmd" "$1" "$2" "$(echo "$1 / $tar" | bc -l)"
    done
    cd - > /dev/null
}

make_trees
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
bench_tree large
bench_tree small
