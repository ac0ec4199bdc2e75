"""packrig-inspect on SFX files of the Linux builder: the listing in text and JSON, the verdict
on sound and damaged files, and unpacking with names, times and the read-only bit."""

import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.environ["PACKRIG_SOURCE_DIR"], "tests", "tools"))
import deflate_tree  # noqa: E402
import sfxfile  # noqa: E402

PACKRIG = os.environ["PACKRIG"]
INSPECT = os.environ["PACKRIG_INSPECT"]


def inspect(*args):
    return subprocess.run([INSPECT, *args], capture_output=True, text=True, timeout=120)


def inspect_bytes(*args):
    return subprocess.run([INSPECT, *args], capture_output=True, timeout=20)


class InspectTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="packrig-inspect-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        src = os.path.join(self.dir, "src")
        os.makedirs(os.path.join(src, "Docs"))
        self.files = {"setup.bat": b"@echo off\r\n", "Docs/Read me.txt": b"hello",
                      "Docs/caf\u00e9.txt": b"", "locked.txt": b"keep"}
        for rel, data in self.files.items():
            with open(os.path.join(src, rel), "wb") as f:
                f.write(data)
        os.chmod(os.path.join(src, "locked.txt"), 0o444)
        self.stamp = time.mktime((2021, 6, 5, 14, 30, 12, 0, 0, -1))
        os.utime(os.path.join(src, "Docs", "Read me.txt"), (self.stamp, self.stamp))
        self.sfx = os.path.join(self.dir, "out", "t.exe")
        built = subprocess.run([PACKRIG, "-o", "-c", "-h", src, "setup.bat", self.sfx],
                               capture_output=True, timeout=120)
        self.assertEqual(built.returncode, 0, built.stderr)
        with open(self.sfx, "rb") as f:
            self.data = f.read()

    def damaged(self, name, data):
        path = os.path.join(self.dir, name + ".exe")
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_listing_text_and_json_agree_with_the_file(self):
        parsed = sfxfile.parse(self.sfx)
        text = inspect(self.sfx)
        self.assertEqual(text.returncode, 0, text.stderr)
        lines = text.stdout.splitlines()
        self.assertIn("identifier " + parsed.identifier.decode(), lines)
        self.assertIn("image %d" % parsed.image_end, lines)
        self.assertIn("entry - 5 2021-06-05 14:30:12 00000020 %08X Docs\\Read me.txt"
                      % [e for e in parsed.entries if e.name == b"Docs\\Read me.txt"][0].checksum,
                      lines)
        self.assertEqual(lines[-1], "status sound")
        doc = json.loads(inspect("--json", self.sfx).stdout)
        self.assertTrue(doc["sound"])
        self.assertEqual([e["name"] for e in doc["entries"]],
                         [e.name.decode("cp1252") for e in parsed.entries])
        self.assertEqual([e["checksum"] for e in doc["entries"]],
                         [e.checksum for e in parsed.entries])
        self.assertEqual([e["name"] for e in doc["entries"] if e["marked"]], ["setup.bat"])
        locked = [e for e in doc["entries"] if e["name"] == "locked.txt"][0]
        self.assertEqual(locked["attributes"] & 1, 1)

    def test_verify_refuses_damaged_files_with_the_runtime_reason(self):
        self.assertEqual(inspect("--verify", self.sfx).returncode, 0)
        offsets = sfxfile.payload_offsets(self.data)
        flipped = bytearray(self.data)
        flipped[len(self.data) - 30] ^= 0x10  # in the last entry's name or data
        cases = {"flipped": bytes(flipped), "no-payload": self.data[:offsets[0][1]],
                 "trailing-cut": self.data[:-1]}
        for _, off in offsets[1:]:
            cases["cut%d" % off] = self.data[:off + 3]
        for name, data in cases.items():
            with self.subTest(name):
                path = self.damaged(name, data)
                result = inspect("--verify", path)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn(path + " is not a valid Win32 application (error 193)",
                              result.stderr)
                self.assertEqual(inspect(path).returncode, 1)
        self.assertEqual(inspect("--verify", self.damaged("extra", self.data + b"x")).returncode,
                         0, "data after the terminator is ignored")

    def test_extract_unpacks_names_times_and_read_only(self):
        out = os.path.join(self.dir, "x")
        result = inspect("--extract", out, self.sfx)
        self.assertEqual(result.returncode, 0, result.stderr)
        for rel, data in self.files.items():
            with open(os.path.join(out, rel), "rb") as f:
                self.assertEqual(f.read(), data, rel)
        self.assertEqual(int(os.stat(os.path.join(out, "Docs", "Read me.txt")).st_mtime),
                         int(self.stamp))
        self.assertFalse(os.stat(os.path.join(out, "locked.txt")).st_mode & 0o222)
        self.assertTrue(os.stat(os.path.join(out, "setup.bat")).st_mode & 0o200)

    def test_extract_refuses_before_writing_and_stays_inside(self):
        escape = sfxfile.build(self.data[:sfxfile.image_end(self.data)],
                               [sfxfile.Entry("a.txt", b"1"),
                                sfxfile.Entry("..\\..\\escaped.txt", b"x", is_exe=1)])
        flipped = bytearray(self.data)
        flipped[len(self.data) - 30] ^= 0x10
        for name, data in {"escape": escape, "flipped": bytes(flipped)}.items():
            with self.subTest(name):
                out = os.path.join(self.dir, "deep", "x-" + name)
                result = inspect("--extract", out, self.damaged(name, data))
                self.assertEqual(result.returncode, 1)
                self.assertFalse(os.path.exists(out))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "escaped.txt")))

    def test_extract_never_follows_links_in_the_folder(self):
        out = os.path.join(self.dir, "x")
        elsewhere = os.path.join(self.dir, "elsewhere")
        os.makedirs(out)
        os.makedirs(elsewhere)
        os.symlink(elsewhere, os.path.join(out, "Docs"))
        result = inspect("--extract", out, self.sfx)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(os.listdir(elsewhere), [])

    def test_deflate_streams_are_listed_and_extracted_byte_for_byte(self):
        src = os.path.join(self.dir, "deflate")
        files, least, most = deflate_tree.deflate_files()
        files["setup.bat"] = b"@echo off\r\n"
        deflate_tree.write_tree(src, files)
        packed = os.path.join(self.dir, "d.exe")
        built = subprocess.run([PACKRIG, "-o", "-c", "-h", "-z", src, "setup.bat", packed],
                               capture_output=True, timeout=120)
        self.assertEqual(built.returncode, 0, built.stderr)
        doc = json.loads(inspect("--json", packed).stdout)
        self.assertTrue(doc["sound"], doc["reason"])
        self.assertEqual(doc["unpacked"], sum(len(d) for d in files.values()))
        rebuilt = {e["name"]: e["recompressed"] for e in doc["entries"] if "recompressed" in e}
        self.assertTrue(least <= sum(r["streams"] for r in rebuilt.values()) <= most, rebuilt)
        self.assertNotIn("lib\\flushed.zip", rebuilt)
        self.assertEqual(rebuilt["lib\\app.jar"]["streams"], 12)
        out = os.path.join(self.dir, "dx")
        self.assertEqual(inspect("--extract", out, packed).returncode, 0)
        for rel, content in files.items():
            with open(os.path.join(out, *rel.split("/")), "rb") as f:
                self.assertTrue(f.read() == content, rel)

    def test_compressed_file_lists_verifies_and_extracts_like_the_plain_one(self):
        src = os.path.join(self.dir, "src")
        packed = os.path.join(self.dir, "out", "z.exe")
        built = subprocess.run([PACKRIG, "-o", "-c", "-h", "-z", src, "setup.bat", packed],
                               capture_output=True, timeout=120)
        self.assertEqual(built.returncode, 0, built.stderr)
        plain_doc = json.loads(inspect("--json", self.sfx).stdout)
        doc = json.loads(inspect("--json", packed).stdout)
        self.assertTrue(doc["sound"], doc["reason"])
        self.assertFalse(plain_doc["compressed"])
        self.assertEqual(plain_doc["packed"], plain_doc["unpacked"])
        self.assertTrue(doc["compressed"])
        with open(packed, "rb") as f:
            data = f.read()
        end = sfxfile.image_end(data)
        self.assertEqual(doc["packed"], len(data) - end - 11 - 44)
        self.assertEqual(doc["unpacked"], sum(len(d) for d in self.files.values()))
        strip = lambda d: [dict(e, dostime=None, time=None) for e in d["entries"]]  # noqa: E731
        self.assertEqual(sorted(strip(doc), key=lambda e: e["name"]),
                         sorted(strip(plain_doc), key=lambda e: e["name"]))
        lines = inspect(packed).stdout.splitlines()
        self.assertIn("compressed yes", lines)
        self.assertIn("unpacked %d" % doc["unpacked"], lines)

        out = os.path.join(self.dir, "zx")
        result = inspect("--extract", out, packed)
        self.assertEqual(result.returncode, 0, result.stderr)
        for rel, content in self.files.items():
            with open(os.path.join(out, rel), "rb") as f:
                self.assertEqual(f.read(), content, rel)

        for at in (end + 11, end + 60, len(data) - 1):
            flipped = bytearray(data)
            flipped[at] ^= 0x01
            path = self.damaged("z%d" % at, bytes(flipped))
            with self.subTest(at=at):
                result = inspect("--verify", path)
                self.assertEqual(result.returncode, 1)
                self.assertIn(path + " is not a valid Win32 application (error 193)",
                              result.stderr)
                out = os.path.join(self.dir, "zx%d" % at)
                self.assertEqual(inspect("--extract", out, path).returncode, 1)
                self.assertFalse(os.path.exists(out))

    def crafted(self, name, entries):
        image = self.data[:sfxfile.image_end(self.data)]
        return self.damaged(name, sfxfile.build(image, entries))

    def test_extract_replaces_existing_files_and_never_writes_through_them(self):
        out = os.path.join(self.dir, "x")
        os.makedirs(os.path.join(out, "Docs"))
        victim = os.path.join(self.dir, "victim.txt")
        with open(victim, "wb") as f:
            f.write(b"outside")
        os.link(victim, os.path.join(out, "setup.bat"))
        with open(os.path.join(out, "Docs", "Read me.txt"), "wb") as f:
            f.write(b"an older and longer text")
        result = inspect("--extract", out, self.sfx)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b"outside")
        self.assertTrue(os.stat(victim).st_mode & 0o200)
        for rel in ("setup.bat", "Docs/Read me.txt"):
            with open(os.path.join(out, rel), "rb") as f:
                self.assertEqual(f.read(), self.files[rel], rel)
        self.assertNotEqual(os.stat(victim).st_ino, os.stat(os.path.join(out, "setup.bat")).st_ino)

    def test_extract_never_writes_over_the_sfx_file(self):
        folder = os.path.join(self.dir, "own")
        os.makedirs(folder)
        sfx = os.path.join(folder, "t.exe")
        data = sfxfile.write(sfx, self.data[:sfxfile.image_end(self.data)],
                             [sfxfile.Entry("a.txt", b"1"), sfxfile.Entry("t.exe", b"MZ", is_exe=1)])
        linked = os.path.join(self.dir, "linked")
        os.makedirs(linked)
        os.link(sfx, os.path.join(linked, "t.exe"))
        for target in (folder, linked):
            with self.subTest(target):
                result = inspect("--extract", target, sfx)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn("t.exe: The process cannot access the file because it is being "
                              "used by another process (error 32)", result.stderr)
                with open(sfx, "rb") as f:
                    self.assertEqual(f.read(), data)

    def test_extract_opens_no_fifo_and_never_waits(self):
        for rel in ("at-file/setup.bat", "at-folder/Docs", "as-dir"):
            with self.subTest(rel):
                fifo = os.path.join(self.dir, rel)
                os.makedirs(os.path.dirname(fifo), exist_ok=True)
                os.mkfifo(fifo)
                out = os.path.join(self.dir, rel.split("/")[0])
                result = subprocess.run([INSPECT, "--extract", out, self.sfx],
                                        capture_output=True, text=True, timeout=20)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertTrue(stat.S_ISFIFO(os.lstat(fifo).st_mode))

    def test_listing_escapes_what_could_forge_lines_or_reach_the_terminal(self):
        # A control character makes the name unsafe, so the walk stops there; the refusal names
        # the entry with its control characters escaped.
        forged = "a.txt\nentry * 1 b.txt\nstatus sound"
        path = self.crafted("forge", [sfxfile.Entry(forged, b"1"),
                                      sfxfile.Entry(b"\x1b[2J.txt", b"2", is_exe=1)])
        result = inspect_bytes(path)
        self.assertEqual(result.returncode, 1)
        lines = result.stdout.decode("utf-8").splitlines()
        self.assertEqual([line for line in lines if line.startswith("entry ")], [])
        self.assertEqual([line for line in lines if line.startswith("status")], [lines[-1]])
        self.assertTrue(lines[-1].startswith("status refused "), lines[-1])
        self.assertIn('"a.txt<0A>entry * 1 b.txt<0A>status sound"', lines[-1])
        self.assertNotIn(b"\x1b", result.stdout + result.stderr)
        # Bytes that do not convert and "<" itself are escaped in an entry's line.
        name = b"[2J<\x81\xe9.txt"
        path = self.crafted("odd", [sfxfile.Entry(name, b"2", is_exe=1)])
        lines = inspect_bytes(path).stdout.decode("utf-8").splitlines()
        self.assertIn("entry * 1 2020-05-17 13:45:30 00000020 %08X [2J<3C><81>\u00e9.txt"
                      % sfxfile.byte_sum(name, b"2"), lines)

    def test_json_is_valid_utf8_for_any_path(self):
        folder = os.path.join(self.dir.encode(), b"caf\xe9\x1b")
        os.makedirs(folder)
        path = os.path.join(folder, b"t.exe")
        shutil.copy(self.sfx, path)
        doc = json.loads(inspect_bytes("--json", path).stdout.decode("utf-8"))
        self.assertTrue(doc["file"].endswith("caf\ufffd\x1b/t.exe"), doc["file"])
        text = inspect_bytes(path).stdout.decode("utf-8")
        self.assertIn("caf<E9><1B>/t.exe\n", text)
        self.assertIn(b"caf<E9><1B>/t.exe: sound", inspect_bytes("--verify", path).stdout)

    def test_verify_refuses_names_that_windows_cannot_create(self):
        names = {"a*b.txt": "a*b.txt", "q?.txt": "q?.txt", "|": "|", "<": "<3C>", '"': '"',
                 "x" * 300: "x" * 300, "con.txt": "con.txt", "tab\there": "tab<09>here"}
        for name, shown in names.items():
            with self.subTest(name):
                path = self.crafted("name", [sfxfile.Entry("a.txt", b"1"),
                                             sfxfile.Entry(name, b"2", is_exe=1)])
                result = inspect("--verify", path)
                self.assertEqual(result.returncode, 1)
                self.assertIn('entry 2 "%s" at offset' % shown, result.stderr)
                if "\t" not in name:  # the runtime module's own check may come first
                    self.assertIn("(error 123)", result.stderr)
                    self.assertIn("a name Windows cannot create", result.stderr)
                out = os.path.join(self.dir, "never")
                self.assertEqual(inspect_bytes("--extract", out, path).returncode, 1)
                self.assertFalse(os.path.exists(out))

    def test_codepage_names_the_stored_names_encoding(self):
        src = os.path.join(self.dir, "cyr")
        os.makedirs(src)
        for rel in ("setup.bat", "\u0414\u043e\u043a.txt"):
            with open(os.path.join(src, rel), "wb") as f:
                f.write(b"x")
        sfx = os.path.join(self.dir, "cyr.exe")
        built = subprocess.run([PACKRIG, "-o", "-c", "-h", "--codepage=1251", src, "setup.bat", sfx],
                               capture_output=True, timeout=120)
        self.assertEqual(built.returncode, 0, built.stderr)
        self.assertIn("\u0414\u043e\u043a.txt", inspect("--codepage=1251", sfx).stdout)
        self.assertIn("\u00c4\u00ee\u00ea.txt", inspect(sfx).stdout)  # the same bytes as 1252
        doc = json.loads(inspect("--codepage=1251", "--json", sfx).stdout)
        self.assertIn("\u0414\u043e\u043a.txt", [e["name"] for e in doc["entries"]])
        out = os.path.join(self.dir, "unpacked")
        self.assertEqual(inspect("--codepage=1251", "--extract", out, sfx).returncode, 0)
        self.assertTrue(os.path.isfile(os.path.join(out, "\u0414\u043e\u043a.txt")))
        wrong = inspect("--codepage=437", sfx)
        self.assertEqual(wrong.returncode, 2)
        self.assertIn("--codepage=437 names no code page", wrong.stderr)

    def test_help(self):
        result = inspect("--help")
        self.assertEqual(result.returncode, 0)
        self.assertTrue(result.stdout.startswith("usage: packrig-inspect"), result.stdout)
        self.assertEqual(result.stderr, "")

    def test_usage_and_missing_file(self):
        self.assertEqual(inspect().returncode, 2)
        self.assertEqual(inspect("--bogus", self.sfx).returncode, 2)
        self.assertEqual(inspect("--extract", self.sfx).returncode, 2)
        self.assertEqual(inspect(os.path.join(self.dir, "missing.exe")).returncode, 2)


if __name__ == "__main__":
    unittest.main(verbosity=2)
