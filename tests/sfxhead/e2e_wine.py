#!/usr/bin/env python3
"""End-to-end runs of SFX files under wine: launching with arguments, working folder and exit
code, the unpacked tree, the delayed deletions, refusals of damaged files, the error reports
and the progress window under Xvfb.

Exits 77 (skipped) when this machine cannot start 32-bit Windows programs."""

import glob
import re
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
import sfxfile  # noqa: E402
from deflate_tree import write_tree  # noqa: E402
from sfxfile import Entry  # noqa: E402
from wineharness import (Display, exit_unless_wine_starts, has_xvfb,  # noqa: E402,F401
                         run_with_box, start_wine_quietly, stop_wine, wine_env, windows_path)

WIN_DIR = os.environ.get("PACKRIG_WIN_DIR", "")
PREFIX = os.environ.get("WINEPREFIX", "")
WORK = os.path.join(os.environ.get("PACKRIG_WORK_DIR", tempfile.gettempdir()), "sfxhead")
FAILED = 255  # exit code -1 as the shell sees it
ID = "0012AB34CD"
WINE = os.environ.get("WINE", "wine")


def image():
    with open(os.path.join(WIN_DIR, "sfxhead.exe"), "rb") as f:
        return f.read()


def helper(name):
    with open(os.path.join(WIN_DIR, name), "rb") as f:
        return f.read()


def run_sfx(path, *args, timeout=300, env=None):
    env = env or wine_env()
    start_wine_quietly(env)
    return subprocess.run([WINE, path, *args], env=env, timeout=timeout,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def temp_dir():
    found = glob.glob(os.path.join(PREFIX, "drive_c", "users", "*", "Temp"))
    return found[0]


def work_dir(identifier=ID):
    return os.path.join(temp_dir(), "~sfx" + identifier)


def read_record(path):
    with open(path, encoding="latin-1") as f:
        lines = f.read().splitlines()
    files = {}
    for line in lines:
        if line.startswith("file="):
            name, attr = line[5:].rsplit(" attr=", 1)
            files[name] = int(attr, 16)
    return {"cmdline": lines[0][8:], "cwd": lines[1][4:], "files": files,
            "args": [l[4:] for l in lines[3:] if l.startswith("arg=")],
            "wargs": [l[5:].encode("latin-1").decode("utf-8")
                      for l in lines[3:] if l.startswith("warg=")]}


def pending_deletions():
    subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=120)
    with open(os.path.join(PREFIX, "system.reg"), encoding="latin-1") as f:
        text = f.read()
    match = re.search(r'"PendingFileRenameOperations"=str\(7\):"((?:[^"\\]|\\.)*)"', text)
    if match is None:
        return []
    escapes = {"\\": "\\", "0": "\0", '"': '"', "n": "\n"}
    names = re.sub(r"\\(.)", lambda m: escapes.get(m.group(1), m.group(1)),
                   match.group(1)).split("\0")
    # Pairs of (source, target); a deletion has an empty target.
    return [names[i] for i in range(0, len(names) - 1, 2) if names[i]]


class SfxTestCase(unittest.TestCase):
    def setUp(self):
        self.dir = os.path.join(WORK, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        shutil.rmtree(work_dir(), ignore_errors=True)
        self.record = os.path.join(self.dir, "record.txt")

    def write(self, entries, name="test.exe", **kw):
        path = os.path.join(self.dir, name)
        sfxfile.write(path, image(), entries, identifier=ID, **kw)
        return path

    def recorder_entries(self, exit_code=3):
        return [Entry("bin\\argrecorder.exe", helper("argrecorder.exe"), is_exe=1),
                Entry("bin\\exitcode.txt", b"%d\r\n" % exit_code)]

    def assertRefused(self, path):
        result = run_sfx(path, env=wine_env(PACKRIG_RECORD=windows_path(self.record)))
        self.assertEqual(result.returncode, FAILED, result.stdout)
        self.assertFalse(os.path.exists(self.record), "the program was started")


class LaunchTest(SfxTestCase):
    def test_arguments_working_folder_and_exit_code(self):
        path = self.write(self.recorder_entries(exit_code=3))
        result = run_sfx(path, "/S", "C:\\My Files", "",
                         env=wine_env(PACKRIG_RECORD=windows_path(self.record)))
        self.assertEqual(result.returncode, 3, result.stdout)
        rec = read_record(self.record)
        self.assertTrue(rec["cmdline"].endswith(' "/S" "C:\\My Files" ""'), rec["cmdline"])
        self.assertEqual(rec["args"], ["/S", "C:\\My Files", ""])
        self.assertTrue(rec["cwd"].rstrip("\\").endswith("\\~sfx" + ID), rec["cwd"])

    def test_every_argument_arrives_intact(self):
        path = self.write(self.recorder_entries(exit_code=0))
        env = wine_env(PACKRIG_RECORD=windows_path(self.record))
        for args in (["two words", 'say "hi"', "back\\slash\\", "", "\u00e9", "\u65e5\u672c"],
                     ['/D="C:\\Program Files\\App\\"', "/S", "C:\\Program Files\\App\\"],
                     ["tab\there", '\\"', '\\\\"x', "\\\\server\\share\\\\", '""', " "],
                     []):
            with self.subTest(args=args):
                if os.path.exists(self.record):
                    os.remove(self.record)
                result = run_sfx(path, *args, env=env)
                self.assertEqual(result.returncode, 0, result.stdout)
                rec = read_record(self.record)
                self.assertEqual(rec["wargs"], args)
                if all(arg.isascii() for arg in args):
                    self.assertEqual(rec["args"], args)

    def test_batch_file_as_program(self):
        out = windows_path(os.path.join(self.dir, "bat.txt"))
        script = ("@echo off\r\necho [%%*]> \"%s\"\r\ncd>> \"%s\"\r\nexit /b 4\r\n"
                  % (out, out)).encode()
        path = self.write([Entry("go.bat", script, is_exe=1), Entry("x", b"1")])
        result = run_sfx(path, "a", "b")
        self.assertEqual(result.returncode, 4, result.stdout)
        with open(os.path.join(self.dir, "bat.txt")) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0].strip("[] "), '"a" "b"')
        self.assertTrue(lines[1].rstrip("\\").endswith("~sfx" + ID), lines)


class UnpackTest(SfxTestCase):
    def test_tree_times_attributes_and_delayed_deletions(self):
        t = sfxfile.dos_time(2021, 3, 4, 5, 6, 8)
        entries = self.recorder_entries(exit_code=0) + [
            Entry("Docs\\Readme.txt", b"read me\r\n", time=t, attr=0x27),
            Entry("Docs\\Deep\\big.bin", os.urandom(3_000_000), time=t),
            Entry("empty.dat", b"", time=t, attr=0x20),
        ]
        path = self.write(entries)
        result = run_sfx(path, env=wine_env(PACKRIG_RECORD=windows_path(self.record)))
        self.assertEqual(result.returncode, 0, result.stdout)
        root = work_dir()
        for e in entries:
            unix = os.path.join(root, *e.name.decode().split("\\"))
            with open(unix, "rb") as f:
                self.assertEqual(f.read(), e.data, e.name)
            # Times are stored as local MS-DOS time; the tests run wine in UTC.
            expected = time.mktime(sfxfile.dos_time_to_tuple(e.time) + (0, 0, 0))
            expected -= time.timezone if time.daylight == 0 else 0
            self.assertAlmostEqual(os.stat(unix).st_mtime, expected, delta=2, msg=e.name)
        attrs = read_record(self.record)["files"]
        self.assertEqual(attrs["Docs\\Readme.txt"] & 0x07, 0x07)
        self.assertEqual(attrs["Docs\\Deep\\big.bin"] & 0x07, 0)
        # The clean-up clears every attribute, read-only included.
        self.assertTrue(os.access(os.path.join(root, "Docs", "Readme.txt"), os.W_OK))

        deletions = [d.replace("\\??\\", "") for d in pending_deletions()]
        tail = deletions[-(len(entries) + 4):]
        win_root = tail[-1]
        self.assertTrue(win_root.endswith("~sfx" + ID), tail)
        self.assertEqual(tail[:len(entries)],
                         [win_root + "\\" + e.name.decode() for e in entries])
        folders = tail[len(entries):]
        self.assertLess(folders.index(win_root + "\\Docs\\Deep"), folders.index(win_root + "\\Docs"))
        self.assertEqual(folders[-1], win_root)


class CleanupRegistryTest(SfxTestCase):
    SESSION_MANAGER = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"

    def reg(self, *args):
        return subprocess.run([WINE, "reg", *args[:1], self.SESSION_MANAGER, "/v",
                               "PendingFileRenameOperations", *args[1:]], env=wine_env(),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

    def test_thousands_of_files_registered_once_in_order_behind_earlier_entries(self):
        self.reg("delete", "/f")
        seeded = subprocess.run([WINE, os.path.join(WIN_DIR, "callfloor.exe"), "register",
                                 "C:\\earlier\\run.txt"], env=wine_env(), timeout=120)
        self.assertEqual(seeded.returncode, 0)
        files = [Entry("d%02d\\f%04d.txt" % (i % 20, i), b"%d" % i, attr=0x21)
                 for i in range(3000)]
        entries = self.recorder_entries(exit_code=0) + files
        result = run_sfx(self.write(entries))
        self.assertEqual(result.returncode, 0, result.stdout)

        deletions = pending_deletions()
        self.assertEqual(deletions[0], "\\??\\C:\\earlier\\run.txt")
        root = deletions[-1]
        self.assertTrue(root.startswith("\\??\\C:\\") and root.endswith("\\~sfx" + ID), root)
        self.assertEqual(deletions[1:len(entries) + 1],
                         [root + "\\" + e.name.decode() for e in entries])
        folders = deletions[len(entries) + 1:-1]
        self.assertEqual(sorted(folders),
                         sorted([root + "\\bin"] + [root + "\\d%02d" % d for d in range(20)]))
        self.assertTrue(os.access(os.path.join(work_dir(), "d01", "f0001.txt"), os.W_OK))

    def test_damaged_values_keep_their_entries_and_get_whole_pairs(self):
        old, x, y = "\\??\\C:\\old", "\\??\\C:\\x", "\\??\\C:\\y"
        units = lambda text: text.encode("utf-16-le")  # noqa: E731
        shapes = {  # the value's bytes, and the entries (pairs) it holds once closed
            "odd length": (units(old + "\0\0") + b"Z", [old, "Z"]),
            "last string open": (units(x + "\0" + y), [x]),
            "last pair open": (units(x + "\0" + y + "\0" + old + "\0"), [x, old]),
        }
        for shape, (held, kept) in shapes.items():
            with self.subTest(shape):
                regfile = os.path.join(self.dir, "held.reg")
                # A version 5 file, in UTF-16, takes hex(7) bytes as they are.
                with open(regfile, "w", encoding="utf-16", newline="\r\n") as f:
                    f.write("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\%s]\n"
                            "\"PendingFileRenameOperations\"=hex(7):%s\n"
                            % (self.SESSION_MANAGER[5:], ",".join("%02x" % b for b in held)))
                imported = subprocess.run([WINE, "regedit", "/s", windows_path(regfile)],
                                          env=wine_env(), timeout=120)
                self.assertEqual(imported.returncode, 0)
                result = run_sfx(self.write(self.recorder_entries(exit_code=0)))
                self.assertEqual(result.returncode, 0, result.stdout)
                deletions = pending_deletions()
                self.assertEqual(deletions[:len(kept)], kept)
                ours = deletions[len(kept):]
                self.assertTrue(ours and ours[-1].endswith("\\~sfx" + ID), deletions)
                self.assertTrue(all(d.startswith("\\??\\C:\\") for d in ours), deletions)
        self.reg("delete", "/f")

    def test_a_value_of_another_type_is_left_alone(self):
        self.reg("add", "/t", "REG_SZ", "/d", "not a list", "/f")
        result = run_sfx(self.write(self.recorder_entries(exit_code=0)))
        self.assertEqual(result.returncode, 0, result.stdout)
        subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=120)
        with open(os.path.join(PREFIX, "system.reg"), encoding="latin-1") as f:
            self.assertIn('"PendingFileRenameOperations"="not a list"', f.read())
        self.reg("delete", "/f")


@unittest.skipUnless(os.path.exists(os.environ.get("PACKRIG_TESTHEAD", "")),
                     "needs a Linux builder that embeds this module")
class BuilderTest(SfxTestCase):
    """A tree packed by the builder comes back whole: contents, sizes, times and the
    read-only attribute, seen by the started program before the clean-up clears them."""

    def test_unpacked_tree_equals_source(self):
        src = os.path.join(self.dir, "src")
        files = {"bin/argrecorder.exe": helper("argrecorder.exe"), "bin/exitcode.txt": b"0",
                 "Docs/Readme.txt": b"read me\r\n", "Docs/Deep/big.bin": os.urandom(2_100_000),
                 "empty.dat": b"", "locked.txt": b"read only"}
        stamp = time.mktime((2022, 6, 7, 8, 9, 10, 0, 0, 0)) - time.timezone
        write_tree(src, files)
        for rel in files:
            os.utime(os.path.join(src, *rel.split("/")), (stamp, stamp))
        os.chmod(os.path.join(src, "locked.txt"), 0o444)
        target = os.path.join(self.dir, "packed.exe")
        build = subprocess.run([os.environ["PACKRIG_TESTHEAD"], "-h", "-o", "-c", src,
                                "bin\\argrecorder.exe", target], env=dict(os.environ, TZ="UTC"),
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        self.assertEqual(build.returncode, 0, build.stdout)
        identifier = sfxfile.parse(target).identifier.decode()
        shutil.rmtree(work_dir(identifier), ignore_errors=True)
        result = run_sfx(target, env=wine_env(PACKRIG_RECORD=windows_path(self.record)))
        self.assertEqual(result.returncode, 0, result.stdout)
        root = work_dir(identifier)
        for rel, data in files.items():
            path = os.path.join(root, *rel.split("/"))
            with open(path, "rb") as f:
                self.assertEqual(f.read(), data, rel)
            self.assertAlmostEqual(os.stat(path).st_mtime, stamp, delta=2, msg=rel)
        attrs = read_record(self.record)["files"]
        self.assertEqual(set(attrs), {rel.replace("/", "\\") for rel in files})
        self.assertTrue(attrs["locked.txt"] & 0x01)
        self.assertFalse(attrs["Docs\\Readme.txt"] & 0x01)

    def test_utf8_names_unpack_under_their_own_names(self):
        src = os.path.join(self.dir, "src")
        files = {"bin/argrecorder.exe": helper("argrecorder.exe"), "bin/exitcode.txt": b"0",
                 "\u65e5\u672c\u8a9e.txt": b"ja", "party\U0001f389.txt": b"emoji",
                 "d\u00e9j\u00e0/\u0416.txt": b"zhe"}
        write_tree(src, files)
        target = os.path.join(self.dir, "utf8.exe")
        build = subprocess.run([os.environ["PACKRIG_TESTHEAD"], "-h", "-o", "-c",
                                "--codepage=utf-8", src, "bin\\argrecorder.exe", target],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        self.assertEqual(build.returncode, 0, build.stdout)
        identifier = sfxfile.parse(target).identifier.decode()
        self.assertTrue(identifier.startswith("U8"), identifier)
        shutil.rmtree(work_dir(identifier), ignore_errors=True)
        result = run_sfx(target, env=wine_env(PACKRIG_RECORD=windows_path(self.record)))
        self.assertEqual(result.returncode, 0, result.stdout)
        for rel, data in files.items():
            with open(os.path.join(work_dir(identifier), *rel.split("/")), "rb") as f:
                self.assertEqual(f.read(), data, rel)


class RefusalTest(SfxTestCase):
    def test_damaged_files_start_nothing(self):
        good = sfxfile.build(image(), self.recorder_entries(), identifier=ID)
        marks = sfxfile.payload_offsets(good)
        cuts = sorted({off + d for _, off in marks for d in (0, 1)} - {len(good) - 17})
        flipped = bytearray(good)
        flipped[marks[2][1] + 10] ^= 0xFF  # a data byte of the first entry
        cases = {"flipped": bytes(flipped)}
        for cut in cuts[::max(1, len(cuts) // 8)]:
            cases["cut%d" % cut] = good[:cut]
        cases["empty-files"] = sfxfile.build(image(), [Entry("a.exe", b"", is_exe=1)])
        cases["no-marked-entry"] = sfxfile.build(image(), [Entry("a.txt", b"1")])
        cases["negative-size"] = sfxfile.build(
            image(), self.recorder_entries() + [Entry("n", b"", size=-100)])
        cases["dotdot"] = sfxfile.build(
            image(), [Entry("..\\..\\escaped.txt", b"x")] + self.recorder_entries())
        for name, data in cases.items():
            with self.subTest(name):
                path = os.path.join(self.dir, name + ".exe")
                with open(path, "wb") as f:
                    f.write(data)
                self.assertRefused(path)
        self.assertEqual(glob.glob(os.path.join(temp_dir(), "..", "..", "escaped.txt")), [])
        self.assertFalse(os.path.exists(os.path.join(temp_dir(), "escaped.txt")))

    def test_control_characters_in_a_name_reach_nothing_outside(self):
        # "a" CR "\tmp\...": a list that separated paths with CR read the part after it as a
        # path of its own on the current drive (here Z:, the Linux root).
        victim_dir = tempfile.mkdtemp(prefix="victim-", dir="/tmp")
        victim = os.path.join(victim_dir, "v.txt")
        with open(victim, "wb") as f:
            f.write(b"keep me")
        os.chmod(victim, 0o444)
        try:
            for control in ("\r", "\n", "\t", "\x1f"):
                with self.subTest(repr(control)):
                    name = "a" + control + victim.replace("/", "\\")
                    path = self.write([Entry(name, b"x")] + self.recorder_entries())
                    self.assertRefused(path)
                    self.assertEqual(os.listdir(work_dir()) if os.path.isdir(work_dir()) else [],
                                     [])
                    self.assertEqual(os.stat(victim).st_mode & 0o777, 0o444)
                    tail = victim.replace("/", "\\")
                    self.assertEqual([d for d in pending_deletions() if d.endswith(tail)], [])
        finally:
            shutil.rmtree(victim_dir, ignore_errors=True)


@unittest.skipUnless(has_xvfb(), "needs Xvfb")
class ReportTest(SfxTestCase):
    """Under a display a message box waits for the user; the box reader reads and closes it."""

    @classmethod
    def setUpClass(cls):
        cls.display = Display().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.display.__exit__(None, None, None)

    def run_with_box(self, path, **extra):
        return run_with_box(self.display, [WINE, path], **extra)

    def test_bad_format_report_names_the_file(self):
        path = self.write([Entry("a.txt", b"1")])  # nothing marked to start
        code, text = self.run_with_box(path)
        self.assertEqual(code, FAILED)
        self.assertIn("test.exe", text)

    @unittest.skipUnless(os.geteuid() == 0, "needs root for a small tmpfs")
    def test_not_enough_space_report_shows_sizes(self):
        path = self.write(self.recorder_entries() + [Entry("big.bin", bytes(2_500_000))])
        with TinyTempDrive(self.dir):
            code, text = self.run_with_box(path)
        self.assertEqual(code, FAILED)
        self.assertRegex(text, r"T:\\   \(\d+[.,]\d+ (kB|MB)<2[.,]\d\d MB\)")

    @unittest.skipUnless(os.geteuid() == 0, "needs root for a small tmpfs")
    def test_temp_drive_that_fills_while_unpacking_names_the_file(self):
        # The free-space test passes on both drives; then the drive runs out of inodes while
        # files are created, or out of pages while one-page files are written.
        entries = self.recorder_entries() + [Entry("many\\f%03d.txt" % i, b"%d" % i * 40)
                                             for i in range(300)]
        path = self.write(entries)
        for options in ("size=4m,nr_inodes=40", "size=1m"):
            with self.subTest(options), TinyTempDrive(self.dir, options):
                code, text = self.run_with_box(
                    path, PACKRIG_RECORD=windows_path(self.record))
                self.assertEqual(code, FAILED, text)
                self.assertRegex(text, r"~sfx%s\\many\\f\d{3}\.txt" % ID)
                self.assertFalse(os.path.exists(self.record), "the program was started")


class ResumeTest(SfxTestCase):
    def test_run_killed_mid_unpack_runs_again_over_its_leftovers(self):
        big = os.urandom(1 << 20) * 256
        path = self.write([Entry("locked.txt", b"read only", attr=0x21)]
                          + self.recorder_entries() + [Entry("big.bin", big)])
        big_path = os.path.join(work_dir(), "big.bin")
        env = wine_env(PACKRIG_RECORD=windows_path(self.record))
        sfx = subprocess.Popen([WINE, path], env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 120
            while time.monotonic() < deadline and sfx.poll() is None:
                if os.path.exists(big_path) and os.path.getsize(big_path) >= 1 << 20:
                    break
                time.sleep(0.005)
            self.assertIsNone(sfx.poll(), "the run ended before it could be killed")
            sfx.kill()
        finally:
            if sfx.poll() is None:
                sfx.kill()
            sfx.wait(timeout=60)
        self.assertLess(os.path.getsize(big_path), len(big))
        # Wine keeps the read-only attribute as missing write permission.
        self.assertEqual(os.stat(os.path.join(work_dir(), "locked.txt")).st_mode & 0o222, 0)

        result = run_sfx(path, env=env)
        self.assertEqual(result.returncode, 3, result.stdout)
        self.assertTrue(os.path.exists(self.record))
        with open(big_path, "rb") as f:
            self.assertTrue(f.read() == big, "big.bin differs")
        with open(os.path.join(work_dir(), "locked.txt"), "rb") as f:
            self.assertEqual(f.read(), b"read only")


class TinyTempDrive:
    """Drive T: on a small tmpfs (1 MiB unless other mount options are given) as the temporary
    folder of the prefix. Wine takes TEMP from the user's registry, so the stored value is
    replaced while the server is down."""

    def __init__(self, base, options="size=1m"):
        self.options = options
        self.mount = os.path.join(base, "tiny")
        self.link = os.path.join(PREFIX, "dosdevices", "t:")
        self.user_reg = os.path.join(PREFIX, "user.reg")

    def __enter__(self):
        os.makedirs(self.mount, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", self.options, "tmpfs", self.mount], check=True)
        os.symlink(self.mount, self.link)
        subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=60)
        with open(self.user_reg, encoding="latin-1") as f:
            self.saved = f.read()
        changed = re.sub(r'^"(TEMP|TMP)"=".*"$', r'"\1"="T:\\\\"', self.saved,
                         flags=re.M)
        with open(self.user_reg, "w", encoding="latin-1") as f:
            f.write(changed)
        return self

    def __exit__(self, *exc):
        subprocess.run(["wineserver", "-k"], env=wine_env(), timeout=60)
        subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=60)
        with open(self.user_reg, "w", encoding="latin-1") as f:
            f.write(self.saved)
        os.unlink(self.link)
        subprocess.run(["umount", self.mount])


def main():
    exit_unless_wine_starts()
    os.makedirs(WORK, exist_ok=True)
    unittest.main()


if __name__ == "__main__":
    main()
