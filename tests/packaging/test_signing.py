"""Code signing of an SFX file on Linux: osslsigncode signs it with a throw-away certificate
authority made here, the signature verifies, the certificate table is the only thing appended,
packrig-inspect still finds the file sound, and the signed file runs under wine."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.environ["PACKRIG_SOURCE_DIR"], "tests", "tools"))
import sfxfile  # noqa: E402
from wineharness import exit_unless_wine_starts, wine_env, windows_path  # noqa: E402

WINE = os.environ.get("WINE", "wine")
TESTHEAD = os.environ["PACKRIG_TESTHEAD"]
INSPECT = os.environ["PACKRIG_INSPECT"]
HELPER = os.path.join(os.environ["PACKRIG_WIN_DIR"], "argrecorder.exe")
TOOLS = all(shutil.which(tool) for tool in ("openssl", "osslsigncode"))


def run(*command, **kw):
    return subprocess.run(command, capture_output=True, text=True, timeout=120, **kw)


def security_directory(data):
    """Offset and size of the certificate table that the PE header's security directory
    names."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    return struct.unpack_from("<II", data, directories + 4 * 8)


class Authority:
    """A throw-away certificate authority and a code-signing certificate that it issued."""

    def __init__(self, folder, name):
        self.ca = os.path.join(folder, name + "-ca.pem")
        self.cert = os.path.join(folder, name + "-signer.pem")
        self.key = os.path.join(folder, name + "-signer.key")
        ca_key = os.path.join(folder, name + "-ca.key")
        request = os.path.join(folder, name + "-signer.csr")
        extensions = os.path.join(folder, name + "-ext.cnf")
        with open(extensions, "w") as f:
            f.write("keyUsage=digitalSignature\nextendedKeyUsage=codeSigning\n")
        steps = [
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key,
             "-out", self.ca, "-days", "2", "-subj", "/CN=%s test authority" % name],
            ["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key, "-out",
             request, "-subj", "/CN=%s test signer" % name],
            ["openssl", "x509", "-req", "-in", request, "-CA", self.ca, "-CAkey", ca_key,
             "-CAcreateserial", "-days", "2", "-extfile", extensions, "-out", self.cert],
        ]
        for step in steps:
            result = run(*step)
            if result.returncode != 0:
                raise RuntimeError("%s: %s" % (" ".join(step), result.stderr))


@unittest.skipUnless(TOOLS, "openssl and osslsigncode are not installed")
class SigningTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="packrig-sign-")
        src = os.path.join(cls.dir, "tree")
        os.makedirs(os.path.join(src, "bin"))
        shutil.copy(HELPER, os.path.join(src, "bin", "setup.exe"))
        for rel, data in (("bin/exitcode.txt", b"7"), ("readme.txt", b"read me\r\n")):
            with open(os.path.join(src, rel), "wb") as f:
                f.write(data)
        cls.unsigned = os.path.join(cls.dir, "setup-sfx.exe")
        built = run(TESTHEAD, "-h", "-o", "-c", src, "bin\\setup.exe", cls.unsigned)
        assert built.returncode == 0, built.stderr
        cls.authority = Authority(cls.dir, "packrig")
        cls.signed = os.path.join(cls.dir, "setup-sfx-signed.exe")
        signed = run("osslsigncode", "sign", "-certs", cls.authority.cert, "-key",
                     cls.authority.key, "-n", "Packrig test", "-in", cls.unsigned, "-out",
                     cls.signed)
        assert signed.returncode == 0, signed.stdout + signed.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def test_signature_verifies_with_its_authority_only(self):
        verified = run("osslsigncode", "verify", "-CAfile", self.authority.ca, "-in", self.signed)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        stranger = Authority(self.dir, "stranger")
        refused = run("osslsigncode", "verify", "-CAfile", stranger.ca, "-in", self.signed)
        self.assertNotEqual(refused.returncode, 0, refused.stdout)

    def test_only_the_certificate_table_is_appended(self):
        unsigned, signed = self.read(self.unsigned), self.read(self.signed)
        self.assertEqual(security_directory(unsigned), (0, 0))
        offset, size = security_directory(signed)
        self.assertEqual(offset + size, len(signed))
        # The table starts on the next 8-byte boundary; the alignment bytes are zero.
        self.assertEqual(offset, (len(unsigned) + 7) // 8 * 8)
        self.assertEqual(signed[len(unsigned):offset], bytes(offset - len(unsigned)))
        length, revision, kind = struct.unpack_from("<IHH", signed, offset)
        self.assertEqual((length, revision, kind), (size, 0x0200, 2))  # PKCS#7 signed data
        parsed = sfxfile.parse_bytes(signed)
        self.assertEqual(signed[parsed.image_end:len(unsigned)],
                         unsigned[parsed.image_end:])
        self.assertEqual(len(parsed.trailing), len(signed) - len(unsigned))

    def test_inspector_finds_the_signed_file_sound(self):
        result = run(INSPECT, "--verify", self.signed)
        self.assertEqual((result.returncode, result.stdout),
                         (0, "%s: sound\n" % self.signed), result.stderr)
        listing = run(INSPECT, self.signed)
        self.assertEqual(listing.returncode, 0, listing.stdout)
        self.assertIn("entry * %d " % os.path.getsize(HELPER), listing.stdout)

    def test_signed_file_runs_under_wine(self):
        record = os.path.join(self.dir, "record.txt")
        result = subprocess.run([WINE, self.signed, "first", "sec ond"],
                                env=wine_env(PACKRIG_RECORD=windows_path(record)),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        self.assertEqual(result.returncode, 7, result.stdout)
        with open(record, encoding="latin-1") as f:
            args = [line[4:] for line in f.read().splitlines() if line.startswith("arg=")]
        self.assertEqual(args, ["first", "sec ond"])


if __name__ == "__main__":
    exit_unless_wine_starts()
    unittest.main(verbosity=2)
