#!/usr/bin/env python3
"""An SFX file started where others can reach it, tried as an attacker would under wine: files,
folders, links and DLLs planted before a run, a second user in a shared temporary folder, a
renamed copy beside another SFX file, names and folders outside the code page, a temporary
folder without a drive letter, a payload that names a file twice, and the leftovers of earlier
runs. Each run must start the program it wrote, and only that, from a folder of its own.

Exits 77 (skipped) when wine cannot start here."""

import contextlib
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
import sfxfile  # noqa: E402
from sfxfile import Entry  # noqa: E402
from wineharness import (as_second_user, exit_unless_wine_starts, start_wine_quietly,  # noqa: E402
                         wine_env, windows_path)
from e2e_wine import (FAILED, ID, PREFIX, WINE, WIN_DIR, helper, image, pending_deletions,  # noqa: E402
                      read_record, temp_dir)

WORK = os.path.join(os.environ.get("PACKRIG_WORK_DIR", tempfile.gettempdir()), "sfxsafety")


def run(path, *args, env=None, timeout=300):
    env = env or wine_env()
    start_wine_quietly(env)
    return subprocess.run([WINE, path, *args], env=env, timeout=timeout, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def reg(*args):
    """Runs wine's reg; a value to delete may be missing."""
    subprocess.run([WINE, "reg", *args], env=wine_env(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120)


@contextlib.contextmanager
def temp_folder(value):
    """The user's temporary folder set to `value` (a Windows path) for the runs inside. Wine
    takes it from the user's registry file, which is changed while the server is down and
    restored as it was."""
    user_reg = os.path.join(PREFIX, "user.reg")
    subprocess.run(["wineserver", "-k"], env=wine_env(), timeout=60)
    subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=60)
    with open(user_reg, encoding="utf-8", errors="surrogateescape") as f:
        saved = f.read()
    escaped = "".join(c if ord(c) < 128 else "\\x%04x" % ord(c)
                      for c in value.replace("\\", "\\\\"))
    changed = re.sub(r'^"(TEMP|TMP)"=.*$', lambda m: '"%s"="%s"' % (m.group(1), escaped), saved,
                     flags=re.M)
    with open(user_reg, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write(changed)
    try:
        yield
    finally:
        subprocess.run(["wineserver", "-k"], env=wine_env(), timeout=60)
        subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=60)
        with open(user_reg, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(saved)


def run_folders(parent, identifier=ID):
    return sorted(os.path.basename(p) for p in glob.glob(os.path.join(parent, "~sfx" + identifier + "*")))


class SafetyTest(unittest.TestCase):
    def setUp(self):
        self.dir = os.path.join(WORK, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        for folder in run_folders(temp_dir()):
            shutil.rmtree(os.path.join(temp_dir(), folder), ignore_errors=True)
        self.record = os.path.join(self.dir, "record.txt")
        self.planted = os.path.join(self.dir, "planted.txt")

    def env(self, **extra):
        return wine_env(PACKRIG_RECORD=windows_path(self.record),
                        PACKRIG_PLANTED=windows_path(self.planted), **extra)

    def write(self, entries, name="test.exe", folder=None):
        path = os.path.join(folder or self.dir, name)
        sfxfile.write(path, image(), entries, identifier=ID)
        return path

    def recorder(self, exit_code=3, extra=()):
        return [Entry("bin\\argrecorder.exe", helper("argrecorder.exe"), is_exe=1),
                Entry("bin\\exitcode.txt", b"%d\r\n" % exit_code)] + list(extra)

    def assertRanGenuine(self, result, exit_code=3, listed=True):
        self.assertEqual(result.returncode, exit_code, result.stdout)
        rec = read_record(self.record)
        if listed:  # the recorder lists through ANSI calls, which some folders defeat
            self.assertRegex(rec["cwd"], r"\\~sfx%s(\.\d+)?\\?$" % ID)
            self.assertIn("bin\\argrecorder.exe", rec["files"])
        self.assertNotIn("bin\\impostor.txt", rec["files"])
        return rec

    def test_planted_folder_file_and_dll_are_never_used(self):
        # Whatever waits in the folder the run would have used: the program, a DLL beside it,
        # a link in place of its folder. The run unpacks into a folder that it created.
        victim = os.path.join(self.dir, "victim")
        os.makedirs(victim)
        with open(os.path.join(victim, "keep.txt"), "wb") as f:
            f.write(b"keep")
        plants = {
            "program": {"bin\\argrecorder.exe": helper("boxreader.exe"),
                        "bin\\impostor.txt": b"x", "bin\\exitcode.txt": b"99"},
            "dll": {"bin\\msvcrt.dll": helper("plantdll.dll")},
            "link": {},
        }
        for case, files in plants.items():
            with self.subTest(case):
                root = os.path.join(temp_dir(), "~sfx" + ID)
                shutil.rmtree(root, ignore_errors=True)
                os.makedirs(root)
                for name, data in files.items():
                    path = os.path.join(root, *name.split("\\"))
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    with open(path, "wb") as f:
                        f.write(data)
                if case == "link":
                    os.symlink(victim, os.path.join(root, "bin"))
                # The recorder imports msvcrt.dll: beside it, a planted one would load first.
                result = run(self.write(self.recorder()),
                             env=self.env(WINEDLLOVERRIDES="msvcrt=n,b"))
                self.assertRanGenuine(result)
                self.assertFalse(os.path.exists(self.planted), "the planted DLL was loaded")
                self.assertEqual(sorted(os.listdir(victim)), ["keep.txt"])
                os.remove(self.record)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root and setpriv")
    def test_second_user_in_a_shared_temp_folder(self):
        # A folder open to everyone, as C:\Windows\Temp is to services: another user plants a
        # run folder, then tries to write into the run's own while it runs.
        shared = os.path.join(self.dir, "shared")
        os.makedirs(shared)
        os.chmod(shared, 0o1777)
        os.chmod(self.dir, 0o755)
        other = as_second_user()
        planted = os.path.join(shared, "~sfx" + ID, "bin")
        subprocess.run(other + ["mkdir", "-p", planted], check=True)
        subprocess.run(other + ["cp", os.path.join(WIN_DIR, "boxreader.exe"),
                                os.path.join(planted, "argrecorder.exe")], check=True)
        wait = os.path.join(self.dir, "go")
        script = ("@echo off\r\n:wait\r\nif not exist \"%s\" goto wait\r\nexit /b 5\r\n"
                  % windows_path(wait)).encode()
        path = self.write([Entry("go.bat", script, is_exe=1), Entry("data.txt", b"data")])
        with temp_folder(windows_path(shared)):
            start_wine_quietly(wine_env())
            sfx = subprocess.Popen([WINE, path], env=wine_env(), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                ours = None
                for _ in range(600):
                    ours = [f for f in run_folders(shared)
                            if os.path.exists(os.path.join(shared, f, "go.bat"))]
                    if ours or sfx.poll() is not None:
                        break
                    subprocess.run(["sleep", "0.1"])
                self.assertTrue(ours, "the run made no folder of its own")
                folder = os.path.join(shared, ours[0])
                for attempt in (["touch", os.path.join(folder, "x")],
                                ["cp", "/dev/null", os.path.join(folder, "go.bat")],
                                ["ls", folder]):
                    probe = subprocess.run(other + attempt, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)
                    self.assertNotEqual(probe.returncode, 0, attempt)
            finally:
                with open(wait, "w"):
                    pass
                code = sfx.wait(timeout=300)
        self.assertEqual(code, 5)

    def test_links_are_neither_walked_nor_deleted_through_at_restart(self):
        # A link appears in the run's folder while its program runs; the clean-up registers the
        # link, and the restart removes it, not what it points to. An empty folder behind the
        # link would go with any walk through it.
        victim = os.path.join(self.dir, "victim")
        os.makedirs(os.path.join(victim, "sub"))
        os.makedirs(os.path.join(victim, "empty"))
        with open(os.path.join(victim, "sub", "keep.txt"), "wb") as f:
            f.write(b"keep")
        go = os.path.join(self.dir, "go")
        script = ("@echo off\r\n:wait\r\nif not exist \"%s\" goto wait\r\nexit /b 0\r\n"
                  % windows_path(go)).encode()
        path = self.write([Entry("go.bat", script, is_exe=1), Entry("a\\data.txt", b"x")])
        start_wine_quietly(wine_env())
        sfx = subprocess.Popen([WINE, path], env=wine_env(), stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            for _ in range(600):
                folders = run_folders(temp_dir())
                if folders and os.path.exists(os.path.join(temp_dir(), folders[0], "go.bat")):
                    break
                subprocess.run(["sleep", "0.1"])
            folder = os.path.join(temp_dir(), folders[0])
            os.symlink(victim, os.path.join(folder, "link"))
            os.symlink(victim, os.path.join(folder, "a", "deeper"))
        finally:
            with open(go, "w"):
                pass
            self.assertEqual(sfx.wait(timeout=300), 0)
        deletions = pending_deletions()
        self.assertTrue([d for d in deletions if d.endswith("\\link")], deletions)
        self.assertFalse([d for d in deletions if "\\link\\" in d or "\\deeper\\" in d])
        subprocess.run([WINE, "wineboot", "-r"], env=wine_env(), timeout=300,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=120)
        self.assertEqual(sorted(os.listdir(victim)), ["empty", "sub"])
        self.assertTrue(os.path.exists(os.path.join(victim, "sub", "keep.txt")))

    def test_renamed_copy_and_folders_outside_the_code_page(self):
        # A copy renamed with a fullwidth letter that best-fits to its neighbour's name; the SFX
        # file in a Cyrillic folder; a Cyrillic temporary folder, one without a drive letter, and
        # one whose paths pass MAX_PATH.
        other = self.write([Entry("bin\\impostor.txt", b"x"),
                            Entry("bin\\argrecorder.exe", helper("argrecorder.exe"), is_exe=1)],
                           name="setup.exe")
        self.assertTrue(os.path.exists(other))
        cyrillic = os.path.join(self.dir, "Привет")
        os.makedirs(cyrillic)
        # A temporary folder that leaves the program's path below MAX_PATH, which the shell
        # needs to start it, and a stored file whose path passes it.
        deep = self.dir
        while len(windows_path(deep)) < 170:
            deep = os.path.join(deep, "long folder name")
        far = Entry("far\\" + "x" * 60 + "\\" + "y" * 60 + ".txt", b"far")
        cases = {
            "fullwidth": (self.write(self.recorder(), name="\uff53etup.exe"), None),
            "cyrillic folder": (self.write(self.recorder(), folder=cyrillic), None),
            "cyrillic temp": (self.write(self.recorder()), windows_path(cyrillic)),
            "no drive letter": (self.write(self.recorder()),
                                "\\\\?\\" + windows_path(os.path.join(self.dir, "t"))),
            "past MAX_PATH": (self.write(self.recorder(extra=[far])), windows_path(deep)),
        }
        os.makedirs(os.path.join(self.dir, "t"))
        os.makedirs(deep)
        for case, (path, temp) in cases.items():
            with self.subTest(case):
                # The recorder finds its exit code beside it through ANSI calls, which cannot
                # name a Cyrillic folder: it takes the code from its environment.
                with temp_folder(temp) if temp else contextlib.nullcontext():
                    result = run(path, env=self.env(PACKRIG_EXIT_CODE="3"))
                self.assertRanGenuine(result,
                                      listed=case not in ("cyrillic temp", "past MAX_PATH"))
                os.remove(self.record)
        unpacked = glob.glob(os.path.join(deep, "~sfx*", "far", "x" * 60, "y" * 60 + ".txt"))
        self.assertEqual(len(unpacked), 1)
        self.assertGreater(len(windows_path(unpacked[0])), 260)

    def test_dll_beside_the_sfx_file_is_not_loaded(self):
        shutil.copy(os.path.join(WIN_DIR, "plantdll.dll"), os.path.join(self.dir, "uxtheme.dll"))
        shutil.copy(os.path.join(WIN_DIR, "plantdll.dll"), os.path.join(self.dir, "version.dll"))
        result = run(self.write(self.recorder()),
                     env=self.env(WINEDLLOVERRIDES="uxtheme,version=n,b"))
        self.assertRanGenuine(result)
        self.assertFalse(os.path.exists(self.planted), "a planted DLL was loaded")

    def test_a_name_stored_twice_is_refused(self):
        for second in ("bin\\argrecorder.exe", "BIN\\ARGRECORDER.EXE", "bin\\argrecorder.exe."):
            with self.subTest(second):
                path = self.write(self.recorder() + [Entry(second, helper("boxreader.exe"))])
                result = run(path, env=self.env())
                self.assertEqual(result.returncode, FAILED, result.stdout)
                self.assertFalse(os.path.exists(self.record), "a program was started")

    def test_runs_keep_to_their_own_folders_and_leave_no_pile(self):
        # A run still going keeps its folder; later runs take another name, and each removes
        # what finished runs left, with their registrations for the restart.
        reg("delete", "HKLM\\System\\CurrentControlSet\\Control\\Session Manager", "/v",
            "PendingFileRenameOperations", "/f")
        wait = os.path.join(self.dir, "go")
        script = ("@echo off\r\nif exist stay.txt goto wait\r\nexit /b 0\r\n:wait\r\n"
                  "if not exist \"%s\" goto wait\r\nexit /b 0\r\n" % windows_path(wait)).encode()
        files = [Entry("d%d\\f%03d.txt" % (i % 4, i), b"%d" % i) for i in range(200)]
        first = self.write([Entry("go.bat", script, is_exe=1), Entry("stay.txt", b"")] + files)
        later = self.write([Entry("go.bat", script, is_exe=1)] + files, name="later.exe")
        shutil.copy(later, os.path.join(self.dir, "x"))
        start_wine_quietly(wine_env())
        held = subprocess.Popen([WINE, first], env=wine_env(), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            for _ in range(600):
                if run_folders(temp_dir()) and held.poll() is None:
                    break
                subprocess.run(["sleep", "0.1"])
            for _ in range(3):
                self.assertEqual(run(later).returncode, 0)
            folders = run_folders(temp_dir())
            self.assertEqual(len(folders), 2, folders)
            self.assertTrue(os.path.exists(os.path.join(temp_dir(), folders[0], "stay.txt")))
            self.assertEqual(len(os.listdir(os.path.join(temp_dir(), folders[0], "d0"))), 50)
        finally:
            with open(wait, "w"):
                pass
            held.wait(timeout=300)
        self.assertEqual(run(later).returncode, 0)
        folders = run_folders(temp_dir())
        self.assertEqual(len(folders), 1, folders)
        registered = {re.sub(r"\\[^\\]*$", "", d.split("\\~sfx")[1])
                      for d in pending_deletions() if "\\~sfx" in d}
        # The last run's folder, and nothing of the runs that it removed.
        self.assertEqual({r.split("\\")[0] for r in registered}, {folders[0][4:]})


def main():
    exit_unless_wine_starts()
    os.makedirs(WORK, exist_ok=True)
    unittest.main()


if __name__ == "__main__":
    main()
