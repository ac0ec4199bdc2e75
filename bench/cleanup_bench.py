#!/usr/bin/env python3
"""Benchmark (not a test): unpacking and clean-up of N small files in 20 folders under wine, for
one or more runtime modules against the bare calls of the callfloor helper, all in this one
run. "unpack" runs from the start of the process until the started program ran (for callfloor:
until its files are written), "clean-up" from then until the process has ended. Each run starts
from the same fresh registry, so no run sees the delayed deletions of another. Unpacking is
given as a ratio to callfloor's create phase, clean-up as a ratio to callfloor clearing the
attributes alone (the part of the clean-up that needs one call per file). Every figure is the
best of --repeat runs, taken in rounds through all commands.

    python3 bench/cleanup_bench.py [--counts 1000,2000] [label=sfxhead.exe ...]

Without modules it measures PACKRIG_WIN_DIR's sfxhead.exe. Needs the environment of the
end-to-end tests (WINE, WINEARCH, PACKRIG_WIN_DIR, PACKRIG_WORK_DIR); makes its own prefix."""

import argparse
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "tools"))
import sfxfile  # noqa: E402
from sfxfile import Entry  # noqa: E402
from wineharness import windows_path  # noqa: E402

WINE = os.environ.get("WINE", "wine")
WIN_DIR = os.environ.get("PACKRIG_WIN_DIR", "")
WORK = os.path.join(os.environ.get("PACKRIG_WORK_DIR", "/var/tmp"), "cleanup-bench")
PREFIX = os.path.join(WORK, "prefix")
ID = "00C1EA0001"
FOLDERS = 20
BYTES = 2000


def env():
    e = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all", TZ="UTC",
             WINEDLLOVERRIDES="mscoree,mshtml=")
    e.pop("DISPLAY", None)
    return e


def wineserver(*args):
    subprocess.run(["wineserver", *args], env=env(), timeout=600)


def callfloor():
    return os.path.join(WIN_DIR, "callfloor.exe")


def make_prefix():
    shutil.rmtree(PREFIX, ignore_errors=True)
    subprocess.run([WINE, "wineboot", "-i"], env=env(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    wineserver("-w")
    shutil.copy(os.path.join(PREFIX, "system.reg"), os.path.join(WORK, "system.reg"))


def temp_dir():
    users = os.path.join(PREFIX, "drive_c", "users")
    for user in os.listdir(users):
        path = os.path.join(users, user, "Temp")
        if os.path.isdir(path):
            return path
    raise RuntimeError("no temporary folder in the prefix")


def fresh_start():
    """Stops wine, restores the prefix's fresh registry and starts wine again, so that the
    timed run neither sees earlier deletions nor pays for the server's start."""
    wineserver("-k")
    wineserver("-w")
    shutil.copy(os.path.join(WORK, "system.reg"), os.path.join(PREFIX, "system.reg"))
    shutil.rmtree(os.path.join(temp_dir(), "~sfx" + ID), ignore_errors=True)
    shutil.rmtree(os.path.join(WORK, "floor"), ignore_errors=True)
    subprocess.run([WINE, callfloor(), "stamp", windows_path(os.path.join(WORK, "warm.txt"))],
                   env=env(), check=True)


def stamp_seconds(path):
    with open(path) as f:
        return int(f.read()) / 1e7 - 11644473600


def timed(command, stamp):
    """Seconds until the stamp was written and from then to the end of the command."""
    if os.path.exists(stamp):
        os.remove(stamp)
    start = time.time()
    result = subprocess.run(command, env=env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    end = time.time()
    if result.returncode != 0 or not os.path.exists(stamp):
        raise RuntimeError("%s failed: %s" % (command, result.stdout.decode(errors="replace")))
    mid = stamp_seconds(stamp)
    return mid - start, end - mid


def sfx_file(path, image, count):
    per_folder = (count + FOLDERS - 1) // FOLDERS
    data = b"x" * BYTES
    t = sfxfile.dos_time(2021, 4, 3, 12, 0, 0)
    entries = [Entry("d%02d\\f%05d.dat" % (i // per_folder, i), data, time=t, attr=0x20)
               for i in range(count)]
    with open(callfloor(), "rb") as f:
        entries.append(Entry("callfloor.exe", f.read(), time=t, attr=0x20, is_exe=1))
    sfxfile.write(path, image, entries, identifier=ID)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--counts", default="1000,2000,4000,8000,16000")
    parser.add_argument("--repeat", type=int, default=1, help="runs per figure, best kept")
    parser.add_argument("modules", nargs="*", help="label=path of a runtime module")
    args = parser.parse_args()
    modules = [m.split("=", 1) for m in args.modules] or \
        [("sfxhead", os.path.join(WIN_DIR, "sfxhead.exe"))]
    os.makedirs(WORK, exist_ok=True)
    make_prefix()
    stamp = windows_path(os.path.join(WORK, "stamp.txt"))
    header = "| N | callfloor create | callfloor clean-up | callfloor clearing only |"
    for label, _ in modules:
        header += " %s unpack | %s clean-up |" % (label, label)
    print(header)
    print("|---:" * (4 + 2 * len(modules)) + "|")
    for count in (int(c) for c in args.counts.split(",")):
        floor_dir = windows_path(os.path.join(WORK, "floor")) + "\\"
        floor = [WINE, callfloor(), "files", floor_dir, str(count), str(FOLDERS), str(BYTES), stamp]
        commands = [floor, floor + ["clear-only"]]
        for label, module in modules:
            with open(module, "rb") as f:
                image = f.read()
            path = os.path.join(WORK, "bench-%s.exe" % label)
            sfx_file(path, image, count)
            commands.append([WINE, path, "stamp", stamp])
        # Rounds through all commands, so that a busy spell of the machine hits every one.
        best = [(float("inf"), float("inf"))] * len(commands)
        for _ in range(args.repeat):
            for i, command in enumerate(commands):
                fresh_start()
                t = timed(command, os.path.join(WORK, "stamp.txt"))
                best[i] = (min(best[i][0], t[0]), min(best[i][1], t[1]))
        (create, clean), clear, rest = best[0], best[1][1], best[2:]
        row = "| %d | %.2f s | %.2f s | %.2f s |" % (count, create, clean, clear)
        for unpack, cleanup in rest:
            row += " %.2f s (%.2f x) | %.2f s (%.2f x) |" % (unpack, unpack / create, cleanup,
                                                              cleanup / clear)
        print(row, flush=True)
    wineserver("-k")
    shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
