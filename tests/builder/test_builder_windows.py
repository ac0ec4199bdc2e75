"""End-to-end tests of the Windows builder under wine: it writes the same entries as the Linux
builder for the same tree, and its command line and exit codes behave as documented."""

import calendar
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.environ["PACKRIG_SOURCE_DIR"], "tests", "tools"))
import deflate_tree  # noqa: E402
import sfxfile  # noqa: E402
from wineharness import (as_second_user, second_user_reads, start_wine_quietly,  # noqa: E402,F401
                         windows_path)
from test_builder_linux import make_tree  # noqa: E402

WINE = os.environ.get("WINE", "wine")
WIN_DIR = os.environ["PACKRIG_WIN_DIR"]
PACKRIG_EXE = os.path.join(WIN_DIR, "packrig.exe")


def run_windows_builder(*args, exe=PACKRIG_EXE, **extra):
    # Without a display, wine's message boxes return at once.
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "SOURCE_DATE_EPOCH")}
    env.update(extra)
    start_wine_quietly(env)
    return subprocess.run([WINE, exe, *args], env=env, capture_output=True, timeout=300)


def run_linux_builder(*args, **extra_env):
    return subprocess.run([os.environ["PACKRIG"], *args], env=dict(os.environ, **extra_env),
                          capture_output=True, stdin=subprocess.DEVNULL, timeout=300)


def marked(path):
    """Names of the entries that an SFX file marks as its executable file."""
    return [e.name for e in sfxfile.parse(path).entries if e.is_exe]


class TreeFixture(unittest.TestCase):
    """The test tree, made once for a class of tests."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="packrig-win-e2e-")
        cls.src = os.path.join(cls.dir, "src")
        cls.files = make_tree(cls.src)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def target(self, name):
        return os.path.join(self.dir, "out", name)


class WindowsBuilderTest(TreeFixture):
    def test_reproducible_builds_are_identical_to_the_linux_builders(self):
        linux_target, windows_target = self.target("linux-r.exe"), self.target("windows-r.exe")
        # wine marks names beginning with a dot hidden; Windows does not, so they are left out.
        src = os.path.join(self.dir, "undotted")
        shutil.copytree(self.src, src, ignore=lambda _, names: [n for n in names if n[0] == "."])
        env = dict(os.environ, SOURCE_DATE_EPOCH="1700000000", TZ="UTC")
        linux = subprocess.run([os.environ["PACKRIG"], "-h", "-o", "-c", src, "setup.bat",
                                linux_target], capture_output=True, env=env)
        self.assertEqual(linux.returncode, 0, linux.stderr)
        result = run_windows_builder("-h", "-o", "-c", windows_path(src), "setup.bat",
                                     windows_path(windows_target), SOURCE_DATE_EPOCH="1700000000",
                                     TZ="UTC")
        self.assertEqual(result.returncode, 0, result.stderr)

        def payload(path):
            with open(path, "rb") as f:
                data = f.read()
            return data[sfxfile.image_end(data):]

        self.assertEqual(payload(windows_target), payload(linux_target))
        self.assertEqual(run_windows_builder("-h", "-o", "-c", windows_path(src), "setup.bat",
                                             windows_path(windows_target),
                                             SOURCE_DATE_EPOCH="soon").returncode, 2)

    def test_compressed_builds_leave_no_spill_file(self):
        src = os.path.join(self.dir, "spilled")
        os.makedirs(os.path.join(src, "out"))
        shutil.copy(os.path.join(self.src, "setup.bat"), src)
        with open(os.path.join(src, "noise.bin"), "wb") as f:
            f.write(os.urandom(16 * 1048576))  # encodes slowly enough to be caught at it
        # With the target inside the tree, the Windows walk meets the open spill file and
        # leaves it out, as the Linux walk, which never sees it, does.
        env = {"SOURCE_DATE_EPOCH": "1700000000", "TZ": "UTC"}
        inside = os.path.join(src, "out", "sfx.exe")
        self.assertEqual(run_linux_builder("-h", "-z", src, "setup.bat", inside, **env)
                         .returncode, 0)
        with open(inside, "rb") as f:
            linux = f.read()
        os.remove(inside)
        result = run_windows_builder("-h", "-z", windows_path(src), "setup.bat",
                                     windows_path(inside), **env)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(inside, "rb") as f:
            windows = f.read()
        self.assertEqual(windows[sfxfile.image_end(windows):], linux[sfxfile.image_end(linux):])

        # Killed while it encodes, the builder leaves its new file but no copy of the tree.
        folder = os.path.join(self.dir, "killed")
        os.makedirs(folder)
        build = subprocess.Popen([WINE, PACKRIG_EXE, "-h", "-z", windows_path(src), "setup.bat",
                                  windows_path(os.path.join(folder, "sfx.exe"))],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while not any(n.endswith(".spill") for n in os.listdir(folder)):
            self.assertIsNone(build.poll(), "no spill file seen")
            time.sleep(0.01)
        build.kill()
        build.wait(timeout=60)
        deadline = time.monotonic() + 60
        while any(n.endswith(".spill") for n in os.listdir(folder)):
            self.assertLess(time.monotonic(), deadline, os.listdir(folder))
            time.sleep(0.1)
        left = os.listdir(folder)
        self.assertTrue(len(left) == 1 and left[0].endswith(".tmp"), left)

    def test_trees_beyond_the_dictionary_are_ordered_alike(self):
        # 80 files of 1 MiB, more than the 64 MiB dictionary holds: "aNN" and "bNN" share their
        # first 64 KiB, so the stream places each "b" file right after its "a" file, where the
        # grouped order would keep them 40 files apart.
        src = os.path.join(self.dir, "beyond")
        os.makedirs(src)
        shutil.copy(os.path.join(self.src, "setup.bat"), src)
        for n in range(40):
            shared = os.urandom(65536)
            for prefix in ("a", "b"):
                with open(os.path.join(src, "%s%02d.bin" % (prefix, n)), "wb") as f:
                    f.write(shared)
                    f.truncate(1048576)
        linux_target = self.assertCompressedAlike(src, "beyond")
        listing = subprocess.run([os.environ["PACKRIG_INSPECT"], "--json", linux_target],
                                 capture_output=True, text=True, check=True)
        names = [e["name"] for e in json.loads(listing.stdout)["entries"]]
        self.assertEqual(names[:5], ["setup.bat", "a00.bin", "b00.bin", "a01.bin", "b01.bin"],
                         names)

    def test_deflate_streams_are_stored_alike(self):
        src = os.path.join(self.dir, "deflate")
        deflate_tree.write_tree(src, deflate_tree.deflate_files()[0])
        shutil.copy(os.path.join(self.src, "setup.bat"), src)
        self.assertCompressedAlike(src, "deflate")

    def assertCompressedAlike(self, src, name):
        """Both builders' -z payloads of `src` are the same bytes; returns the Linux one's path."""
        env = {"SOURCE_DATE_EPOCH": "1700000000", "TZ": "UTC"}
        linux_target, windows_target = self.target(name + "-l.exe"), self.target(name + "-w.exe")
        self.assertEqual(run_linux_builder("-h", "-o", "-z", src, "setup.bat", linux_target,
                                           **env).returncode, 0)
        result = run_windows_builder("-h", "-o", "-z", windows_path(src), "setup.bat",
                                     windows_path(windows_target), **env)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(linux_target, "rb") as f, open(windows_target, "rb") as g:
            linux, windows = f.read(), g.read()
        self.assertEqual(windows[sfxfile.image_end(windows):], linux[sfxfile.image_end(linux):])
        return linux_target

    def test_same_entries_as_the_linux_builder(self):
        linux_target, windows_target = self.target("linux.exe"), self.target("windows.exe")
        linux = subprocess.run([os.environ["PACKRIG"], "-h", "-o", "-c", self.src, "setup.bat",
                                linux_target], capture_output=True)
        self.assertEqual(linux.returncode, 0, linux.stderr)
        result = run_windows_builder("-h", "/O", "-C", windows_path(self.src), "SETUP.BAT",
                                     windows_path(windows_target))
        self.assertEqual(result.returncode, 0, result.stderr)

        def entries(path):
            parsed = sfxfile.parse(path)
            self.assertEqual(parsed.trailing, b"")
            return {e.name: (e.data, e.checksum, e.is_exe) for e in parsed.entries}

        self.assertEqual(entries(windows_target), entries(linux_target))
        parsed = sfxfile.parse(windows_target)
        self.assertRegex(parsed.identifier.decode("ascii"), r"^00[0-7][0-9A-F]{7}$")
        with open(os.path.join(WIN_DIR, "sfxhead.exe"), "rb") as f:
            image = f.read()
        with open(windows_target, "rb") as f:
            self.assertEqual(f.read(len(image)), image)
        readonly = next(e for e in parsed.entries if e.name == b"readonly.txt")
        self.assertEqual(readonly.attr & 0x01, 0x01)

    def test_exit_codes(self):
        src, target = windows_path(self.src), windows_path(self.target("codes.exe"))
        cases = [
            ((), 1),  # window mode, but without a display the window cannot open
            (("-h", src, "setup.bat"), 2),                                    # too few paths
            (("-h", windows_path("/nonexistent"), "setup.bat", target), 2),  # rejected
            (("-h", src, "missing.exe", target), 2),
            (("-h", src, "setup.bat", target + ".bak"), 2),
            (("-h", "-c", src, "setup.bat", src + "\\setup.bat\\x.exe"), 1),  # I/O failure
            # An argument starting with "/" is a switch here, so only two paths remain.
            (("-h", "-c", self.src, "setup.bat", target), 2),
        ]
        for args, code in cases:
            result = run_windows_builder(*args)
            self.assertEqual(result.returncode, code, args)
        self.assertFalse(os.path.exists(self.target("codes.exe")))
        result = run_windows_builder(src, "-h", "setup.bat", "-c", target, "fourth", "-oc")
        self.assertEqual(result.returncode, 0)
        self.assertTrue(os.path.exists(self.target("codes.exe")))

    def test_missing_runtime_image_is_an_internal_error(self):
        """Each module is missed only by the builds that need it: the plain one by plain builds,
        the decoding one by -z builds."""
        with open(PACKRIG_EXE, "rb") as f:
            data = f.read()
        for resource, switches, missed in (("SFXHEAD", [], True), ("SFXHEAD", ["-z"], False),
                                           ("SFXHEADZ", ["-z"], True),
                                           ("SFXHEADZ", [], False)):
            with self.subTest(resource=resource, switches=switches):
                # A resource name is its length in characters, then its UTF-16 characters. The
                # names stay sorted ("SFXHEAA" < "SFXHEAD" < "SFXHEADA" < "SFXHEADZ"), as the
                # lookup of the other one needs.
                name = bytes([len(resource), 0]) + resource.encode("utf-16-le")
                self.assertEqual(data.count(name), 1)
                broken = os.path.join(self.dir, "broken.exe")
                with open(broken, "wb") as f:
                    f.write(data.replace(name, name[:-2] + "A".encode("utf-16-le")))
                target = self.target("out-%s-%d.exe" % (resource, len(switches)))
                result = run_windows_builder("-h", "-c", *switches, windows_path(self.src),
                                             "setup.bat", windows_path(target), exe=broken)
                self.assertEqual(result.returncode, 1 if missed else 0, result.stderr)
                self.assertEqual(os.path.exists(target), not missed)

    @unittest.skipUnless(os.geteuid() == 0, "needs root for a small tmpfs")
    def test_full_file_system_gives_exit_code_1(self):
        mount = os.path.join(self.dir, "small")
        os.makedirs(mount, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", mount], check=True)
        try:
            result = run_windows_builder("-h", "-o", "-c", windows_path(self.src), "setup.bat",
                                         windows_path(os.path.join(mount, "sfx.exe")))
            self.assertEqual(result.returncode, 1, result.stderr)
        finally:
            subprocess.run(["umount", mount])


    @unittest.skipUnless(os.geteuid() == 0, "needs root to run the builder as another user")
    def test_unreadable_folder_fails_naming_it(self):
        # As root wine reads every folder: the build runs as nobody, in a prefix of its own.
        home = tempfile.mkdtemp(prefix="packrig-nobody-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        os.chmod(home, 0o755)
        shutil.copy(PACKRIG_EXE, home)
        src = os.path.join(home, "src")
        shutil.copytree(self.src, src)
        os.makedirs(os.path.join(home, "out"))
        subprocess.run(["chown", "-R", "nobody:nogroup", home], check=True)
        if not second_user_reads(os.path.join(home, "packrig.exe")):
            self.skipTest("nobody cannot reach a temporary folder here")
        os.chmod(os.path.join(src, "a", "b"), 0o000)
        env = dict(os.environ, HOME=home, WINEPREFIX=os.path.join(home, "prefix"))
        env.pop("DISPLAY", None)
        target = os.path.join(home, "out", "sfx.exe")
        result = subprocess.run(as_second_user() + [
            WINE, os.path.join(home, "packrig.exe"), "-h", "-o", "-c", windows_path(src),
            "setup.bat", windows_path(target)], env=env, capture_output=True, timeout=300)
        subprocess.run(as_second_user() + ["wineserver", "-k"], env=env)
        self.assertEqual(result.returncode, 1, result.stderr)
        folder = windows_path(os.path.join(src, "a", "b")) + "\\"
        self.assertIn(b"The input/output error concerns " + folder.encode(), result.stderr)
        self.assertFalse(os.path.exists(target))


class SameRulesTest(TreeFixture):
    """The Linux builder accepts, refuses and marks what the Windows builder does."""

    def build_both(self, src, exe, **env):
        """Exit codes and marked names of both builders for one tree and executable file."""
        outcomes = []
        for name, run_builder, path in (("linux.exe", run_linux_builder, lambda p: p),
                                        ("windows.exe", run_windows_builder, windows_path)):
            target = self.target(name)
            if os.path.exists(target):
                os.remove(target)
            result = run_builder("-h", "-o", "-c", path(src), exe, path(target), **env)
            outcomes.append((result.returncode,
                             marked(target) if result.returncode == 0 else None))
        return outcomes

    def test_every_spelling_of_the_executable_file(self):
        deep = [b"a\\b\\c\\deep.txt"]
        for exe, name in (("SETUP.BAT", [b"setup.bat"]), ("a\\B\\c\\Deep.txt", deep),
                          ("a/b/c/deep.txt", deep), ("./setup.bat", [b"setup.bat"]),
                          (".\\setup.bat", [b"setup.bat"]), ("a\\..\\setup.bat", [b"setup.bat"]),
                          ("gone\\..\\setup.bat", [b"setup.bat"]), ("a\\\\b\\c\\deep.txt", deep),
                          ("setup.bat.", [b"setup.bat"]), ("a.\\b\\c\\deep.txt", deep),
                          ("a \\b\\c\\deep.txt", None), ("setup.bat\\", None),
                          ("\\setup.bat", [b"setup.bat"]), ("..\\src\\setup.bat", [b"setup.bat"]),
                          ("a\\b", None), ("missing.exe", None)):
            linux, windows = self.build_both(self.src, exe)
            self.assertEqual(linux, windows, exe)
            self.assertEqual(linux, (0, name) if name else (2, None), exe)

    def test_a_failed_build_leaves_the_target_as_it_was(self):
        src = os.path.join(self.dir, "aux")
        shutil.copytree(self.src, src)
        old = self.target("old.exe")
        self.assertEqual(run_linux_builder("-h", "-c", self.src, "setup.bat", old).returncode, 0)
        with open(os.path.join(src, "aux.txt"), "wb") as f:
            f.write(b"Windows cannot create this name")
        for existing in (False, True):
            folder = os.path.join(self.dir, "atomic")
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            for name, run_builder, path in (("linux.exe", run_linux_builder, lambda p: p),
                                            ("windows.exe", run_windows_builder, windows_path)):
                target = os.path.join(folder, name)
                if existing:
                    shutil.copy(old, target)
                result = run_builder("-h", "-o", "-c", path(src), "setup.bat", path(target))
                self.assertEqual(result.returncode, 1, (name, existing))
                if existing:
                    with open(target, "rb") as f, open(old, "rb") as g:
                        self.assertEqual(f.read(), g.read(), name)
            self.assertEqual(sorted(os.listdir(folder)),
                             ["linux.exe", "windows.exe"] if existing else [])

    def test_a_bare_target_name_goes_to_the_current_folder(self):
        work = os.path.join(self.dir, "cwd")
        os.makedirs(work, exist_ok=True)
        linux = subprocess.run([os.environ["PACKRIG"], "-h", "-o", "-c", self.src, "setup.bat",
                                "plain.exe"], cwd=work, capture_output=True, timeout=300)
        self.assertEqual(linux.returncode, 0, linux.stderr)
        os.rename(os.path.join(work, "plain.exe"), os.path.join(work, "linux.exe"))
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        windows = subprocess.run([WINE, PACKRIG_EXE, "-h", "-o", "-c", windows_path(self.src),
                                  "setup.bat", "plain.exe"], cwd=work, env=env,
                                 capture_output=True, timeout=300)
        self.assertEqual(windows.returncode, 0, windows.stderr)
        self.assertEqual(sorted(os.listdir(work)), ["linux.exe", "plain.exe"])
        self.assertEqual(marked(os.path.join(work, "plain.exe")), [b"setup.bat"])

    def dated_tree(self, folder, dates):
        """A tree of files named as `dates`' keys, each holding its name, with the UTC times
        given."""
        src = os.path.join(self.dir, folder)
        os.makedirs(src, exist_ok=True)
        for name, date in dates.items():
            with open(os.path.join(src, name), "wb") as f:
                f.write(name.encode())
            stamp = calendar.timegm(date)
            os.utime(os.path.join(src, name), (stamp, stamp))
        return src

    def test_times_outside_the_dos_range_are_clamped_alike(self):
        dates = {"setup.bat": (1975, 6, 1, 12, 0, 0), "late.txt": (2110, 6, 1, 12, 0, 0),
                 "inside.txt": (2000, 1, 2, 3, 4, 6)}
        src = self.dated_tree("range", dates)
        self.assertEqual(self.build_both(src, "setup.bat", TZ="UTC"), [(0, [b"setup.bat"])] * 2)
        expected = {b"setup.bat": (1980, 1, 1, 0, 0, 0), b"late.txt": (2107, 12, 31, 23, 59, 58),
                    b"inside.txt": (2000, 1, 2, 3, 4, 6)}
        for name in ("linux.exe", "windows.exe"):
            times = {e.name: sfxfile.dos_time_to_tuple(e.time)
                     for e in sfxfile.parse(self.target(name)).entries}
            self.assertEqual(times, expected, name)

    def test_times_use_the_offset_in_force_now(self):
        dates = {"setup.bat": (2024, 7, 1, 12, 0, 0), "winter.txt": (2024, 1, 15, 12, 0, 0)}
        src = self.dated_tree("times", dates)
        os.environ["TZ"] = "Europe/Berlin"
        time.tzset()
        offset = time.localtime().tm_gmtoff
        del os.environ["TZ"]
        time.tzset()
        self.assertEqual(self.build_both(src, "setup.bat", TZ="Europe/Berlin"),
                         [(0, [b"setup.bat"])] * 2)
        for name in ("linux.exe", "windows.exe"):
            entries = sfxfile.parse(self.target(name)).entries
            for entry in entries:
                local = time.gmtime(calendar.timegm(dates[entry.name.decode()]) + offset)
                self.assertEqual(sfxfile.dos_time_to_tuple(entry.time), tuple(local[:6]),
                                 (name, entry.name))

    def test_reproducible_times_are_utc_in_every_time_zone(self):
        dates = {"setup.bat": (2024, 7, 1, 12, 0, 0), "winter.txt": (2024, 1, 15, 12, 0, 0),
                 "later.txt": (2024, 3, 9, 16, 0, 4)}
        src = self.dated_tree("utc", dates)
        epoch = calendar.timegm((2024, 3, 9, 16, 0, 0))
        expected = {b"setup.bat": sfxfile.dos_time(2024, 3, 9, 16, 0, 0),
                    b"winter.txt": sfxfile.dos_time(2024, 1, 15, 12, 0, 0),
                    b"later.txt": sfxfile.dos_time(2024, 3, 9, 16, 0, 0)}
        payloads = set()
        for tz in ("UTC", "Europe/Berlin", "Asia/Tokyo", "America/New_York"):
            self.assertEqual(self.build_both(src, "setup.bat", TZ=tz,
                                             SOURCE_DATE_EPOCH=str(epoch)),
                             [(0, [b"setup.bat"])] * 2, tz)
            for name in ("linux.exe", "windows.exe"):
                parsed = sfxfile.parse(self.target(name))
                self.assertEqual({e.name: e.time for e in parsed.entries}, expected, (tz, name))
                with open(self.target(name), "rb") as f:
                    data = f.read()
                payloads.add(data[sfxfile.image_end(data):])
        self.assertEqual(len(payloads), 1)

    def test_entries_in_the_order_that_ntfs_lists_them(self):
        src = os.path.join(self.dir, "order")
        os.makedirs(src)
        names = ["a\u20ac", "a\u0152", "aZ", "a\u00e9", "a\u00dc", "a\u00ff", "a_", "a\u00b5",
                 "setup.bat"]
        for name in names:
            with open(os.path.join(src, name), "wb") as f:
                f.write(name.encode())
        self.assertEqual(self.build_both(src, "setup.bat"), [(0, [b"setup.bat"])] * 2)
        # The micro sign keeps its case: Windows gives it no upper case.
        expected = "aZ a_ a\u00b5 a\u00e9 a\u00dc a\u0152 a\u00ff a\u20ac setup.bat"
        for name in ("linux.exe", "windows.exe"):
            entries = sfxfile.parse(self.target(name)).entries
            self.assertEqual(" ".join(e.name.decode("cp1252") for e in entries), expected, name)

    def test_names_that_windows_cannot_unpack_are_refused(self):
        src = os.path.join(self.dir, "n")
        folder = os.path.join(src, "d" * 100)
        os.makedirs(folder)
        with open(os.path.join(src, "setup.bat"), "wb") as f:
            f.write(b"@exit 0\r\n")
        # A drive letter of its own keeps the source path short, so that the name alone is long.
        dosdevices = os.path.join(os.environ["WINEPREFIX"], "dosdevices")
        drive = next(d for d in "mnopqrstuvw" if not os.path.lexists(os.path.join(dosdevices,
                                                                                  d + ":")))
        os.symlink(self.dir, os.path.join(dosdevices, drive + ":"))

        def exit_codes(exe):
            linux = run_linux_builder("-h", "-o", "-c", src, exe, self.target("l.exe"))
            windows = run_windows_builder("-h", "-o", "-c", drive + ":\\n", exe,
                                          windows_path(self.target("w.exe")))
            return linux.returncode, windows.returncode

        try:
            for name, code in (("f" * 140, 0), ("g" * 141, 1)):  # 241 and 242 characters
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(b"x")
                self.assertEqual(exit_codes("setup.bat"), (code, code), name)
            os.remove(os.path.join(folder, "g" * 141))
            # Names that differ only in letter case: Windows would keep one of them. Wine finds
            # one of the two for the executable file; the Linux builder refuses both already.
            with open(os.path.join(src, "SETUP.BAT"), "wb") as f:
                f.write(b"@exit 1\r\n")
            self.assertEqual(exit_codes("setup.bat"), (2, 1))
            self.assertEqual(exit_codes("d" * 100 + "\\" + "f" * 140), (1, 1))
        finally:
            os.remove(os.path.join(dosdevices, drive + ":"))

    def test_terminal_lines_after_the_messages(self):
        src, target = windows_path(self.src), windows_path(self.target("lines.exe"))
        cases = [(("missing.exe", target), 2, "named relative to the source directory"),
                 (("setup.bat", src + "\\setup.bat\\x.exe"), 1,
                  "The input/output error concerns %s\\setup.bat\\x.exe" % src)]
        for (exe, out), code, line in cases:
            result = run_windows_builder("-h", "-o", "-c", src, exe, out)
            self.assertEqual(result.returncode, code, exe)
            lines = result.stderr.decode("cp1252").split("\r\n")
            self.assertEqual(len(lines), 2, lines)
            self.assertIn(line, lines[0])
            self.assertEqual(lines[1], "")


if __name__ == "__main__":
    unittest.main(verbosity=2)
