#!/usr/bin/env python3
"""End-to-end runs of compressed SFX files under wine: the decoding module unpacks the tree and
starts the program with the arguments and exit code; damaged files are refused before anything
is written; each module refuses the other's payload; the progress window moves; the builder's
-z output runs.

Exits 77 (skipped) when this machine cannot start 32-bit Windows programs."""

import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import e2e_wine  # noqa: E402  (puts tests/tools on the path)
import deflate_tree  # noqa: E402
from e2e_wine import (FAILED, ID, WIN_DIR, Entry, SfxTestCase, helper, read_record,  # noqa: E402
                      run_sfx, sfxfile, windows_path, wine_env, work_dir)
from wineharness import Display, has_xvfb  # noqa: E402


def packed_image():
    with open(os.path.join(WIN_DIR, "sfxheadz.exe"), "rb") as f:
        return f.read()


def is_program(entry):
    return entry.data[:2] == b"MZ"


def code_like(size):
    """Bytes with many E8/E9 opcodes, as in machine code."""
    chunk = bytearray(os.urandom(4096))
    for i in range(0, len(chunk), 7):
        chunk[i] = 0xE8 if i % 2 else 0xE9
    return bytes(chunk) * (size // 4096) + bytes(chunk[:size % 4096])


class PackedTestCase(SfxTestCase):
    def write_packed(self, entries, name="packed.exe", **kw):
        path = os.path.join(self.dir, name)
        data = sfxfile.build_packed(packed_image(), entries, identifier=ID, x86=is_program, **kw)
        with open(path, "wb") as f:
            f.write(data)
        return path, data

    def assertRefusedWritingNothing(self, path):
        shutil.rmtree(work_dir(), ignore_errors=True)
        self.assertRefused(path)
        self.assertFalse(os.path.exists(work_dir()), "the working folder was made")


class PackedUnpackTest(PackedTestCase):
    def test_tree_arguments_exit_code_times_and_attributes(self):
        t = sfxfile.dos_time(2021, 3, 4, 5, 6, 8)
        entries = self.recorder_entries(exit_code=3) + [
            Entry("Docs\\Readme.txt", b"read me\r\n" * 100, time=t, attr=0x27),
            Entry("Docs\\Deep\\big.bin", os.urandom(2_500_000), time=t),
            Entry("lib\\code.dll", b"MZ" + code_like(1_500_000), time=t),
            Entry("empty.dat", b"", time=t, attr=0x20),
        ]
        path, _ = self.write_packed(entries, dict_size=1 << 20)
        result = run_sfx(path, "/S", "C:\\My Files",
                         env=wine_env(PACKRIG_RECORD=windows_path(self.record)))
        self.assertEqual(result.returncode, 3, result.stdout)
        rec = read_record(self.record)
        self.assertEqual(rec["args"], ["/S", "C:\\My Files"])
        self.assertTrue(rec["cwd"].rstrip("\\").endswith("\\~sfx" + ID), rec["cwd"])
        for e in entries:
            unix = os.path.join(work_dir(), *e.name.decode().split("\\"))
            with open(unix, "rb") as f:
                self.assertTrue(f.read() == e.data, e.name)
            expected = time.mktime(sfxfile.dos_time_to_tuple(e.time) + (0, 0, 0))
            expected -= time.timezone if time.daylight == 0 else 0
            self.assertAlmostEqual(os.stat(unix).st_mtime, expected, delta=2, msg=e.name)
        self.assertEqual(rec["files"]["Docs\\Readme.txt"] & 0x07, 0x07)


class PackedRefusalTest(PackedTestCase):
    def test_damaged_files_write_nothing_and_start_nothing(self):
        entries = self.recorder_entries() + [Entry("data.bin", os.urandom(200_000))]
        _, good = self.write_packed(entries)
        header = len(packed_image()) + 11
        cases = {}
        for at in (header, header + 4, header + 43, header + 44, header + 200, len(good) - 1):
            flipped = bytearray(good)
            flipped[at] ^= 0x10
            cases["flip%d" % at] = bytes(flipped)
        for cut in (header + 20, header + 44, header + 1000, len(good) - 1):
            cases["cut%d" % cut] = good[:cut]
        cases["dotdot"] = sfxfile.build_packed(
            packed_image(), [Entry("..\\..\\escaped.txt", b"x")] + self.recorder_entries(),
            identifier=ID)
        cases["plain payload"] = sfxfile.build(packed_image(), entries, identifier=ID)
        for name, data in cases.items():
            with self.subTest(name):
                path = os.path.join(self.dir, name.replace(" ", "-") + ".exe")
                with open(path, "wb") as f:
                    f.write(data)
                self.assertRefusedWritingNothing(path)

    def test_plain_module_refuses_a_compressed_payload(self):
        data = sfxfile.build_packed(e2e_wine.image(), self.recorder_entries(), identifier=ID)
        path = os.path.join(self.dir, "plain-head.exe")
        with open(path, "wb") as f:
            f.write(data)
        self.assertRefused(path)


@unittest.skipUnless(has_xvfb(), "needs Xvfb")
class PackedProgressTest(PackedTestCase):
    """The bar moves while the data is decoded: screenshots of its inner area differ."""

    def test_progress_bar_moves(self):
        if shutil.which("import") is None:
            self.skipTest("needs ImageMagick's import")
        entries = [Entry("big%d.bin" % i, bytes(100 << 20)) for i in range(3)]
        entries.append(Entry("go.bat", b"exit /b 0\r\n", is_exe=1))
        path, _ = self.write_packed(entries)
        shots = set()
        with Display() as display:
            run = subprocess.Popen([e2e_wine.WINE, path], env=display.env())
            deadline = time.monotonic() + 300
            while run.poll() is None and time.monotonic() < deadline:
                # The bar's inner rectangle of the centred 320 x 96 window on an 800 x 600 screen.
                shot = subprocess.run(["import", "-display", display.name, "-window", "root",
                                       "-crop", "288x20+256+312", "rgb:-"],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                if shot.returncode == 0 and shot.stdout:
                    shots.add(shot.stdout)
                time.sleep(0.2)
            self.assertEqual(run.wait(timeout=60), 0)
        self.assertGreaterEqual(len(shots), 3, "the bar showed fewer than three states")


@unittest.skipUnless(os.path.exists(os.environ.get("PACKRIG_TESTHEAD", "")),
                     "needs a Linux builder that embeds this module")
class PackedBuilderTest(PackedTestCase):
    """An SFX file built with -z: the decoding module at its head, the tree back whole."""

    def build(self, src, target):
        return subprocess.run([os.environ["PACKRIG_TESTHEAD"], "-h", "-o", "-c", "-z", src,
                               "bin\\argrecorder.exe", target], env=dict(os.environ, TZ="UTC"),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)

    def test_compressed_sfx_runs_and_a_damaged_one_is_refused(self):
        src = os.path.join(self.dir, "src")
        files = {"bin/argrecorder.exe": helper("argrecorder.exe"), "bin/exitcode.txt": b"7",
                 "Docs/Readme.txt": b"read me\r\n" * 1000, "lib/code.dll": helper("boxreader.exe"),
                 "big.bin": os.urandom(1_200_000), "empty.dat": b""}
        for rel, data in files.items():
            path = os.path.join(src, *rel.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        target = os.path.join(self.dir, "z.exe")
        build = self.build(src, target)
        if build.returncode != 0 and b"-z" in build.stdout:
            self.skipTest("this builder has no -z")
        self.assertEqual(build.returncode, 0, build.stdout)
        data, end, identifier = self.assertRunsAndUnpacks(target, files, 7)

        os.remove(self.record)
        shutil.rmtree(work_dir(identifier), ignore_errors=True)
        damaged = bytearray(data)
        damaged[len(data) // 2 + end // 2] ^= 0x01
        path = os.path.join(self.dir, "z-damaged.exe")
        with open(path, "wb") as f:
            f.write(damaged)
        self.assertRefused(path)
        self.assertFalse(os.path.exists(work_dir(identifier)), "the working folder was made")

    def test_deflate_streams_stored_inflated_come_back_whole(self):
        src = os.path.join(self.dir, "deflate")
        files, least, most = deflate_tree.deflate_files()
        files.update({"bin/argrecorder.exe": helper("argrecorder.exe"), "bin/exitcode.txt": b"0"})
        deflate_tree.write_tree(src, files)
        target = os.path.join(self.dir, "d.exe")
        build = self.build(src, target)
        self.assertEqual(build.returncode, 0, build.stdout)
        found = re.search(rb"recompressed (\d+) deflate streams", build.stdout)
        self.assertTrue(found and least <= int(found.group(1)) <= most, build.stdout)
        self.assertRunsAndUnpacks(target, files, 0)

    def assertRunsAndUnpacks(self, target, files, exit_code):
        """Runs the SFX file with one argument: the exit code, the argument and every file back."""
        with open(target, "rb") as f:
            data = f.read()
        end = sfxfile.image_end(data)
        self.assertEqual(data[end + 11:end + 15], b"PRZ1")
        self.assertEqual(data[:2], packed_image()[:2])
        identifier = data[end + 1:end + 11].decode()
        shutil.rmtree(work_dir(identifier), ignore_errors=True)
        result = run_sfx(target, "one", env=wine_env(PACKRIG_RECORD=windows_path(self.record)))
        self.assertEqual(result.returncode, exit_code, result.stdout)
        self.assertEqual(read_record(self.record)["args"], ["one"])
        for rel, content in files.items():
            with open(os.path.join(work_dir(identifier), *rel.split("/")), "rb") as f:
                self.assertTrue(f.read() == content, rel)
        return data, end, identifier


if __name__ == "__main__":
    e2e_wine.main()
