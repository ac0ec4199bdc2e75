#!/bin/sh
# Sizes and times of compressed SFX files against tar, xz -9 and 7-Zip's -mx9 archive of the
# same three trees, all measured in this one run; prints a Markdown table. Not a test: run it by
# hand, after a build, on a quiet machine. Needs xz and 7zz (Debian package 7zip, for this
# benchmark only); unpacking under wine is timed when the build has a wine prefix.
#   sh bench/compress_bench.sh [build-dir [tree...]]
# Trees named after the build folder are measured alone (default: app docs media); the scratch
# folder is made under $PACKRIG_BENCH_TMP (default /var/tmp).
# PACKRIG_BENCH_SCALE=N (default 1) takes every N-th file of "app" and "stripped" and 1/N of the
# bytes of "docs" and "media", for a shorter run on a busy machine.
# The trees, gathered from this machine's files:
#   app    the i386 programs and DLLs that wine ships: `dpkg -L libwine:i386 | grep i386-windows`
#   stripped  the same without their debug information (i686-w64-mingw32-strip --strip-debug),
#          as other builds of wine ship them: 221 MB where this machine's carry 574 MB
#   docs   /usr/share/doc, then Python's *.py files under /usr/lib/python3*, up to about 100 MB
#          (of paths that differ only in case, the first: Windows holds one of them)
#   media  *.png, *.gz, *.jpg files anywhere on this file system (sorted by path, outside /proc,
#          /sys, /tmp, /var/tmp and /work), up to about 50 MB
#   jars   the jar files under /usr/share/java (not the links to them), every N-th of them
# PACKRIG_BENCH_REFERENCE=<packrig> adds another builder's -z (an earlier build, say) to the run:
# its size and build time, and ours as ratios to them.
# The program started by each SFX file is wine's hostname.exe, copied into docs and media.
# Each tree is made, measured and removed in turn.
set -eu
build=$(realpath "${1:-build}")
[ $# -gt 0 ] && shift
trees=${*:-app docs media}
scale=${PACKRIG_BENCH_SCALE:-1}
packrig=$build/bin/packrig
work=$(mktemp -d "${PACKRIG_BENCH_TMP:-/var/tmp}/packrig-compress.XXXXXX")
trap 'rm -rf "$work"' EXIT
wine_dir=/usr/lib/i386-linux-gnu/wine/i386-windows
wine64_dir=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
starter=hostname.exe

# Copies the files listed on stdin (absolute paths, one a line) into $1, keeping their paths.
copy_listed() {
    sed 's|^/||' | tar -C / --no-recursion -cf - -T - 2> /dev/null | tar -C "$1" -xf -
}

# Keeps the lines of stdin (file paths) while their sizes add up to at most $1 bytes.
up_to_bytes() {
    while IFS= read -r f; do
        printf '%s\t%s\n' "$(stat -c %s "$f")" "$f"
    done | awk -F '\t' -v cap="$1" '{ if (total + $1 > cap) exit; total += $1; print $2 }'
}

gather_app() {
    dpkg -L libwine:i386 | grep "^$wine_dir/." | while IFS= read -r f; do
        [ -f "$f" ] && echo "$f"
    done | awk -v n="$scale" 'NR % n == 0'
}

gather_stripped() {
    gather_app
}

gather_docs() {
    { find /usr/share/doc -type f | sort; find /usr/lib/python3* -type f -name '*.py' | sort; } |
        awk '!seen[tolower($0)]++' | up_to_bytes $((100000000 / scale))
}

gather_media() {
    find / -xdev \( -path /proc -o -path /sys -o -path /tmp -o -path /var/tmp -o -path /work \) \
        -prune -o -type f \( -name '*.png' -o -name '*.gz' -o -name '*.jpg' \) -print | sort |
        up_to_bytes $((50000000 / scale))
}

gather_jars() {
    find /usr/share/java -type f -name '*.jar' | sort | awk -v n="$scale" 'NR % n == 0'
}

make_tree() {
    mkdir -p "$work/$1"
    "gather_$1" | copy_listed "$work/$1"
    if [ "$1" = stripped ]; then # files that are no program are left as they are
        find "$work/$1" -type f -exec i686-w64-mingw32-strip --strip-debug {} + 2> /dev/null || true
    fi
    # (the x86_64 one where this machine has no i386 wine: it only has to be there)
    [ -n "$(starter_of "$work/$1")" ] || cp "$wine_dir/$starter" "$work/$1/$starter" 2> /dev/null ||
        cp "$wine64_dir/$starter" "$work/$1/$starter"
}

# Seconds taken by a command, output discarded. Its exit status is not looked at (7zz ends with
# 1 on warnings about single files); a command that wrote nothing fails the size that follows.
seconds() {
    /usr/bin/time -f %e -o "$work/time.txt" "$@" > /dev/null 2>&1 || true
    tail -n 1 "$work/time.txt"
}

size() {
    stat -c %s "$1"
}

# Path of the starter program inside a tree, relative to the tree and with "\" between folders,
# as the builder takes it to mark its entry.
starter_of() {
    (cd "$1" && find . -name "$starter" -type f | head -n 1 | sed 's|^\./||; s|/|\\|g')
}

# Seconds that an SFX file takes to unpack and run its program under wine, or "-" without wine
# or when the run fails. Each run starts from the same state: no working folders of earlier runs
# and no clean-up registered by them, since every run appends its files to one registry value
# that the next run reads and writes again.
unpack_seconds() {
    if [ ! -d "$WINEPREFIX" ] || ! command -v "$WINE" > /dev/null; then
        echo -
        return
    fi
    rm -rf "$WINEPREFIX"/drive_c/users/*/Temp/~sfx*
    "$WINE" reg delete 'HKLM\System\CurrentControlSet\Control\Session Manager' \
        /v PendingFileRenameOperations /f > /dev/null 2>&1 || true
    if /usr/bin/time -f %e -o "$work/time.txt" "$WINE" "$1" > /dev/null 2>&1; then
        tail -n 1 "$work/time.txt"
    else
        echo -
    fi
}

measure_tree() {
    name=$1
    tree=$work/$name
    files=$(find "$tree" -type f | wc -l)
    tar -C "$tree" -cf "$work/$name.tar" .
    xz_time=$(seconds xz -9 -T1 -k "$work/$name.tar")
    sz_time=$(seconds sh -c "cd '$tree' && 7zz a -mx9 '$work/$name.7z' . ")
    # -mx9 takes a dictionary of up to 256 MiB on large trees; the same run with ours, 64 MiB,
    # tells the encoders apart from the dictionaries.
    sz_dict=$(7zz l -slt "$work/$name.7z" | sed -n 's/^Method = .*LZMA2:\([0-9]*m*\).*/\1/p' | head -n 1)
    seconds sh -c "cd '$tree' && 7zz a -mx9 -md=64m '$work/$name-64m.7z' . " > /dev/null
    exe=$(starter_of "$tree")
    plain_time=$(seconds "$packrig" -h -o -c "$tree" "$exe" "$work/$name-plain.exe")
    z_time=$(seconds "$packrig" -h -o -c -z "$tree" "$exe" "$work/$name-z.exe")
    ref_time=- ref_size=-
    if [ -n "$reference" ]; then
        ref_time=$(seconds "$reference" -h -o -c -z "$tree" "$exe" "$work/$name-ref.exe")
        ref_size=$(size "$work/$name-ref.exe")
    fi
    run_plain=$work/$name-plain.exe run_z=$work/$name-z.exe
    if [ "$unpack_head" != "$packrig" ]; then # the x86_64 program is started, beside the tree's
        run_plain=$work/$name-plain-run.exe run_z=$work/$name-z-run.exe
        cp "$wine64_dir/$starter" "$tree/run64-$starter"
        "$unpack_head" -h -o -c "$tree" "run64-$starter" "$run_plain" > /dev/null 2>&1
        "$unpack_head" -h -o -c -z "$tree" "run64-$starter" "$run_z" > /dev/null 2>&1
        rm "$tree/run64-$starter"
    fi
    "$WINE" "$warm_dir/$starter" > /dev/null 2>&1 || true # wine server up before timing
    plain_unpack=$(unpack_seconds "$run_plain")
    z_unpack=$(unpack_seconds "$run_z")
    echo "$name $files $(size "$work/$name.tar") $(size "$work/$name.tar.xz") $xz_time" \
        "$(size "$work/$name.7z") $sz_time $(size "$work/$name-plain.exe") $plain_time" \
        "$(size "$work/$name-z.exe") $z_time $plain_unpack $z_unpack" \
        "$(size "$work/$name-64m.7z") ${sz_dict:--} $ref_size $ref_time" >> "$work/results.txt"
    rm -f "$work/$name".* "$work/$name"-*.exe "$work/$name"-64m.7z
}

# The build's wine mode decides what is unpacked: the shipped i686 modules under wine32, or, on
# a machine that runs no 32-bit program, SFX files of the same trees with the x86_64 twins of
# the modules under wine64 (sizes are always those of the shipped modules).
unpack_head=$packrig
reference=${PACKRIG_BENCH_REFERENCE:-}
wine_default=wine
warm_dir=$wine_dir
case $(cat "$build/wine-mode.txt" 2> /dev/null) in
win64*)
    unpack_head=$build/bin/packrig_testhead
    wine_default=/usr/lib/wine/wine64
    warm_dir=$wine64_dir
    echo "Unpacking: the x86_64 twins of the modules under wine64" >&2
    ;;
*) echo "Unpacking: the shipped i686 modules under wine32" >&2 ;;
esac
export WINE=${WINE:-$wine_default} WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
for tree in $trees; do
    make_tree "$tree"
    measure_tree "$tree"
    rm -rf "${work:?}/$tree"
done

python3 - "$work/results.txt" <<'PY'
import sys
rows = [line.split() for line in open(sys.argv[1])]
def n(x): return "{:,}".format(int(x))
def ratio(a, b): return "-" if "-" in (a, b) or float(b) == 0 else "%.3f" % (float(a) / float(b))
def dictionary(d):  # as 7-Zip lists it: "96m", or the power of two, "28"
    if d == "-": return d
    return d[:-1] + " MiB" if d.endswith("m") else "%d MiB" % (2 ** int(d) >> 20)
print("| Measure | " + " | ".join("%s (%s files)" % (r[0], n(r[1])) for r in rows) + " |")
print("|---|" + "---:|" * len(rows))
lines = [
    ("tar of the tree, bytes", lambda r: n(r[2])),
    ("xz -9 of the tar, bytes", lambda r: n(r[3])),
    ("7zz a -mx9, bytes", lambda r: n(r[5])),
    ("packrig -z, whole SFX file, bytes", lambda r: n(r[9])),
    ("packrig -z / 7zz -mx9, size", lambda r: ratio(r[9], r[5])),
    ("7zz -mx9 dictionary", lambda r: dictionary(r[14])),
    ("7zz a -mx9 -md=64m, bytes", lambda r: n(r[13])),
    ("packrig -z / 7zz -mx9 -md=64m, size", lambda r: ratio(r[9], r[13])),
    ("packrig -z / xz -9, size", lambda r: ratio(r[9], r[3])),
    ("xz -9 -T1 time, s", lambda r: r[4]),
    ("7zz a -mx9 time, s", lambda r: r[6]),
    ("packrig -z build time, s", lambda r: r[10]),
    ("packrig -z / xz -9, build time", lambda r: ratio(r[10], r[4])),
    ("packrig (plain) build time, s", lambda r: r[8]),
    ("plain SFX file, bytes", lambda r: n(r[7])),
    ("unpack under wine, plain SFX, s", lambda r: r[11]),
    ("unpack under wine, -z SFX, s", lambda r: r[12]),
    ("unpack -z / plain", lambda r: ratio(r[12], r[11])),
    ("reference -z, whole SFX file, bytes", lambda r: r[15] if r[15] == "-" else n(r[15])),
    ("reference -z / 7zz -mx9, size", lambda r: ratio(r[15], r[5])),
    ("reference -z build time, s", lambda r: r[16]),
    ("packrig -z / reference -z, build time", lambda r: ratio(r[10], r[16])),
]
for label, cell in lines:
    print("| %s | %s |" % (label, " | ".join(cell(r) for r in rows)))
PY
