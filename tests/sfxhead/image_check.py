#!/usr/bin/env python3
"""The runtime module image: it must end exactly at its last section's raw data, since the
payload follows it, and it must stay small."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
import sfxfile  # noqa: E402

MAX_SIZE = 24576


class ImageTest(unittest.TestCase):
    def setUp(self):
        # The shipped i686 image; the tests may run its x86_64 twin elsewhere.
        folder = os.environ.get("PACKRIG_SHIP_DIR") or os.environ["PACKRIG_WIN_DIR"]
        path = os.path.join(folder, "sfxhead.exe")
        with open(path, "rb") as f:
            self.image = f.read()

    def test_ends_at_last_section_raw_data(self):
        self.assertEqual(sfxfile.image_end(self.image), len(self.image))

    def test_pe_header_lies_below_64_kib(self):
        self.assertLess(int.from_bytes(self.image[0x3C:0x40], "little"), 65536)

    def test_size_limit(self):
        self.assertLessEqual(len(self.image), MAX_SIZE)

    def test_crafted_file_reads_back(self):
        entries = [sfxfile.Entry("Docs\\Readme.txt", b"read me"),
                   sfxfile.Entry("setup.exe", b"MZ" + bytes(300), is_exe=1, attr=0x21)]
        data = sfxfile.build(self.image, entries, identifier="0012AB34CD", trailer=b"xx")
        parsed = sfxfile.parse_bytes(data)
        self.assertEqual(parsed.image_end, len(self.image))
        self.assertEqual(parsed.identifier, b"0012AB34CD")
        self.assertEqual([(e.name, e.data, e.is_exe, e.attr) for e in parsed.entries],
                         [(e.name, e.data, e.is_exe, e.attr) for e in entries])
        self.assertTrue(all(e.checksum == sfxfile.byte_sum(e.name, e.data)
                            for e in parsed.entries))
        self.assertEqual(parsed.trailing, b"xx")


if __name__ == "__main__":
    unittest.main()
