"""Both builders over a corpus of real programs: every 32-bit program that wine ships and a few
damaged ones made here, each the executable file of a small tree. The Linux builder runs once a
tree; packrig.exe runs for all trees in one wine session (one batch file). Checks that

- both builders exit 0 and write the same payload after the identifier, plain and compressed
  (-z);
- both leave the same resources, except for the runtime module's entries that wine's resource
  updater keeps although the transfer deletes them (see compare_with_win32.py);
- on a damaged program both keep the runtime module's icon;
- each build of packrig.exe embeds a manifest that names its own processor.

Usage: test_builder_corpus.py <prres_tool>
Environment: see tests/CMakeLists.txt."""

import glob
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.environ["PACKRIG_SOURCE_DIR"], "tests", "tools"))
sys.path.insert(0, os.path.join(os.environ["PACKRIG_SOURCE_DIR"], "tests", "prresources"))
import pedamage  # noqa: E402
import sfxfile  # noqa: E402
from compare_with_win32 import RT_GROUP_ICON, RT_ICON, as_map, deleted_by_transfer, \
    split_dumps, wine_programs  # noqa: E402
from wineharness import windows_path  # noqa: E402

TOOL = sys.argv[1]
WINE = os.environ["WINE"]
WIN_DIR = os.environ["PACKRIG_WIN_DIR"]
WORK = os.path.join(os.environ["PACKRIG_WORK_DIR"], "builder_corpus")
RT_MANIFEST = "#24"


def dump(paths):
    out = subprocess.run([TOOL] + [a for p in paths for a in ("dump", p)], capture_output=True,
                         timeout=600)
    return split_dumps(out.stdout.decode("latin-1").split("\n"), len(paths))


def make_cases(programs):
    """(name, executable file) of every case; damaged programs are made from notepad.exe."""
    cases = [(os.path.basename(p), p) for p in sorted(glob.glob(os.path.join(programs, "*.exe")))]
    base = open(os.path.join(programs, "notepad.exe"), "rb").read()
    for kind, damage in pedamage.DAMAGES.items():
        path = os.path.join(WORK, kind + ".exe")
        with open(path, "wb") as f:
            f.write(damage(base))
        cases.append((kind + ".exe", path))
    return cases


def build_trees(cases):
    trees = []
    for n, (name, program) in enumerate(cases):
        tree = os.path.join(WORK, "tree%d" % n)
        os.makedirs(tree)
        shutil.copyfile(program, os.path.join(tree, name))
        with open(os.path.join(tree, "readme.txt"), "wb") as f:
            f.write(b"case %d\r\n" % n)
        trees.append(tree)
    return trees


# The kinds of build: output file prefix and the builder's extra switches.
KINDS = (("", []), ("z", ["-z"]))


def run_linux(cases, trees):
    problems = []
    for n, ((name, _), tree) in enumerate(zip(cases, trees)):
        for kind, switches in KINDS:
            out = subprocess.run([os.environ["PACKRIG_TESTHEAD"], "-h", "-o", "-c", *switches,
                                  tree, name, os.path.join(WORK, "linux%s%d.exe" % (kind, n))],
                                 capture_output=True)
            if out.returncode != 0:
                problems.append("%s: Linux builder %s exit %d %s" % (
                    name, " ".join(switches), out.returncode, out.stderr))
    return problems


def run_wine(cases, trees):
    """All Windows builds in one cmd session; the exit code of each is echoed."""
    exe = windows_path(os.path.join(WIN_DIR, "packrig.exe"))
    lines = ["@echo off"]
    for n, ((name, _), tree) in enumerate(zip(cases, trees)):
        for kind, switches in KINDS:
            lines.append('start /wait "" "%s" -h -o -c %s "%s" "%s" "%s"' % (
                exe, " ".join(switches), windows_path(tree), name,
                windows_path(os.path.join(WORK, "wine%s%d.exe" % (kind, n)))))
            lines.append("echo exit %s%d %%ERRORLEVEL%%" % (kind, n))
    script = os.path.join(WORK, "builds.bat")
    with open(script, "w", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    out = subprocess.run([WINE, "cmd", "/c", windows_path(script)], env=env,
                         capture_output=True, timeout=900)
    codes = dict(re.findall(r"exit (z?\d+) (-?\d+)", out.stdout.decode("latin-1")))
    return ["%s: Windows builder %s exit %s" % (name, kind, codes.get(kind + str(n), "missing"))
            for n, (name, _) in enumerate(cases) for kind, _ in KINDS
            if codes.get(kind + str(n)) != "0"]


def payload(path):
    data = open(path, "rb").read()
    return data[sfxfile.image_end(data) + 11:]


def icons(entries):
    return {k: v for k, v in as_map(entries).items() if k[0] in (RT_ICON, RT_GROUP_ICON)}


def compare(cases):
    problems = []
    runtime_path = os.path.join(WIN_DIR, "sfxhead.exe")
    paths = [runtime_path] + [os.path.join(WORK, "%s%d.exe" % (kind, n))
                              for n in range(len(cases)) for kind in ("linux", "wine")]
    dumps = dump(paths)
    runtime = dumps[0]
    deleted = deleted_by_transfer(runtime, True, True)
    for n, (name, _) in enumerate(cases):
        ours, wines = dumps[1 + 2 * n], dumps[2 + 2 * n]
        if None in (ours, wines):
            problems.append("%s: a result is no module" % name)
            continue
        if payload(paths[1 + 2 * n]) != payload(paths[2 + 2 * n]):
            problems.append("%s: payloads differ" % name)
        packed = [payload(os.path.join(WORK, "%sz%d.exe" % (kind, n))) for kind in ("linux", "wine")]
        if packed[0] != packed[1] or not packed[0].startswith(b"PRZ1"):
            problems.append("%s: compressed payloads differ" % name)
        ours_map = as_map(ours)
        expected = dict(ours_map)
        expected.update({k: v for k, v in as_map(runtime).items()
                         if k in deleted and k not in ours_map})
        wine_map = as_map(wines)
        for key in sorted(set(expected) | set(wine_map)):
            if expected.get(key) != wine_map.get(key):
                problems.append("%s: resource %s %s %s differs" % (name, *key))
        if not name.startswith(tuple(pedamage.DAMAGES)):
            continue
        for label, result in (("Linux", ours), ("Windows", wines)):
            if icons(result) != icons(runtime):
                problems.append("%s: the %s builder did not keep the runtime icon" % (name, label))
    return problems


def manifest_problems():
    problems = []
    build = os.path.dirname(os.path.dirname(WIN_DIR))
    for folder, arch in (("win", "x86"), ("win64", "amd64")):
        exe = os.path.join(build, folder, "bin", "packrig.exe")
        if not os.path.isfile(exe):
            continue
        manifests = [bytes.fromhex(e[4]).decode() for e in dump([exe])[0] if e[0] == RT_MANIFEST]
        found = [re.findall(r'processorArchitecture="([^"]*)"', m) for m in manifests]
        if found != [[arch, arch]]:
            problems.append("%s: manifest architectures %s, not %s" % (exe, found, arch))
    return problems


def main():
    if os.path.isdir(WORK):
        shutil.rmtree(WORK)
    os.makedirs(WORK)
    cases = make_cases(wine_programs())
    trees = build_trees(cases)
    problems = manifest_problems() + run_linux(cases, trees) + run_wine(cases, trees)
    problems += compare(cases)
    for problem in problems:
        print(problem)
    print("%d programs (%d damaged), %d problems" % (len(cases), len(pedamage.DAMAGES),
                                                    len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
