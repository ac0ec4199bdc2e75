"""examples/cmake-app against the installed CMake package: `cmake --install` into a scratch
prefix, then one configure and build of a copy of the example give an SFX file that wears the
example program's icon and version (read with the tests' PE reader), that the installed
packrig-inspect finds sound, is built again exactly when its tree or its data file changes or
the SOURCE_DATE_EPOCH of the build changes, is byte-identical across builds under
SOURCE_DATE_EPOCH (also from scratch, with the time zone, locale, umask, build folder, order of
creation, date and user varied), and runs under wine; its COMPRESS twin is a compressed SFX file
that is sound and runs as well."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.environ["PACKRIG_SOURCE_DIR"], "tests", "tools"))
import sfxfile  # noqa: E402
from wineharness import as_second_user, second_user_reads, wine_env  # noqa: E402

BUILD = os.environ["PACKRIG_BUILD_DIR"]
CMAKE = os.environ["CMAKE_COMMAND"]
EXAMPLE = os.path.join(os.environ["PACKRIG_SOURCE_DIR"], "examples", "cmake-app")
# The example program and the shipped runtime module are 32-bit.
WINE32 = "wine"


def resources(path):
    """{(type, name or None for icon groups, language): data} of a PE file, by the tests' PE
    reader. Icon groups are keyed without their name, which the SFX file keeps its own."""
    dump = subprocess.run([os.environ["PRRES_TOOL"], "dump", path], capture_output=True,
                          text=True, check=True).stdout
    found = {}
    for line in dump.splitlines():
        if not line:
            continue
        kind, name, language, _size, data = line.split(" ")
        found[(kind, None if kind == "#14" else name, language)] = data
    return found


def can_run_32bit():
    if os.environ.get("WINEARCH") == "win64":  # the build found that none runs here
        return False
    try:
        probe = subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True)
    except OSError:  # the kernel runs no 32-bit program
        return False
    binfmt = "/proc/sys/fs/binfmt_misc/qemu-i386"
    emulated = os.path.exists(binfmt) and "enabled" in open(binfmt).read()
    return probe.returncode == 0 and not emulated


class CmakeAppTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="packrig-cmake-app-")
        os.chmod(cls.dir, 0o755)  # a second user builds from the prefix too
        cls.prefix = os.path.join(cls.dir, "prefix")
        cls.app = os.path.join(cls.dir, "app")
        cls.example = os.path.join(cls.dir, "example")
        shutil.copytree(EXAMPLE, cls.example)
        subprocess.run([CMAKE, "--install", BUILD, "--prefix", cls.prefix, "--component",
                        "builder"], check=True, stdout=subprocess.DEVNULL)
        env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        subprocess.run([CMAKE, "-S", cls.example, "-B", cls.app, "-G", "Ninja",
                        "-DCMAKE_PREFIX_PATH=" + cls.prefix], check=True, env=env,
                       stdout=subprocess.DEVNULL)
        cls.sfx = os.path.join(cls.app, "cmake-app-setup.exe")
        cls.sfxz = os.path.join(cls.app, "cmake-app-setup-compressed.exe")
        cls.tree = os.path.join(cls.app, "tree")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def build(self, **extra):
        """Builds the example; True when the SFX file was built (again)."""
        env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        env.update(extra)
        result = subprocess.run([CMAKE, "--build", self.app], env=env, capture_output=True,
                                text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        return "Building the SFX file" in result.stdout

    def entries(self):
        return {e.name: e for e in sfxfile.parse(self.sfx).entries}

    def test_1_sfx_file_wears_the_program_icon_and_version(self):
        self.build()
        program = resources(os.path.join(self.tree, "hello.exe"))
        sfx = resources(self.sfx)
        for key in program:
            self.assertIn(key[0], ("#3", "#14", "#16"))
            self.assertEqual(sfx.get(key), program[key], key)
        version = bytes.fromhex(program[("#16", "#1", "0409")])
        self.assertIn("1.4.2.7".encode("utf-16-le"), version)
        inspect = subprocess.run([os.path.join(self.prefix, "bin", "packrig-inspect"), "--json",
                                  self.sfx], capture_output=True, text=True)
        self.assertEqual(inspect.returncode, 0, inspect.stderr)
        listing = json.loads(inspect.stdout)
        self.assertTrue(listing["sound"])
        self.assertEqual([e["name"] for e in listing["entries"] if e["marked"]], ["hello.exe"])

    def test_2_rebuilt_when_the_tree_changes_and_only_then(self):
        self.build()
        self.assertFalse(self.build())
        with open(os.path.join(self.tree, "greeting.txt"), "a") as f:
            f.write("A second line.\n")
        self.assertTrue(self.build())
        self.assertIn(b"A second line.", self.entries()[b"greeting.txt"].data)
        # The example's own data file is copied into the tree by the build.
        with open(os.path.join(self.example, "greeting.txt"), "a") as f:
            f.write("An edit of the example.\n")
        self.assertTrue(self.build())
        self.assertIn(b"An edit of the example.", self.entries()[b"greeting.txt"].data)
        self.assertFalse(self.build())
        added = os.path.join(self.tree, "added.txt")
        with open(added, "w") as f:
            f.write("added\n")
        self.assertTrue(self.build())
        self.assertIn(b"added.txt", self.entries())
        os.remove(added)
        self.assertTrue(self.build())
        self.assertNotIn(b"added.txt", self.entries())
        self.assertFalse(self.build())

    def rebuilt_bytes(self, **extra):
        """The SFX file after touching a file of the tree (a new time, clamped under
        SOURCE_DATE_EPOCH) and building again."""
        os.utime(os.path.join(self.tree, "greeting.txt"))
        self.assertTrue(self.build(**extra))
        with open(self.sfx, "rb") as f:
            return f.read()

    def reconfigure(self, *args):
        subprocess.run([CMAKE, *args, self.app], check=True, stdout=subprocess.DEVNULL)

    def test_3_source_date_epoch_gives_the_same_bytes(self):
        epoch = "1700000000"
        first = self.rebuilt_bytes(SOURCE_DATE_EPOCH=epoch)
        self.assertEqual(self.rebuilt_bytes(SOURCE_DATE_EPOCH=epoch), first)
        self.assertNotEqual(self.rebuilt_bytes(), self.rebuilt_bytes())
        # A value given when configuring serves a build whose environment has none.
        self.reconfigure("-DSOURCE_DATE_EPOCH=" + epoch)
        self.assertEqual(self.rebuilt_bytes(), self.rebuilt_bytes(SOURCE_DATE_EPOCH=epoch))
        self.reconfigure("-USOURCE_DATE_EPOCH")

    def test_3b_a_changed_epoch_packs_again_without_a_change_of_the_tree(self):
        self.build()
        self.assertFalse(self.build())
        # The README's CMake line under "Reproducing" on a tree already built.
        self.assertTrue(self.build(SOURCE_DATE_EPOCH="1700000000"))
        with open(self.sfx, "rb") as f:
            first = f.read()
        self.assertFalse(self.build(SOURCE_DATE_EPOCH="1700000000"))
        self.assertTrue(self.build(SOURCE_DATE_EPOCH="1700000002"))
        self.assertTrue(self.build(SOURCE_DATE_EPOCH="1700000000"))
        with open(self.sfx, "rb") as f:
            self.assertEqual(f.read(), first)
        self.assertTrue(self.build())
        self.assertFalse(self.build())

    def test_4_sfx_file_runs_under_wine(self):
        if not can_run_32bit():
            self.skipTest("32-bit programs cannot run here")
        self.build()
        result = subprocess.run([WINE32, self.sfx, "first", "second argument"], env=wine_env(),
                                capture_output=True, timeout=300)
        # 40 plus the number of arguments; 1 if greeting.txt was not unpacked beside it.
        self.assertEqual(result.returncode, 42, result.stdout + result.stderr)

    def test_5_compress_writes_a_compressed_sfx_file(self):
        self.build()
        with open(self.sfxz, "rb") as f:
            data = f.read()
        end = sfxfile.image_end(data)
        self.assertEqual(data[end + 11:end + 15], b"PRZ1")
        inspect = subprocess.run([os.path.join(self.prefix, "bin", "packrig-inspect"), "--verify",
                                  self.sfxz], capture_output=True, text=True)
        self.assertEqual(inspect.returncode, 0, inspect.stdout + inspect.stderr)
        if not can_run_32bit():
            self.skipTest("32-bit programs cannot run here")
        result = subprocess.run([WINE32, self.sfxz, "one"], env=wine_env(), capture_output=True,
                                timeout=300)
        self.assertEqual(result.returncode, 41, result.stdout + result.stderr)


    def test_5_varied_builds_from_scratch_give_the_same_bytes(self):
        """Configures and builds two fresh copies of the example with the time zone, the locale,
        the umask, the build folder, the order in which the example's files were created, the
        date and the user all varied between the two."""
        reference = self.build_from_scratch("build", "forward", 0o022, {"TZ": "UTC", "LC_ALL": "C"})
        env = {"TZ": "Pacific/Kiritimati", "LC_ALL": "fr_FR.UTF-8", "LANG": "de_DE.UTF-8"}
        prefix = []
        if shutil.which("faketime"):
            prefix += ["faketime", "2031-07-15 12:00:00"]
            env["NO_FAKE_STAT"] = "1"
        else:
            print("packaging_cmake_app: the date is not varied: faketime is missing",
                  file=sys.stderr)
        if os.geteuid() != 0 or not shutil.which("setpriv"):
            print("packaging_cmake_app: the user is not varied: that needs root and setpriv",
                  file=sys.stderr)
        elif not all(map(second_user_reads, (os.path.abspath(__file__), EXAMPLE))):
            print("packaging_cmake_app: the user is not varied: nobody cannot read this checkout",
                  file=sys.stderr)
        else:
            prefix = as_second_user() + prefix
        varied = self.build_from_scratch("a much/longer build path", "reversed", 0o077, env,
                                         prefix)
        self.assertEqual(varied, reference)

    def build_from_scratch(self, path, order, umask, env_vars, prefix=()):
        root = os.path.join(self.dir, "scratch-%s-%s" % (order, umask), path)
        os.makedirs(root)
        for d in (os.path.dirname(root), root):
            os.chmod(d, 0o777)
        env = {k: v for k, v in os.environ.items() if k not in ("TZ", "LC_ALL", "LANG")}
        env.update(env_vars, SOURCE_DATE_EPOCH="1700000000")
        result = subprocess.run([*prefix, CHILD_PYTHON, os.path.abspath(__file__), "--copy-and-build",
                                 root, order, str(umask), self.prefix], env=env,
                                capture_output=True, text=True, timeout=600)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        with open(os.path.join(root, "build", "cmake-app-setup.exe"), "rb") as f:
            return f.read()

    def test_6_codepage_reaches_the_builder(self):
        project = os.path.join(self.dir, "codepage")
        tree = os.path.join(project, "tree")
        os.makedirs(tree)
        for name in ("setup.bat", "\u0424\u0430\u0439\u043b.txt"):
            with open(os.path.join(tree, name), "w") as f:
                f.write(name)
        with open(os.path.join(project, "CMakeLists.txt"), "w") as f:
            f.write("cmake_minimum_required(VERSION 3.20)\nproject(codepage NONE)\n"
                    "find_package(Packrig 3 REQUIRED)\n"
                    "packrig_add_sfx(sfx SOURCE_DIR tree EXECUTABLE setup.bat OUTPUT sfx.exe "
                    "CODEPAGE 1251)\n")
        build = os.path.join(project, "build")
        subprocess.run([CMAKE, "-S", project, "-B", build, "-G", "Ninja",
                        "-DCMAKE_PREFIX_PATH=" + self.prefix], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run([CMAKE, "--build", build], check=True, stdout=subprocess.DEVNULL)
        names = [e.name for e in sfxfile.parse(os.path.join(build, "sfx.exe")).entries]
        self.assertEqual(names, [b"setup.bat", "\u0424\u0430\u0439\u043b.txt".encode("cp1251")])


# The child runs as a second user too, who may not reach an interpreter under root's home.
CHILD_PYTHON = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable


def copy_and_build(root, order, umask, prefix):
    """Run in a child process under the varied conditions: copies the example's files in
    `order` with `umask`, then configures and builds the copy."""
    os.umask(umask)
    names = sorted(os.listdir(EXAMPLE), reverse=order == "reversed")
    source = os.path.join(root, "example")
    os.makedirs(source)
    for name in names:
        shutil.copyfile(os.path.join(EXAMPLE, name), os.path.join(source, name))
    build = os.path.join(root, "build")
    for command in ([CMAKE, "-S", source, "-B", build, "-G", "Ninja",
                     "-DCMAKE_PREFIX_PATH=" + prefix], [CMAKE, "--build", build]):
        if subprocess.run(command, stdout=subprocess.DEVNULL).returncode != 0:
            sys.exit(1)
    sys.exit(0)


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "--copy-and-build":
        copy_and_build(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5])
    unittest.main(verbosity=2)
