#!/usr/bin/env python3
"""Benchmark (not a test): unpacking an SFX file under wine against `tar xf` of the same tree
on Linux, one run each, for one 1 GiB file and for 5,000 small files (listed folder by folder,
as the builder lists them). Prints the times and the
ratios SFX / tar. Run with the environment of the end-to-end tests (WINE, WINEPREFIX,
PACKRIG_WIN_DIR, PACKRIG_WORK_DIR)."""

import os
import shutil
import subprocess
import sys
import tarfile
import time

sys.path.insert(0, os.path.dirname(__file__))
import e2e_wine  # noqa: E402
from e2e_wine import Entry, sfxfile  # noqa: E402


def trees():
    yield "one 1 GiB file", [("big.bin", os.urandom(1 << 20) * 1024)]
    yield "5000 small files", [("d%02d\\f%04d.txt" % (i // 100, i), os.urandom(2000 + i % 3000))
                               for i in range(5000)]


def time_sfx(work, files):
    path = os.path.join(work, "bench.exe")
    entries = [Entry(name, data) for name, data in files]
    entries.append(Entry("go.bat", b"exit /b 0\r\n", is_exe=1))
    sfxfile.write(path, e2e_wine.image(), entries, identifier="00BE4C0001")
    shutil.rmtree(e2e_wine.work_dir("00BE4C0001"), ignore_errors=True)
    # Start wine once beforehand so that its server start-up is not counted.
    e2e_wine.run_sfx(os.path.join(e2e_wine.WIN_DIR, "boxreader.exe"), "0")
    start = time.perf_counter()
    result = e2e_wine.run_sfx(path)
    elapsed = time.perf_counter() - start
    assert result.returncode == 0, result.stdout
    shutil.rmtree(e2e_wine.work_dir("00BE4C0001"), ignore_errors=True)
    os.remove(path)
    return elapsed


def time_tar(work, files):
    src = os.path.join(work, "src")
    for name, data in files:
        path = os.path.join(src, *name.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    archive = os.path.join(work, "bench.tar")
    with tarfile.open(archive, "w") as tar:
        tar.add(src, arcname=".")
    shutil.rmtree(src)
    out = os.path.join(work, "out")
    os.makedirs(out)
    subprocess.run(["sync"])
    start = time.perf_counter()
    subprocess.run(["tar", "xf", archive, "-C", out], check=True)
    elapsed = time.perf_counter() - start
    shutil.rmtree(out)
    os.remove(archive)
    return elapsed


def main():
    work = os.path.join(os.environ.get("PACKRIG_WORK_DIR", "/tmp"), "bench-unpack")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    for label, files in trees():
        tar = time_tar(work, files)
        sfx = time_sfx(work, files)
        print("%-18s sfx under wine %7.2f s   tar xf %7.2f s   ratio %5.2f"
              % (label, sfx, tar, sfx / tar))
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
