"""End-to-end tests of the Windows builder under wine: it writes the same entries as the Linux
builder for the same tree, and its command line and exit codes behave as documented."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.environ["PACKRIG_SOURCE_DIR"], "tests", "tools"))
import sfxfile  # noqa: E402
from wineharness import windows_path  # noqa: E402,F401
from test_builder_linux import make_tree  # noqa: E402

WINE = os.environ.get("WINE", "wine")
WIN_DIR = os.environ["PACKRIG_WIN_DIR"]
PACKRIG_EXE = os.path.join(WIN_DIR, "packrig.exe")


def run_windows_builder(*args, exe=PACKRIG_EXE):
    # Without a display, wine's message boxes return at once.
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    return subprocess.run([WINE, exe, *args], env=env, capture_output=True, timeout=300)


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
            (("-h", "-c", src, "setup.bat", "bare.exe"), 1),                 # I/O failure
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
        with open(PACKRIG_EXE, "rb") as f:
            data = f.read()
        name = "SFXHEAD".encode("utf-16-le")
        self.assertEqual(data.count(name), 1)
        broken = os.path.join(self.dir, "broken.exe")
        with open(broken, "wb") as f:
            f.write(data.replace(name, "SFXHEAX".encode("utf-16-le")))
        result = run_windows_builder("-h", "-c", windows_path(self.src), "setup.bat",
                                     windows_path(self.target("never.exe")), exe=broken)
        self.assertEqual(result.returncode, 1)
        self.assertFalse(os.path.exists(self.target("never.exe")))

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


if __name__ == "__main__":
    unittest.main(verbosity=2)
