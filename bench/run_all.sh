#!/bin/sh
# Every benchmark of Packrig in one run, printed as one Markdown table: building against tar cf,
# zip -0 and cat with peak memory (bench/build_bench.sh), unpacking under wine against tar xf
# (tests/sfxhead/bench_unpack.py), ByteSum against memcpy (bytesum_bench) and the sizes of the
# shipped runtime modules. Not a test: run it by hand on a quiet machine; it first builds the
# programs that it runs (the target packrig_tests).
#   sh bench/run_all.sh [build-dir]
# Unpacking runs the Windows programs that the build chose for wine (build/wine-mode.txt): the
# shipped i686 runtime module under wine32, or its x86_64 twin under wine64; PACKRIG_WIN_DIR and
# WINE override the choice.
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-build}")
out=$(mktemp -d /var/tmp/packrig-bench-all.XXXXXX)
trap 'rm -rf "$out"' EXIT
cmake --build "$build" --target packrig_tests

if [ "$(cut -d: -f1 "$build/wine-mode.txt")" = win32 ]; then
    default_wine=wine default_dir=$build/win/bin
else
    default_wine=/usr/lib/wine/wine64 default_dir=$build/win64/bin
fi
echo "Windows programs: $(cat "$build/wine-mode.txt")"
export WINE=${WINE:-$default_wine} WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export PACKRIG_WIN_DIR=${PACKRIG_WIN_DIR:-$default_dir} PACKRIG_WORK_DIR=$out
export WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=

sh "$src/bench/build_bench.sh" "$build" > "$out/build.txt"
python3 "$src/tests/sfxhead/bench_unpack.py" > "$out/unpack.txt"
"$build/bin/bytesum_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_format=csv 2> /dev/null > "$out/bytesum.csv"

python3 - "$out" "$build/win/bin/sfxhead.exe" "$PACKRIG_WIN_DIR/sfxhead.exe" "$WINE" <<'PY'
import csv, os, re, sys
out, shipped, unpacker, wine = sys.argv[1:]
rows = []
tree = None
times = {}
for line in open(os.path.join(out, "build.txt")):
    m = re.match(r"== (\w+) tree: (.*)", line)
    if m:
        tree = "%s tree (%s)" % (m.group(1), m.group(2))
        continue
    m = re.match(r"(.*?)\s+([\d.]+) s\s+(\d+) KiB", line)
    if m and tree:
        cmd, secs, kib = m.group(1).strip(), float(m.group(2)), int(m.group(3))
        times[(tree, cmd)] = secs
        ref = times[(tree, "tar cf")]
        rows.append(("Build, %s: `%s`" % (tree, cmd), "%.2f s" % secs,
                     "%.2f x tar cf" % (secs / ref), "%.1f MiB peak" % (kib / 1024)))
for line in open(os.path.join(out, "unpack.txt")):
    m = re.match(r"(.*?)\s+sfx under wine\s+([\d.]+) s\s+tar xf\s+([\d.]+) s", line)
    if m:
        sfx, tar = float(m.group(2)), float(m.group(3))
        rows.append(("Unpack under wine, %s (tar xf: %.2f s)" % (m.group(1).strip(), tar),
                     "%.2f s" % sfx, "%.2f x tar xf" % (sfx / tar), ""))
rates = {}
for rec in csv.DictReader(l for l in open(os.path.join(out, "bytesum.csv")) if "," in l):
    if rec["name"].endswith("_median"):
        rates[rec["name"].split("_")[1]] = float(rec["bytes_per_second"]) / 1e9
rows.append(("ByteSum of 1 MiB (memcpy: %.1f GB/s)" % rates["Memcpy"], "%.1f GB/s" % rates["ByteSum"],
             "%.2f x memcpy" % (rates["ByteSum"] / rates["Memcpy"]), ""))
rows.append(("Runtime module `sfxhead.exe`, shipped i686", "%d bytes" % os.path.getsize(shipped),
             "", ""))
decoding = os.path.join(os.path.dirname(shipped), "sfxheadz.exe")
rows.append(("Decoding runtime module `sfxheadz.exe`, shipped i686",
             "%d bytes" % os.path.getsize(decoding), "", ""))
print("| Measure | Packrig | Ratio | Memory |")
print("|---|---:|---:|---:|")
for r in rows:
    print("| %s |" % " | ".join(r))
print()
print("Unpacking ran %s with %s." % (unpacker, os.path.basename(wine)))
PY
