#!/usr/bin/env python3
"""Screenshots of the progress window under Xvfb (not a test): an SFX file whose payload starts
with a few thousand empty files (the bar stays at 0 %) and ends with a large file (the bar
moves). Writes progress-NN.png into the folder given as the first argument.

Run with the environment of the end-to-end tests (WINE, WINEPREFIX, PACKRIG_WIN_DIR)."""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
import e2e_wine  # noqa: E402
from e2e_wine import Entry, sfxfile  # noqa: E402


def main():
    out_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else ".")
    os.makedirs(out_dir, exist_ok=True)
    entries = [Entry("empty\\%04d.txt" % i, b"") for i in range(3000)]
    entries.append(Entry("big.bin", bytes(600 * 1048576)))
    entries.append(Entry("go.bat", b"exit /b 0\r\n", is_exe=1))
    path = os.path.join(out_dir, "progress-demo.exe")
    sfxfile.write(path, e2e_wine.image(), entries, identifier="00DEMO0001")
    with e2e_wine.Display() as display:
        env = display.env()
        run = subprocess.Popen([e2e_wine.WINE, path], env=env)
        shots = 0
        while run.poll() is None and shots < 40:
            target = os.path.join(out_dir, "progress-%02d.png" % shots)
            subprocess.run(["import", "-display", display.name, "-window", "root", "-crop",
                            "330x106+235+247", target], stderr=subprocess.DEVNULL)
            shots += 1
            time.sleep(0.3)
        run.wait(timeout=600)
    os.remove(path)
    print("%d screenshots in %s" % (shots, out_dir))


if __name__ == "__main__":
    main()
