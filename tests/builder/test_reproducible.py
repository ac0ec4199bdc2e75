"""Reproducible builds of the Linux builder: with SOURCE_DATE_EPOCH the same tree gives the same
bytes, plain and compressed (-z), the identifier follows the payload, times are stored in UTC and
later ones clamped; without it identifiers are drawn; an invalid value is refused. As
reproducible-builds checkers do, the same tree is made and built twice with the time zone, the
locale, the umask, the build folder, the order of creation, the current date and the user varied
between the two builds."""

import calendar
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.environ["PACKRIG_SOURCE_DIR"], "tests", "tools"))
import sfxfile  # noqa: E402
from wineharness import as_second_user, second_user_reads  # noqa: E402

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
        self.old = calendar.timegm((2010, 3, 4, 5, 6, 8, 0, 0, 0))
        os.utime(os.path.join(self.src, "setup.bat"), (self.old, self.old))
        self.count = 0

    def write(self, rel, data):
        with open(os.path.join(self.src, rel), "wb") as f:
            f.write(data)

    def build(self, epoch, *switches, **extra_env):
        self.count += 1
        target = os.path.join(self.dir, "out%d.exe" % self.count)
        env = dict(os.environ, **extra_env)
        env.pop("SOURCE_DATE_EPOCH", None)
        if epoch is not None:
            env["SOURCE_DATE_EPOCH"] = epoch
        result = subprocess.run([PACKRIG, "-o", "-c", "-h", *switches, self.src, "setup.bat",
                                 target],
                                env=env, capture_output=True, text=True, timeout=120)
        return result, target

    def built(self, epoch, *switches, **extra_env):
        result, target = self.build(epoch, *switches, **extra_env)
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

    def test_times_are_utc_later_ones_clamped_earlier_ones_kept(self):
        for tz in ["UTC", "Europe/Berlin", "Asia/Tokyo", "America/New_York"]:
            with self.subTest(tz=tz):
                parsed = sfxfile.parse_bytes(self.built(str(EPOCH), TZ=tz))
                times = {e.name.decode(): e.time for e in parsed.entries}
                clamp = sfxfile.dos_time(2023, 11, 14, 22, 13, 20)
                self.assertEqual(times["sub\\new.txt"], clamp)
                self.assertEqual(times["setup.bat"], sfxfile.dos_time(2010, 3, 4, 5, 6, 8))
        early = sfxfile.parse_bytes(self.built("0"))
        self.assertTrue(all(e.time == sfxfile.dos_time(1980, 1, 1) for e in early.entries))
        self.assertEqual(self.built("0000000000001"), self.built("1"))

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


# The tree of the varied builds: (relative name, data, modification time or None for the time of
# creation, which is later than the epoch and so clamped). A name is decomposed, as trees copied
# from macOS hold them; one file is read-only.
VARIED_TREE = [
    ("setup.bat", b"@echo off\r\n", calendar.timegm((2021, 7, 1, 12, 0, 0))),
    ("docs/Caf\u00e9.txt", b"composed", calendar.timegm((2022, 1, 15, 23, 30, 0))),
    ("docs/re\u0301sume\u0301.txt", b"decomposed", None),
    ("docs/Zeta/readonly.txt", b"read-only", calendar.timegm((2019, 3, 31, 1, 0, 0))),
    ("a_first.bin", bytes(range(256)) * 300, None),
    ("B.txt", b"upper case", None),
]
VARIATIONS = {
    "tz": {"env": {"TZ": "Pacific/Kiritimati"}},  # UTC+14, no summer time
    "locale": {"env": {"LC_ALL": "fr_FR.UTF-8", "LANG": "de_DE.UTF-8"}},
    "umask": {"umask": 0o077},
    "path": {"path": "a much/longer build path"},
    "order": {"order": "reversed"},
    # Summer, eight years on; file times as they are, as reproducible-builds checkers run it.
    "date": {"date": "2031-07-15 12:00:00", "env": {"NO_FAKE_STAT": "1"}},
    "user": {"user": "nobody"},
}


# The child runs as a second user too, who may not reach an interpreter under root's home.
CHILD_PYTHON = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable


def make_and_build(root, order, umask, packrig):
    """Run in a child process under the varied conditions: makes the tree in `order`, with
    `umask`, and builds it."""
    os.umask(umask)
    src = os.path.join(root, "src")
    files = VARIED_TREE if order == "forward" else list(reversed(VARIED_TREE))
    for rel, data, mtime in files:
        path = os.path.join(src, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        if mtime is not None:
            os.utime(path, (mtime, mtime))
    os.chmod(os.path.join(src, "docs", "Zeta", "readonly.txt"), 0o444)
    result = subprocess.run([packrig, "-h", "-o", "-c", src, "setup.bat",
                             os.path.join(root, "out", "setup-sfx.exe")], timeout=120)
    sys.exit(result.returncode)


class VariedBuildsTest(unittest.TestCase):
    """The same tree, made and built twice with one condition (or all) varied between the two
    builds, gives the same bytes."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="packrig-varied-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        os.chmod(self.dir, 0o777)  # the second user builds in here too
        # A copy of the builder that every user can run, whatever the build tree's permissions.
        self.packrig = os.path.join(self.dir, "packrig")
        shutil.copy(PACKRIG, self.packrig)
        os.chmod(self.packrig, 0o755)
        self.count = 0

    def unavailable(self, variation):
        if "user" in variation:
            if os.geteuid() != 0 or not shutil.which("setpriv"):
                return "building as a second user needs root and setpriv (util-linux)"
            if not second_user_reads(os.path.abspath(__file__), variation["user"]):
                return "%s cannot read this checkout" % variation["user"]
        if "date" in variation and not shutil.which("faketime"):
            return "varying the date needs faketime (Debian package faketime)"
        return None

    def build(self, variation):
        self.count += 1
        root = os.path.join(self.dir, "b%d" % self.count, variation.get("path", "build"))
        os.makedirs(root)
        for d in (os.path.dirname(root), root):
            os.chmod(d, 0o777)
        env = {k: v for k, v in os.environ.items() if k not in ("TZ", "LC_ALL", "LANG")}
        env.update({"SOURCE_DATE_EPOCH": str(EPOCH), "TZ": "UTC", "LC_ALL": "C"})
        env.update(variation.get("env", {}))
        command = [CHILD_PYTHON, os.path.abspath(__file__), "--make-and-build", root,
                   variation.get("order", "forward"), str(variation.get("umask", 0o022)),
                   self.packrig]
        if "date" in variation:
            command = ["faketime", variation["date"]] + command
            # faketime preloads its library ahead of a sanitizer build's runtime.
            env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"),
                                                         "verify_asan_link_order=0"]))
        if "user" in variation:
            command = as_second_user(variation["user"]) + command
        result = subprocess.run(command, env=env, capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        with open(os.path.join(root, "out", "setup-sfx.exe"), "rb") as f:
            return f.read()

    def test_each_variation_and_all_at_once_give_the_same_bytes(self):
        reference = self.build({})
        parsed = sfxfile.parse_bytes(reference)
        self.assertEqual([e.name for e in parsed.entries],
                         [b"a_first.bin", b"B.txt", b"docs\\Caf\xe9.txt",
                          b"docs\\r\xe9sum\xe9.txt", b"docs\\Zeta\\readonly.txt",
                          b"setup.bat"])
        everything = {}
        for name, variation in VARIATIONS.items():
            with self.subTest(varied=name):
                why = self.unavailable(variation)
                if why:
                    print("builder_reproducible: not varied: %s (%s)" % (name, why),
                          file=sys.stderr)
                    self.skipTest(why)
                everything.update({k: v for k, v in variation.items() if k != "env"})
                everything.setdefault("env", {}).update(variation.get("env", {}))
                self.assertEqual(self.build(variation), reference)
        with self.subTest(varied="all at once: " + ", ".join(sorted(everything))):
            self.assertEqual(self.build(everything), reference)


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "--make-and-build":
        make_and_build(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5])
    unittest.main(verbosity=2)
