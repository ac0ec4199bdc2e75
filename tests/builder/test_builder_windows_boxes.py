"""The Windows builder's message boxes under wine on a private X display: every rejection text,
the overwrite question with No as its default answer, and the completion message."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.environ["PACKRIG_SOURCE_DIR"], "tests", "tools"))
from wineharness import Display, has_xvfb, run_with_box  # noqa: E402
from test_builder_windows import PACKRIG_EXE, WINE, TreeFixture, windows_path  # noqa: E402


@unittest.skipUnless(has_xvfb(), "needs Xvfb")
class BoxTest(TreeFixture):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.display = Display().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.display.__exit__(None, None, None)
        super().tearDownClass()

    def run_with_box(self, *args):
        return run_with_box(self.display, [WINE, PACKRIG_EXE, *args])

    def test_rejection_texts(self):
        src, target = windows_path(self.src), windows_path(self.target("box.exe"))
        cases = [
            ((" " + windows_path("/nonexistent") + " ", "setup.bat", target),
             "Source directory does not exist\n\n%s\\" % windows_path("/nonexistent")),
            ((src, "missing.exe", target),
             "Executable file does not exist\n\n%s\\missing.exe" % src),
            ((src, "setup.bat", target + ".bak"),
             "Incorrect target executable file extension\nIt must be .EXE\n\n%s.bak" % target),
        ]
        for args, text in cases:
            code, shown = self.run_with_box("-h", *args)
            self.assertEqual(code, 2, args)
            self.assertIn("caption=Error\n", shown)
            self.assertIn(text, shown)

    def test_an_executable_file_outside_the_tree_stops_the_build(self):
        with open(os.path.join(self.dir, "outside.bat"), "wb") as f:
            f.write(b"@exit 0\r\n")
        src, target = windows_path(self.src), self.target("outside.exe")
        code, shown = self.run_with_box("-h", src, "..\\outside.bat", windows_path(target))
        self.assertEqual(code, 1)
        self.assertIn("caption=Error\nExecutable file is not stored in the SFX file\nIt must lie "
                      "inside the source directory\n\n%s\\..\\outside.bat" % src, shown)
        out = os.path.dirname(target)
        left = os.listdir(out) if os.path.isdir(out) else []
        self.assertEqual([n for n in left if n.startswith("outside.exe")], [])

    def test_overwrite_question_defaults_to_no_and_completion_is_announced(self):
        target = self.target("question.exe")
        src, wtarget = windows_path(self.src), windows_path(target)
        code, shown = self.run_with_box("-h", src, "setup.bat", wtarget)
        self.assertEqual(code, 0)
        self.assertIn("caption=Information\nSFX module has been successfully created", shown)
        with open(target, "rb") as f:
            before = f.read()
        code, shown = self.run_with_box("-h", "-c", src, "setup.bat", wtarget)
        self.assertIn("caption=Question\nTarget file already exists\nOverwrite?", shown)
        self.assertEqual(code, 2)  # Enter pressed No
        with open(target, "rb") as f:
            self.assertEqual(f.read(), before)


if __name__ == "__main__":
    unittest.main(verbosity=2)
