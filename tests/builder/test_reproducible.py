"""Reproducible builds of the Linux builder: with SOURCE_DATE_EPOCH the same tree gives the same
bytes, plain and compressed (-z), the identifier follows the payload and later times are
clamped; without it identifiers are drawn; an invalid value is refused."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.environ["PACKRIG_SOURCE_DIR"], "tests", "tools"))
import sfxfile  # noqa: E402

PACKRIG = os.environ["PACKRIG"]
EPOCH = 1700000000  # 2023-11-14 22:13:20 UTC


class ReproducibleTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="packrig-repro-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.src = os.path.join(self.dir, "src")
        os.makedirs(os.path.join(self.src, "sub"))
        self.write("setup.bat", b"@echo off\r\n")
        self.write("sub/big.bin", bytes(range(256)) * 5000)  # beyond one buffer of 1 MiB
        self.write("sub/new.txt", b"new")
        self.old = time.mktime((2010, 3, 4, 5, 6, 8, 0, 0, -1))
        os.utime(os.path.join(self.src, "setup.bat"), (self.old, self.old))
        self.count = 0

    def write(self, rel, data):
        with open(os.path.join(self.src, rel), "wb") as f:
            f.write(data)

    def build(self, epoch, *switches):
        self.count += 1
        target = os.path.join(self.dir, "out%d.exe" % self.count)
        env = dict(os.environ)
        env.pop("SOURCE_DATE_EPOCH", None)
        if epoch is not None:
            env["SOURCE_DATE_EPOCH"] = epoch
        result = subprocess.run([PACKRIG, "-o", "-c", "-h", *switches, self.src, "setup.bat",
                                 target],
                                env=env, capture_output=True, text=True, timeout=120)
        return result, target

    def built(self, epoch, *switches):
        result, target = self.build(epoch, *switches)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(target, "rb") as f:
            return f.read()

    def test_same_tree_same_bytes_and_the_identifier_follows_the_payload(self):
        first = self.built(str(EPOCH))
        self.assertEqual(first, self.built(str(EPOCH)))
        ident = sfxfile.parse_bytes(first).identifier
        self.assertRegex(ident.decode(), r"^00[0-7][0-9A-F]{7}$")
        data = bytearray(open(os.path.join(self.src, "sub", "big.bin"), "rb").read())
        data[700000] ^= 1
        self.write("sub/big.bin", bytes(data))
        self.assertNotEqual(sfxfile.parse_bytes(self.built(str(EPOCH))).identifier, ident)

    def test_compressed_builds_too(self):
        first = self.built(str(EPOCH), "-z")
        self.assertEqual(first, self.built(str(EPOCH), "-z"))
        end = sfxfile.image_end(first)
        self.assertEqual(first[end + 11:end + 15], b"PRZ1")
        ident = first[end + 1:end + 11]
        self.assertRegex(ident.decode(), r"^00[0-7][0-9A-F]{7}$")
        self.assertNotEqual(ident, sfxfile.parse_bytes(self.built(str(EPOCH))).identifier)
        self.write("sub/new.txt", b"New")
        self.assertNotEqual(self.built(str(EPOCH), "-z")[end + 1:end + 11], ident)

    def test_later_times_are_clamped_earlier_ones_kept(self):
        parsed = sfxfile.parse_bytes(self.built(str(EPOCH)))
        times = {e.name.decode(): e.time for e in parsed.entries}
        t = time.localtime(EPOCH)
        clamp = sfxfile.dos_time(t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec)
        self.assertEqual(times["sub\\new.txt"], clamp)
        self.assertEqual(times["setup.bat"], sfxfile.dos_time(2010, 3, 4, 5, 6, 8))
        early = sfxfile.parse_bytes(self.built("0"))
        self.assertTrue(all(e.time == sfxfile.dos_time(1980, 1, 1) for e in early.entries))

    def test_without_the_variable_identifiers_differ(self):
        ids = {sfxfile.parse_bytes(self.built(None)).identifier for _ in range(3)}
        self.assertEqual(len(ids), 3)

    def test_invalid_values_are_refused(self):
        for value in ["", "abc", "-1", "1.5", " 17", "1e9", "99999999999999"]:
            with self.subTest(value=value):
                result, target = self.build(value)
                self.assertEqual(result.returncode, 2)
                self.assertIn("SOURCE_DATE_EPOCH is not a valid time", result.stderr + result.stdout)
                self.assertFalse(os.path.exists(target))


if __name__ == "__main__":
    unittest.main(verbosity=2)
