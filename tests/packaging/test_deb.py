"""The Debian packages of the build tree: cpack makes the headless builder's package without Qt
and the window's package apart; unpacked into a scratch root, the builder builds a sound SFX
file there, and the window program is found beside it once its package is unpacked too."""

import glob
import gzip
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.environ["PACKRIG_SOURCE_DIR"], "tests", "tools"))
import sfxfile  # noqa: E402

BUILD = os.environ["PACKRIG_BUILD_DIR"]
VERSION = os.environ["PACKRIG_VERSION"]
WINDOW_BUILT = os.path.exists(os.path.join(BUILD, "libexec", "packrig", "packrig-window"))
INSPECT_BUILT = os.path.exists(os.path.join(BUILD, "bin", "packrig-inspect"))
NO_DISPLAY = {k: v for k, v in os.environ.items()
              if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}


def field(deb, name):
    return subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True, text=True,
                          check=True).stdout.strip()


def needed_libraries(program):
    dynamic = subprocess.run(["readelf", "-d", program], capture_output=True, text=True,
                             check=True).stdout
    return [line.split("[")[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line]


class DebTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="packrig-deb-")
        subprocess.run([os.environ["CPACK_COMMAND"], "--config",
                        os.path.join(BUILD, "CPackConfig.cmake"), "-B", cls.dir],
                       check=True, stdout=subprocess.DEVNULL)
        cls.builder = os.path.join(cls.dir, "packrig_%s_%s.deb" % (VERSION, cls.arch()))
        cls.window = os.path.join(cls.dir, "packrig-window_%s_%s.deb" % (VERSION, cls.arch()))
        cls.root = os.path.join(cls.dir, "root")
        subprocess.run(["dpkg-deb", "-x", cls.builder, cls.root], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    @staticmethod
    def arch():
        return subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                              check=True).stdout.strip()

    def packrig(self, *args, env=None):
        return subprocess.run([os.path.join(self.root, "usr", "bin", "packrig"), *args],
                              env=env or NO_DISPLAY, capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=60)

    def test_packages_and_their_declared_dependencies(self):
        found = sorted(os.path.basename(p) for p in glob.glob(os.path.join(self.dir, "*.deb")))
        expected = [os.path.basename(self.builder)]
        if WINDOW_BUILT:
            expected.insert(0, os.path.basename(self.window))
        self.assertEqual(found, expected)
        depends = field(self.builder, "Depends")
        self.assertIn("libc6", depends)
        self.assertIn("libstdc++6", depends)
        self.assertNotIn("qt", depends.lower())
        program = os.path.join(self.root, "usr", "bin", "packrig")
        self.assertFalse([lib for lib in needed_libraries(program) if "Qt" in lib])
        if WINDOW_BUILT:
            depends = field(self.window, "Depends")
            self.assertIn("packrig (= %s)" % VERSION, depends)
            self.assertIn("libqt6widgets6", depends)

    def test_builder_package_holds_its_files(self):
        for rel in ("usr/share/man/man1/packrig.1.gz", "usr/share/packrig/sfxhead.exe",
                    "usr/share/packrig/sfxheadz.exe",
                    "usr/share/packrig/packrig.exe", "usr/share/cmake/Packrig/PackrigConfig.cmake",
                    "usr/share/cmake/Packrig/PackrigAddSfx.cmake",
                    "usr/share/doc/packrig/copyright", "usr/share/doc/packrig/changelog.gz"):
            self.assertTrue(os.path.isfile(os.path.join(self.root, rel)), rel)
        self.assertEqual(os.path.isfile(os.path.join(
            self.root, "usr/share/man/man1/packrig-inspect.1.gz")), INSPECT_BUILT)
        self.assertEqual(os.path.isfile(os.path.join(self.root, "usr/bin/packrig-inspect")),
                         INSPECT_BUILT)
        self.assertFalse(os.path.exists(os.path.join(self.root, "usr/libexec")))

    def test_documents_compressed_as_debian_ships_them(self):
        docs = glob.glob(os.path.join(self.root, "usr/share/man/man1/*"))
        docs.append(os.path.join(self.root, "usr/share/doc/packrig/changelog.gz"))
        for path in docs:
            with open(path, "rb") as f:
                head = f.read(10)
            # gzip at level 9 (extra flags 2) with no stored name (flags 0) and no time stamp.
            self.assertEqual((head[:4], head[4:8], head[8]), (b"\x1f\x8b\x08\x00", bytes(4), 2),
                             path)
        with gzip.open(docs[-1], "rt") as f:
            first = f.readline()
        self.assertEqual(first, "packrig (%s) unstable; urgency=medium\n" % VERSION)
        with open(os.path.join(self.root, "usr/share/doc/packrig/copyright")) as f:
            self.assertTrue(f.readline().startswith("Format: https://www.debian.org/doc/"))

    @unittest.skipUnless(shutil.which("lintian"), "lintian is not installed")
    def test_lintian_reports_no_errors(self):
        packages = [self.builder] + ([self.window] if WINDOW_BUILT else [])
        result = subprocess.run(["lintian", *packages], capture_output=True, text=True,
                                timeout=300)
        # 2 means that it reported errors, 1 that lintian itself failed.
        self.assertIn(result.returncode, (0, 2), result.stderr)
        errors = [line for line in result.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [], result.stdout)

    def test_unpacked_builder_writes_a_sound_sfx_file(self):
        src = os.path.join(self.dir, "tree")
        os.makedirs(os.path.join(src, "docs"), exist_ok=True)
        files = {"setup.bat": b"@echo off\r\nexit /b 5\r\n", "docs/readme.txt": b"read me"}
        for rel, data in files.items():
            with open(os.path.join(src, rel), "wb") as f:
                f.write(data)
        target = os.path.join(self.dir, "out", "tree-sfx.exe")
        result = self.packrig("-h", "-c", src, "setup.bat", target)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(target, "rb") as f:
            data = f.read()
        with open(os.path.join(self.root, "usr/share/packrig/sfxhead.exe"), "rb") as f:
            image = f.read()
        self.assertEqual(data[:len(image)], image)
        parsed = sfxfile.parse_bytes(data)
        self.assertEqual(parsed.trailing, b"")
        self.assertEqual({e.name: e.data for e in parsed.entries},
                         {b"docs\\readme.txt": b"read me",
                          b"setup.bat": files["setup.bat"]})
        for e in parsed.entries:
            self.assertEqual(e.checksum, sfxfile.byte_sum(e.name, e.data))
        self.assertEqual([e.name for e in parsed.entries if e.is_exe], [b"setup.bat"])
        if INSPECT_BUILT:
            inspect = os.path.join(self.root, "usr", "bin", "packrig-inspect")
            result = subprocess.run([inspect, "--verify", target], capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_installed_programs_answer_version_without_the_window(self):
        programs = ["packrig"] + (["packrig-inspect"] if INSPECT_BUILT else [])
        for name in programs:
            result = subprocess.run([os.path.join(self.root, "usr", "bin", name), "--version"],
                                    env=NO_DISPLAY, capture_output=True, text=True,
                                    stdin=subprocess.DEVNULL, timeout=60)
            self.assertEqual((result.returncode, result.stdout, result.stderr),
                             (0, "%s %s\n" % (name, VERSION), ""))

    def test_window_mode_finds_the_window_only_once_installed(self):
        result = self.packrig()
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("the window is not installed", result.stderr)
        if not WINDOW_BUILT:
            return
        root = os.path.join(self.dir, "with-window")
        for deb in (self.builder, self.window):
            subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        program = os.path.join(root, "usr", "bin", "packrig")
        result = subprocess.run([program], env=NO_DISPLAY, capture_output=True, text=True,
                                stdin=subprocess.DEVNULL, timeout=60)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("needs a display", result.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
