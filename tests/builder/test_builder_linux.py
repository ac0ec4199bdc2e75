"""End-to-end tests of the Linux builder: every byte of the SFX files it writes is accounted for
by an independent reader, and its command line behaves as documented."""

import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.environ["PACKRIG_SOURCE_DIR"], "tests", "tools"))
import sfxfile  # noqa: E402

PACKRIG = os.environ["PACKRIG"]
WINDOW = os.path.join(os.path.dirname(PACKRIG), os.pardir, "libexec", "packrig", "packrig-window")
SFXHEAD = os.path.join(os.environ["PACKRIG_SHIP_DIR"], "sfxhead.exe")
MIB = 1048576
SYNOPSIS = ("packrig [-o] [-c] [-h] [-z] [--codepage=N] <sourcedir> <executablefile> "
            "<targetfile>")
HINT = ("The executable file is named relative to the source directory, as in setup.exe or "
        "bin\\setup.exe.")


def make_tree(root):
    """A tree with nested and empty folders, empty files, files around the chunk size, names
    beginning with a dot and a read-only file. Returns {relative name: bytes}."""
    files = {
        "setup.bat": b"@echo off\r\nexit /b 3\r\n",
        "empty.txt": b"",
        ".hidden": b"dot name",
        "chunk/exact.bin": bytes(range(256)) * (MIB // 256),
        "chunk/plus1.bin": bytes(range(256)) * (MIB // 256) + b"!",
        "a/b/c/deep.txt": b"deep",
        "a/.dotdir/inside.txt": b"inside a dot folder",
        "readonly.txt": b"do not touch",
    }
    for rel, data in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    os.makedirs(os.path.join(root, "empty", "also-empty"))
    os.chmod(os.path.join(root, "readonly.txt"), 0o444)
    os.utime(os.path.join(root, "a", "b", "c", "deep.txt"), (0, time.mktime((2004, 2, 29, 13, 14, 15, 0, 0, -1))))
    return files


def run(*args, stdin=subprocess.DEVNULL, user=None, **env):
    """Runs the builder; SOURCE_DATE_EPOCH only reaches it when given in `env`."""
    cmd = [PACKRIG, *args]
    if user:
        cmd = ["setpriv", "--reuid=%s" % user, "--regid=nogroup", "--clear-groups", *cmd]
    environment = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    environment.update(env)
    return subprocess.run(cmd, stdin=stdin, capture_output=True, text=True, timeout=120,
                          env=environment)


def dos_time_of(path):
    t = time.localtime(os.stat(path).st_mtime)
    return sfxfile.dos_time(t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec)


class BuilderTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="packrig-e2e-")
        os.chmod(self.dir, 0o755)
        self.src = os.path.join(self.dir, "src")
        os.mkdir(self.src)
        self.target = os.path.join(self.dir, "out", "sfx.exe")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_as_nobody(self):
        """Builds the tree as an unprivileged user into a target folder anyone may write."""
        os.makedirs(os.path.dirname(self.target), exist_ok=True)
        os.chmod(os.path.dirname(self.target), 0o777)
        return run("-h", "-o", "-c", self.src, "setup.bat", self.target, user="nobody")


class PayloadTest(BuilderTest):
    def test_every_byte_is_accounted_for(self):
        files = make_tree(self.src)
        result = run("-h", "-o", "-c", self.src, "setup.bat", self.target)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        with open(self.target, "rb") as f:
            data = f.read()
        with open(SFXHEAD, "rb") as f:
            image = f.read()
        parsed = sfxfile.parse_bytes(data)
        # A batch file has no icon or version: the image is the runtime module unchanged.
        self.assertEqual(parsed.image_end, len(image))
        self.assertEqual(data[:parsed.image_end], image)
        self.assertEqual(data[parsed.image_end], 10)
        self.assertRegex(parsed.identifier.decode("ascii"), r"^00[0-7][0-9A-F]{7}$")
        self.assertEqual(parsed.trailing, b"")

        names = [e.name.decode("cp1252") for e in parsed.entries]
        self.assertEqual(names, [".hidden", "a\\.dotdir\\inside.txt", "a\\b\\c\\deep.txt",
                                 "chunk\\exact.bin", "chunk\\plus1.bin", "empty.txt",
                                 "readonly.txt", "setup.bat"])
        for entry in parsed.entries:
            rel = entry.name.decode("cp1252").replace("\\", "/")
            path = os.path.join(self.src, rel)
            self.assertEqual(entry.data, files[rel], rel)
            self.assertEqual(entry.checksum, sfxfile.byte_sum(entry.name, entry.data), rel)
            self.assertEqual(entry.is_exe, 1 if rel == "setup.bat" else 0, rel)
            self.assertEqual(entry.attr, 0x21 if rel == "readonly.txt" else 0x20, rel)
            self.assertEqual(entry.time, dos_time_of(path), rel)
        deep = next(e for e in parsed.entries if e.name.endswith(b"deep.txt"))
        self.assertEqual(sfxfile.dos_time_to_tuple(deep.time), (2004, 2, 29, 13, 14, 14))

    def test_empty_tree_stops_without_a_target(self):
        with open(os.path.join(self.dir, "setup.exe"), "wb") as f:
            f.write(b"MZ")
        os.mkdir(os.path.join(self.src, "nothing"))
        # The executable file must exist, so it lies outside the listed tree via a link to a
        # folder, which is not followed: no entry could be marked, and the SFX file would not
        # start.
        os.symlink(self.dir, os.path.join(self.src, "outside"))
        result = run("-h", "-c", self.src, "outside/setup.exe", self.target)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("Executable file is not stored in the SFX file", result.stderr)
        self.assertFalse(os.path.exists(self.target))

    def test_identifiers_differ_between_builds(self):
        make_tree(self.src)
        seen = set()
        for _ in range(3):
            self.assertEqual(run("-h", "-o", "-c", self.src, "setup.bat", self.target).returncode, 0)
            seen.add(sfxfile.parse(self.target).identifier)
        self.assertEqual(len(seen), 3)

    def test_links_and_special_files(self):
        make_tree(self.src)
        os.symlink("setup.bat", os.path.join(self.src, "link-to-file.bat"))
        os.symlink(self.src, os.path.join(self.src, "loop"))
        os.symlink("/nonexistent", os.path.join(self.src, "dangling"))
        os.mkfifo(os.path.join(self.src, "fifo"))
        result = run("-h", "-o", "-c", self.src, "setup.bat", self.target)
        self.assertEqual(result.returncode, 0, result.stderr)
        names = [e.name for e in sfxfile.parse(self.target).entries]
        self.assertIn(b"link-to-file.bat", names)
        self.assertFalse([n for n in names if n.startswith((b"loop", b"dangling", b"fifo"))])

    def test_unreadable_subdirectory_fails_naming_it(self):
        # Its files would otherwise be missing without a word; the old target stays as it was.
        # A folder that can be read but not searched lists names that cannot be looked at.
        make_tree(self.src)
        os.makedirs(os.path.dirname(self.target))
        with open(self.target, "wb") as f:
            f.write(b"old")
        for mode, concerned in ((0o000, "a/b/"), (0o644, "a/b/c")):
            os.chmod(os.path.join(self.src, "a", "b"), mode)
            result = self.run_as_nobody()
            self.assertEqual(result.returncode, 1, result.stderr)
            self.assertEqual(result.stderr,
                             "Application Error: Input/output error: File access denied\n"
                             "The input/output error concerns %s/%s\n" % (self.src, concerned))
            with open(self.target, "rb") as f:
                self.assertEqual(f.read(), b"old")

    def test_unrepresentable_name_says_which_code_page_and_what_to_do(self):
        make_tree(self.src)
        path = os.path.join(self.src, "\u0416.txt")
        with open(path, "wb") as f:
            f.write(b"zhe")
        os.makedirs(os.path.dirname(self.target))
        with open(self.target, "wb") as f:
            f.write(b"old")
        result = run("-h", "-o", "-c", self.src, "setup.bat", self.target)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr,
                         "Error: Name cannot be stored in Windows code page 1252\n\n%s\n\n"
                         "Name the code page of the systems that the SFX file is for with "
                         "--codepage=N (1250, 1251, 1252, 1253, 1254, 1257), or store "
                         "every name as it is with --codepage=utf-8.\n" % path)
        with open(self.target, "rb") as f:
            self.assertEqual(f.read(), b"old")

    def test_utf8_names_round_trip_through_inspect(self):
        files = make_tree(self.src)
        for rel in ("\u65e5\u672c\u8a9e.txt", "party\U0001f389.txt", "d\u00e9j\u00e0/\u0416.txt"):
            files[rel] = rel.encode()
            os.makedirs(os.path.dirname(os.path.join(self.src, rel)), exist_ok=True)
            with open(os.path.join(self.src, rel), "wb") as f:
                f.write(files[rel])
        result = run("-h", "-o", "-c", "--codepage", "UTF-8", self.src, "setup.bat", self.target)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        parsed = sfxfile.parse(self.target)
        self.assertRegex(parsed.identifier.decode("ascii"), r"^U8[0-7][0-9A-F]{7}$")
        self.assertIn("party\U0001f389.txt".encode(), [e.name for e in parsed.entries])
        out = os.path.join(self.dir, "extracted")
        result = subprocess.run([os.environ["PACKRIG_INSPECT"], "--extract", out, self.target],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        for rel, data in files.items():
            with open(os.path.join(out, rel), "rb") as f:
                self.assertEqual(f.read(), data, rel)

    def test_windows_1252_names_are_stored_in_that_code_page(self):
        make_tree(self.src)
        with open(os.path.join(self.src, "caf\u00e9 \u20ac.txt"), "wb") as f:
            f.write(b"x")
        self.assertEqual(run("-h", "-o", "-c", self.src, "setup.bat", self.target).returncode, 0)
        self.assertIn(b"caf\xe9 \x80.txt", [e.name for e in sfxfile.parse(self.target).entries])

    def test_codepage_switch_names_the_code_page_of_the_names(self):
        make_tree(self.src)
        for number, name in ((1250, "P\u0159\u00edli\u0161 \u0142"), (1251, "\u0416\u0443\u043a"),
                             (1252, "caf\u00e9"), (1253, "\u03a9\u03bc\u03ad\u03b3\u03b1"),
                             (1254, "\u011fa\u015f"), (1257, "\u0173\u017e\u012f")):
            with self.subTest(codepage=number):
                path = os.path.join(self.src, name + ".txt")
                with open(path, "wb") as f:
                    f.write(b"x")
                result = run("-h", "-o", self.src, "--codepage=%d" % number, "-c", "setup.bat",
                             self.target)
                self.assertEqual(result.returncode, 0, result.stderr)
                names = [e.name for e in sfxfile.parse(self.target).entries]
                self.assertIn((name + ".txt").encode("cp%d" % number), names)
                os.remove(path)
        os.remove(self.target)
        for value in ("1255", "", "utf8", "65001", "1251x"):
            with self.subTest(value=value):
                result = run("-h", "-o", "-c", "--codepage=" + value, self.src, "setup.bat",
                             self.target)
                self.assertEqual(result.returncode, 2)
                self.assertIn("1250, 1251, 1252, 1253, 1254, 1257, utf-8", result.stderr)
                self.assertFalse(os.path.exists(self.target))


class FaultTest(BuilderTest):
    def test_full_file_system_gives_disk_full(self):
        make_tree(self.src)
        mount = os.path.join(self.dir, "small")
        os.mkdir(mount)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", mount]).returncode:
            self.skipTest("cannot mount a tmpfs here (needs root)")
        try:
            target = os.path.join(mount, "sfx.exe")
            # A compressed build runs out of space in its spill file, which has no name of its
            # own to report.
            for switches in ([], ["-z"]):
                result = run("-h", "-o", "-c", *switches, self.src, "setup.bat", target)
                self.assertEqual(result.returncode, 1, switches)
                self.assertEqual(result.stderr,
                                 "Application Error: Input/output error: Disk full\n"
                                 "The input/output error concerns %s\n" % target, switches)
                # Nothing of the failed build stays behind, and all its space is free again.
                self.assertEqual(os.listdir(mount), [], switches)
                self.assertEqual(shutil.disk_usage(mount).used, 0, switches)
        finally:
            subprocess.run(["umount", mount])

    def start_build(self, switches, sig=None):
        # A shell may start tests with SIGINT ignored; the builder then rightly keeps it.
        return subprocess.Popen([PACKRIG, "-h", "-o", "-c"] + switches +
                                [self.src, "setup.bat", self.target], stderr=subprocess.DEVNULL,
                                preexec_fn=sig and (lambda: signal.signal(sig, signal.SIG_DFL)))

    def test_an_interrupted_build_leaves_the_target_as_it_was(self):
        with open(os.path.join(self.src, "setup.bat"), "wb") as f:
            f.write(b"@exit 0\r\n")
        with open(os.path.join(self.src, "large.bin"), "wb") as f:
            f.truncate(512 * MIB)  # sparse: long enough to be interrupted, quick to read
        folder = os.path.dirname(self.target)
        seen = set()

        def new_file():
            if os.path.isdir(folder):
                seen.update(os.listdir(folder))
            return any(n.endswith(".tmp") for n in seen)

        def spill_open(pid):
            # The spill file of a compressed build has no name once it is open.
            try:
                fds = os.listdir("/proc/%d/fd" % pid)
                return any(os.readlink("/proc/%d/fd/%s" % (pid, fd)).endswith(".spill (deleted)")
                           for fd in fds)
            except FileNotFoundError:
                return False

        # The signal lands as soon as the new file is there, and for a compressed build once
        # its spill file is open too.
        for switches in ([], ["-z"]):
            for sig in (signal.SIGINT, signal.SIGTERM):
                build = self.start_build(switches, sig)
                while not (new_file() and (not switches or spill_open(build.pid))):
                    self.assertIsNone(build.poll(), "%s: no new file seen open" % switches)
                    time.sleep(0.001)
                build.send_signal(sig)
                if build.wait(timeout=120) == 0:
                    self.skipTest("the build ended before it could be interrupted")
                self.assertEqual(build.returncode, -sig, switches)
                self.assertEqual(os.listdir(folder), [], switches)

        # Nothing catches SIGKILL: the new file stays, but no copy of the tree does.
        build = self.start_build(["-z"])
        while not spill_open(build.pid):
            self.assertIsNone(build.poll(), "no spill file seen open")
            time.sleep(0.001)
        build.kill()
        build.wait(timeout=120)
        left = os.listdir(folder)
        self.assertEqual(len(left), 1, left)
        self.assertTrue(left[0].endswith(".tmp"), left)

    def test_an_interrupt_during_the_resource_step_leaves_nothing(self):
        # The icon and version transfer (here of the runtime module's own, taken as the program)
        # writes the new file again under a name of its own and renames it over. strace stalls
        # the step in between, and the signal lands there.
        strace = shutil.which("strace")
        if not strace or subprocess.run([strace, "-o", os.devnull, "true"]).returncode != 0:
            self.skipTest("needs strace, able to trace here")
        shutil.copy(SFXHEAD, os.path.join(self.src, "setup.exe"))
        folder = os.path.dirname(self.target)
        build = subprocess.Popen(
            [strace, "-f", "-o", os.devnull, "-e", "trace=chmod,fchmodat",
             "-e", "inject=chmod,fchmodat:delay_exit=3000000",
             PACKRIG, "-h", "-o", "-c", self.src, "setup.exe", self.target],
            stderr=subprocess.DEVNULL,
            preexec_fn=lambda: signal.signal(signal.SIGTERM, signal.SIG_DFL))
        while not (os.path.isdir(folder) and
                   any(n.endswith(".resupdate") for n in os.listdir(folder))):
            self.assertIsNone(build.poll(), "the resource step wrote no file of its own")
            time.sleep(0.001)
        with open("/proc/%d/task/%d/children" % (build.pid, build.pid)) as f:
            builder = int(f.read().split()[0])
        os.kill(builder, signal.SIGTERM)
        self.assertEqual(build.wait(timeout=120), -signal.SIGTERM)
        self.assertEqual(os.listdir(folder), [])

    def test_unreadable_source_file_fails_with_its_message(self):
        # The listing sees the file; opening it for reading is refused.
        make_tree(self.src)
        os.chmod(os.path.join(self.src, "chunk", "exact.bin"), 0o000)
        result = self.run_as_nobody()
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr,
                         "Application Error: Input/output error: File access denied\n"
                         "The input/output error concerns %s/chunk/exact.bin\n" % self.src)


class CommandLineTest(BuilderTest):
    def setUp(self):
        super().setUp()
        make_tree(self.src)

    def test_rejections_exit_2_with_their_texts(self):
        cases = [
            (["/nonexistent/dir", "setup.bat", self.target],
             "Error: Source directory does not exist\n\n/nonexistent/dir/\n"),
            ([self.src, "missing.exe", self.target],
             "Error: Executable file does not exist\n\n%s/missing.exe\n%s\n" % (self.src, HINT)),
            ([self.src, os.path.join(self.src, "setup.bat"), self.target],
             "Error: Executable file does not exist\n\n%s/%s/setup.bat\n%s\n"
             % (self.src, self.src, HINT)),
            ([self.src, "setup.bat", self.target + ".bak"],
             "Error: Incorrect target executable file extension\nIt must be .EXE\n\n%s.bak\n"
             % self.target),
            (["  ", "setup.bat", self.target], "Error: Source directory does not exist\n\n\n"),
        ]
        for args, text in cases:
            result = run("-h", *args)
            self.assertEqual(result.returncode, 2, args)
            self.assertEqual(result.stderr, text)
            self.assertFalse(os.path.exists(self.target))

    def test_overwrite_question_defaults_to_no(self):
        self.assertEqual(run("-h", "-c", self.src, "setup.bat", self.target).returncode, 0)
        before = os.stat(self.target).st_mtime_ns
        with open(self.target, "rb") as f:
            content = f.read()
        for args in (["-h"], ["-h", "-oc"]):
            result = run(*args, self.src, "setup.bat", self.target)
            self.assertEqual(result.returncode, 2)
            self.assertIn("Question: Target file already exists\nOverwrite? [y/N]", result.stderr)
            with open(self.target, "rb") as f:
                self.assertEqual(f.read(), content)
        self.assertEqual(os.stat(self.target).st_mtime_ns, before)
        with open("/dev/null") as devnull:
            # -o replaces without asking; the completion message follows unless -c.
            result = run(self.src, "-H", "setup.bat", self.target, "-O", stdin=devnull)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stderr, "Information: SFX module has been successfully created\n")

    def test_every_spelling_marks_the_entry_and_a_file_stored_otherwise_stops(self):
        deep = b"a\\b\\c\\deep.txt"
        for exe, name in (("./setup.bat", b"setup.bat"), ("a/../setup.bat", b"setup.bat"),
                          ("a/b/c/deep.txt", deep), ("A\\B\\C\\DEEP.TXT", deep),
                          ("a//b/c/deep.txt", deep), ("a./b/c/deep.txt. ", deep),
                          ("../src/setup.bat", b"setup.bat"), ("/setup.bat", b"setup.bat")):
            result = run("-h", "-o", "-c", self.src, exe, self.target)
            self.assertEqual(result.returncode, 0, exe)
            # A text file is no program: only the warning about it is said.
            self.assertEqual(result.stderr == "", name == b"setup.bat", result.stderr)
            marked = [e.name for e in sfxfile.parse(self.target).entries if e.is_exe]
            self.assertEqual(marked, [name], exe)
        os.remove(self.target)
        # A folder link is not followed by the walk: the file is stored under its own folder.
        os.symlink("a", os.path.join(self.src, "linked"))
        with open(os.path.join(self.dir, "outside.bat"), "wb") as f:
            f.write(b"@exit 0\r\n")
        cases = [("linked/b/c/deep.txt", "Error: Executable file must be named as it is stored, "
                  "relative to the source directory\n\na\\b\\c\\deep.txt\n"),
                 ("../outside.bat", "Error: Executable file is not stored in the SFX file\nIt "
                  "must lie inside the source directory\n\n%s/../outside.bat\n" % self.src)]
        for exe, text in cases:
            result = run("-h", "-o", "-c", self.src, exe, self.target)
            self.assertEqual(result.returncode, 1, exe)
            self.assertTrue(result.stderr.endswith(text), result.stderr)
            self.assertFalse(os.path.exists(self.target), exe)
            self.assertEqual(os.listdir(os.path.dirname(self.target)), [], exe)

    def test_switches_anywhere_and_ignored_arguments_named(self):
        cases = [
            ([self.src, "-c", "setup.bat", "-o", self.target, "fourth", "-h"], ["fourth"]),
            (["-x", "-h", self.src, "-oc", "setup.bat", "-", self.target, "extra", "-C", "-O"],
             ["-x", "-oc", "-", "extra"]),
            (["-h", "-o", "-c", "--codepage", "1250", self.src, "setup.bat", "--CODEPAGE", "1252",
              self.target], []),
        ]
        for args, ignored in cases:
            result = run(*args)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stderr, "".join("packrig: ignored: %s\n" % a for a in ignored))
            self.assertTrue(os.path.exists(self.target))
            os.remove(self.target)

    def test_an_executable_file_that_cannot_start_is_warned_about(self):
        cases = [("empty.exe", b"", "is empty"),
                 ("a.txt", b"text", "is no Windows program"),
                 ("fake.exe", b"ZM\0\0", "is no Windows program"),
                 ("real.exe", b"MZ\x90\0", None), ("go.cmd", b"@echo off", None),
                 ("pkg.MSI", b"\xD0\xCF", None)]
        for name, content, why in cases:
            with open(os.path.join(self.src, name), "wb") as f:
                f.write(content)
            result = run("-h", "-o", "-c", self.src, name, self.target)
            self.assertEqual(result.returncode, 0, result.stderr)
            warning = ("packrig: warning: the executable file %s" % why) if why else ""
            self.assertTrue(result.stderr.startswith(warning), result.stderr)
            self.assertEqual("exits with -1" in result.stderr, why is not None, result.stderr)

    def test_unknown_options_and_missing_values_are_refused(self):
        cases = [(["--compress"], "unknown option --compress"),
                 (["--codepage"], "option --codepage needs a value, as in --codepage=value")]
        for extra, text in cases:
            result = run("-h", "-o", "-c", self.src, "setup.bat", self.target, *extra)
            self.assertEqual(result.returncode, 2, extra)
            self.assertEqual(result.stdout, "", extra)
            self.assertTrue(result.stderr.startswith("packrig: %s\n\nUsage:\n" % text),
                            result.stderr)
            self.assertFalse(os.path.exists(self.target), extra)

    def test_help_and_version_answer_on_stdout_without_the_window(self):
        with open(os.path.join(os.environ["PACKRIG_SOURCE_DIR"], "CMakeLists.txt")) as f:
            version = re.search(r"project\(packrig VERSION ([0-9.]+)", f.read()).group(1)
        # The usage text is the one that a headless start without paths shows.
        usage = run("-h").stderr
        self.assertIn("\n%s\n" % SYNOPSIS, usage)
        for switch in ("-o", "-c", "-h", "-z", "--codepage=N", "--help", "--version"):
            self.assertIn("\n%s " % switch, usage)
        self.assertIn("\npackrig -h ", usage)
        no_display = {k: v for k, v in os.environ.items()
                      if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        # A display that does not exist: starting the window would fail or hang.
        bogus_display = dict(no_display, DISPLAY=":4711")
        cases = [
            (["--help"], usage), (["--version"], "packrig %s\n" % version),
            (["-h", "--HELP", "-x", self.src], usage),
            ([self.src, "setup.bat", self.target, "--version", "--help"],
             "packrig %s\n" % version),
        ]
        for env in (no_display, bogus_display):
            for args, out in cases:
                result = subprocess.run([PACKRIG, *args], env=env, capture_output=True, text=True,
                                        stdin=subprocess.DEVNULL, timeout=60)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (0, out, ""),
                                 args)
                self.assertFalse(os.path.exists(self.target))

    def test_too_few_paths_print_usage_and_fail(self):
        for args in (["-h"], ["-h", self.src], ["-h", self.src, "setup.bat"]):
            result = run(*args)
            self.assertEqual(result.returncode, 2)
            self.assertIn(SYNOPSIS, result.stderr)

    def test_window_mode_without_a_display_explains_and_fails(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        for args in ([], [self.src, "setup.bat", self.target]):
            result = subprocess.run([PACKRIG, *args], env=env, capture_output=True, text=True,
                                    stdin=subprocess.DEVNULL, timeout=60)
            self.assertGreater(result.returncode, 0, result.stderr)  # an exit code, no signal
            self.assertIn("-h", result.stderr.splitlines()[0])
            self.assertIn(SYNOPSIS, result.stderr)
            self.assertFalse(os.path.exists(self.target))

    @unittest.skipUnless(os.path.exists(WINDOW), "this build has no window program")
    def test_window_mode_runs_the_window_program_with_the_same_arguments(self):
        # Paths-given mode builds at once and ends; the offscreen platform needs no display.
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen",
                   XDG_CONFIG_HOME=os.path.join(self.dir, "config"),
                   XDG_RUNTIME_DIR=self.dir)
        result = subprocess.run([PACKRIG, "-o", "-c", self.src, "setup.bat", self.target],
                                env=env, capture_output=True, text=True,
                                stdin=subprocess.DEVNULL, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        marked = [e.name for e in sfxfile.parse(self.target).entries if e.is_exe]
        self.assertEqual(marked, [b"setup.bat"])

    def test_bare_target_name_goes_to_the_current_folder(self):
        result = subprocess.run([PACKRIG, "-h", "-c", self.src, "setup.bat", "plain.exe"],
                                cwd=self.dir, capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertEqual(len(sfxfile.parse(os.path.join(self.dir, "plain.exe")).entries), 8)

    def test_a_failed_build_leaves_the_target_as_it_was(self):
        old = os.path.join(self.dir, "old.exe")
        self.assertEqual(run("-h", "-c", self.src, "setup.bat", old).returncode, 0)
        with open(os.path.join(self.src, "aux.txt"), "wb") as f:
            f.write(b"Windows cannot create this name")
        for existing in (False, True):
            if existing:
                shutil.copy(old, self.target)
            result = run("-h", "-o", "-c", self.src, "setup.bat", self.target)
            self.assertEqual(result.returncode, 1, result.stderr)
            self.assertIn("aux.txt", result.stderr)
            if existing:
                with open(self.target, "rb") as f, open(old, "rb") as g:
                    self.assertEqual(f.read(), g.read())
            self.assertEqual(os.listdir(os.path.dirname(self.target)),
                             ["sfx.exe"] if existing else [])

    def test_missing_runtime_image_is_an_internal_error(self):
        for args in (["-h", "-c", self.src, "setup.bat", self.target], []):
            result = subprocess.run([os.environ["PACKRIG_NOIMAGE"], *args], capture_output=True,
                                    text=True, stdin=subprocess.DEVNULL)
            self.assertEqual(result.returncode, 1)
            self.assertEqual(result.stderr, "Error: Internal error\nThe program is corrupted\n")
            self.assertFalse(os.path.exists(self.target))

    def test_german_system_captions(self):
        env = dict(os.environ, LC_ALL="de_AT.UTF-8")
        result = subprocess.run([PACKRIG, "-h", "/nonexistent", "x", "y.exe"], env=env,
                                capture_output=True, text=True, stdin=subprocess.DEVNULL)
        self.assertTrue(result.stderr.startswith("Fehler: "), result.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
