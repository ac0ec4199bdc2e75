"""A tree of files that hold deflate streams, as compressed builds store them inflated: a jar and
a zip written by Python's zipfile, gzip files made by zlib and by GNU gzip, PNG images, and a zip
whose deflate no zlib setting gives back."""

import gzip
import io
import os
import random
import shutil
import struct
import subprocess
import zipfile
import zlib


def text(words, seed):
    rng = random.Random(seed)
    vocabulary = ["public", "class", "void", "return", "int", "value", "alpha", "beta", "\n"]
    return " ".join(rng.choice(vocabulary) for _ in range(words)).encode()


def png(raw, chunk, strategy=zlib.Z_FILTERED):
    def part(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    z = zlib.compressobj(6, zlib.DEFLATED, 15, 8, strategy)
    stream = z.compress(raw) + z.flush()
    idat = b"".join(part(b"IDAT", stream[i:i + chunk]) for i in range(0, len(stream), chunk))
    return (b"\x89PNG\r\n\x1a\n" + part(b"IHDR", struct.pack(">IIBBBBB", 64, 64, 8, 2, 0, 0, 0)) +
            idat + part(b"IEND", b""))


def flushed_zip():
    """A zip entry deflated with a sync flush halfway: one stream that zlib writes at no setting."""
    data = text(20000, 9)
    z = zlib.compressobj(6, zlib.DEFLATED, -15)
    stream = z.compress(data[:50000]) + z.flush(zlib.Z_SYNC_FLUSH) + z.compress(data[50000:]) + z.flush()
    name = b"flushed.txt"
    header = struct.pack("<4sHHHHHIIIHH", b"PK\x03\x04", 20, 0, 8, 0, 0, zlib.crc32(data),
                         len(stream), len(data), len(name), 0)
    return header + name + stream


def deflate_files():
    """Relative path to bytes; and the least and most streams that a build stores inflated (GNU
    gzip's deflate comes back from zlib for some files only)."""
    files = {}
    jar, bundle = io.BytesIO(), io.BytesIO()
    with zipfile.ZipFile(jar, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        for i in range(12):
            z.writestr("org/example/C%d.class" % i, text(2000 + 300 * i, i))
    with zipfile.ZipFile(bundle, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("readme.txt", text(30000, 20))
        z.writestr("stored.bin", os.urandom(3000), compress_type=zipfile.ZIP_STORED)
    files["lib/app.jar"], files["docs/bundle.zip"] = jar.getvalue(), bundle.getvalue()
    files["data/table.json.gz"] = gzip.compress(text(40000, 30), 9)
    streams = 12 + 1 + 1
    gnu = shutil.which("gzip")
    most = 1 if gnu else 0
    if gnu:
        files["docs/changelog.gz"] = subprocess.run([gnu, "-9n"], input=text(30000, 40),
                                                    stdout=subprocess.PIPE, check=True).stdout
    rng = random.Random(5)
    raw = b"".join(b"\x01" + bytes(rng.randrange(0, 24) for _ in range(192)) for _ in range(400))
    files["img/big.png"] = png(raw, 8192)
    files["img/one.png"] = png(raw[:20000], 1 << 20, zlib.Z_DEFAULT_STRATEGY)
    streams += 2
    files["lib/flushed.zip"] = flushed_zip()
    return files, streams, streams + most


def write_tree(root, files):
    """Writes {relative name with "/": bytes} below `root`."""
    for rel, data in files.items():
        path = os.path.join(root, *rel.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
