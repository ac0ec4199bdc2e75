"""Prints what an SFX file holds: image size, identifier and every entry."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sfxfile  # noqa: E402


def main(path):
    parsed = sfxfile.parse(path)
    print("%s: %d bytes" % (path, os.path.getsize(path)))
    print("  runtime module image: %d bytes" % parsed.image_end)
    print("  identifier: %s" % parsed.identifier.decode("ascii"))
    for e in parsed.entries:
        ok = "ok" if e.checksum == sfxfile.byte_sum(e.name, e.data) else "BAD CHECKSUM"
        stamp = "%04d-%02d-%02d %02d:%02d:%02d" % sfxfile.dos_time_to_tuple(e.time)
        print("  %s %-40s %10d bytes  %s  attr %02X  checksum %08X %s" % (
            "*" if e.is_exe else " ", e.name.decode("cp1252"), len(e.data), stamp, e.attr,
            e.checksum, ok))
    print("  %d entries, terminator, %d bytes after it" % (len(parsed.entries),
                                                           len(parsed.trailing)))


if __name__ == "__main__":
    main(sys.argv[1])
