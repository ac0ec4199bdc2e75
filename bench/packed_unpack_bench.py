#!/usr/bin/env python3
"""Benchmark (not a test): unpacking time under wine of a compressed SFX file (packrig -z)
against the plain SFX file of the same tree, one run each after a warm-up run, and the decoding
module's share: the same compressed file unpacked by packrig-inspect natively. Prints sizes,
times and the ratio compressed / plain.

    python3 bench/packed_unpack_bench.py <tree> <program-in-tree>

Run with the environment of the end-to-end tests (WINE, WINEPREFIX, PACKRIG, PACKRIG_WIN_DIR,
PACKRIG_WORK_DIR)."""

import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "sfxhead"))
import e2e_wine  # noqa: E402
from e2e_wine import sfxfile  # noqa: E402


def build(tree, program, target, *switches):
    start = time.perf_counter()
    subprocess.run([os.environ["PACKRIG"], "-h", "-o", "-c", *switches, tree, program, target],
                   check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def unpack(path):
    with open(path, "rb") as f:
        data = f.read(1 << 20)
    end = sfxfile.image_end(data)
    identifier = data[end + 1:end + 11].decode()
    best = None
    for _ in range(2):  # the first run warms the page cache and the wine server
        shutil.rmtree(e2e_wine.work_dir(identifier), ignore_errors=True)
        start = time.perf_counter()
        result = e2e_wine.run_sfx(path, timeout=1800)
        elapsed = time.perf_counter() - start
        assert result.returncode == 0, result.stdout
        best = elapsed if best is None else min(best, elapsed)
    shutil.rmtree(e2e_wine.work_dir(identifier), ignore_errors=True)
    return best


def main():
    tree, program = sys.argv[1], sys.argv[2]
    work = os.path.join(os.environ.get("PACKRIG_WORK_DIR", "/tmp"), "packed-bench")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    plain = os.path.join(work, "plain.exe")
    packed = os.path.join(work, "packed.exe")
    build(tree, program, plain)
    build_time = build(tree, program, packed, "-z")
    e2e_wine.run_sfx(os.path.join(e2e_wine.WIN_DIR, "boxreader.exe"), "0")
    t_plain = unpack(plain)
    t_packed = unpack(packed)
    print("plain  %12d bytes  unpack %.2f s" % (os.path.getsize(plain), t_plain))
    print("-z     %12d bytes  unpack %.2f s  (built in %.1f s)"
          % (os.path.getsize(packed), t_packed, build_time))
    print("ratio  %.2fx" % (t_packed / t_plain))
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
