"""Runs the icon and version transfer twice on copies of the same targets: once with our own PE
resource writer (the native prres_tool) and once with the Win32 resource functions under wine
(prres_tool_win.exe), and checks that

- both report the same results;
- both leave the same resources, entry by entry and byte by byte, as our reader and as the
  Win32 API see them, except for the one known fault of wine's resource updater (below);
- wine's loader accepts every file that our writer produced (LoadLibraryEx as a data file and
  enumeration of its resources), and our reader sees the same resources in it as wine does;
- a runtime module that received resources from our writer still starts and exits normally.

Targets are copies of the shipped 32-bit runtime module and of the fixtures, plus copies of the
64-bit runtime module that wine can start here. Sources are real 32-bit programs that come with
wine (some with several icon groups, some without version information or without icons), our
fixtures, one of them with its icon groups out of sorted order in its directory, and a batch
file.

Wine's updater ignores the deletion of a resource that the file already holds: UpdateResource
with no data only drops a queued addition, and the file's own resources are merged in when the
update is ended. Windows removes them. So wine's result may keep, unchanged, exactly the
target's resources that the transfer deletes and does not write again; nothing else may differ.

Usage: compare_with_win32.py <prres_tool>
Environment: WINE, PACKRIG_WIN_DIR, PACKRIG_SHIP_DIR, PACKRIG_WORK_DIR (see tests/CMakeLists.txt).
"""

import glob
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from wineharness import start_wine_quietly, windows_path  # noqa: E402

TOOL = sys.argv[1]
WINE = os.environ["WINE"]
WIN_DIR = os.environ["PACKRIG_WIN_DIR"]
SHIP_DIR = os.environ["PACKRIG_SHIP_DIR"]
WORK = os.path.join(os.environ["PACKRIG_WORK_DIR"], "prres_compare")
WIN_TOOL = os.path.join(WIN_DIR, "prres_tool_win.exe")

RT_ICON, RT_GROUP_ICON, RT_VERSION = "#3", "#14", "#16"


def wine_programs():
    """Folder of wine's own 32-bit programs: real PE32 files that none of us wrote."""
    for folder in ["/usr/lib/i386-linux-gnu/wine/i386-windows",
                   *glob.glob("/usr/lib*/wine/i386-windows"),
                   *glob.glob("/usr/lib*/*/wine/i386-windows")]:
        if os.path.isfile(os.path.join(folder, "notepad.exe")):
            return folder
    # Setup goes without wine32 when the mirror has no consistent i386 index.
    print("skipped: wine's 32-bit programs (i386-windows, package wine32) are not installed")
    sys.exit(77)


def run(command, **kw):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    return subprocess.run(command, env=env, capture_output=True, timeout=600, **kw)


def run_tools(native_args, wine_args):
    """Output lines of the native tool and of the Win32 tool under wine for the same commands."""
    native = run([TOOL, *native_args])
    start_wine_quietly(os.environ)
    win32 = run([WINE, WIN_TOOL, *wine_args])
    if native.returncode not in (0, 1) or win32.returncode not in (0, 1):
        sys.exit("a tool failed:\n%s\n%s" % (native.stderr.decode(errors="replace"),
                                             win32.stderr.decode(errors="replace")))
    return [out.stdout.decode("latin-1").replace("\r", "").split("\n")
            for out in (native, win32)]


def split_dumps(lines, count):
    """The output of `count` dump commands, each ended by an empty line, as lists of entries:
    (type, name, language, size, hex bytes) in enumeration order; None for a file that is not
    a module."""
    dumps, current = [], []
    for line in lines:
        if line == "":
            dumps.append(current)
            current = []
        else:
            current.append(line)
    dumps = dumps[:count]
    if len(dumps) != count:
        sys.exit("expected %d dumps, got %d" % (count, len(dumps)))
    return [None if d == ["not a module"] else [tuple(e.split(" ")) for e in d] for d in dumps]


def as_map(entries):
    return {(t, n, lang): data for t, n, lang, _, data in entries}


def word(data_hex, offset):
    return int(data_hex[2 * offset + 2:2 * offset + 4] + data_hex[2 * offset:2 * offset + 2], 16)


def deleted_by_transfer(original, icon_ok, version_ok):
    """Keys of the target's resources that a committed transfer deletes: the first icon group in
    every language with the images it names in that language, and all version information."""
    keys = set()
    if icon_ok:
        groups = [e for e in original if e[0] == RT_GROUP_ICON]
        if groups:
            first = groups[0][1]
            for _, name, lang, _, data in groups:
                if name != first:
                    continue
                keys.add((RT_GROUP_ICON, name, lang))
                for i in range(word(data, 4)):
                    keys.add((RT_ICON, "#%d" % word(data, 6 + 14 * i + 12), lang))
    if version_ok:
        keys |= {(t, n, lang) for t, n, lang, _, _ in original if t == RT_VERSION}
    return keys


def compare_results(label, original, ours, wines, result):
    """Problems found between our result and wine's result of one case."""
    problems = []
    icon_ok, version_ok = (part.endswith("=1") for part in result.split(" "))
    if not icon_ok and not version_ok:
        if ours != original:
            problems.append("%s: failed transfers changed our target" % label)
        if wines != original:
            problems.append("%s: failed transfers changed wine's target" % label)
        return problems
    original_map, ours_map, wine_map = as_map(original), as_map(ours), as_map(wines)
    kept_by_wine = {k for k in deleted_by_transfer(original, icon_ok, version_ok)
                    if k not in ours_map and k in original_map}
    expected = dict(ours_map)
    expected.update({k: original_map[k] for k in kept_by_wine})
    for key in sorted(set(expected) | set(wine_map)):
        if expected.get(key) != wine_map.get(key):
            where = ("only ours" if key not in wine_map else
                     "only wine's" if key not in expected else "bytes differ")
            problems.append("%s: %s %s %s: %s" % (label, *key, where))
    return problems


def with_groups_swapped(source, copy):
    """A copy of `source` whose resource directory holds its first two icon group names the
    other way round (ZGROUP before AGROUP), as a file written by another tool may."""
    data = bytearray(open(source, "rb").read())
    u16 = lambda at: int.from_bytes(data[at:at + 2], "little")  # noqa: E731
    u32 = lambda at: int.from_bytes(data[at:at + 4], "little")  # noqa: E731
    pe = u32(0x3C)
    optional = pe + 24
    sections = optional + u16(pe + 20)
    rva = u32(optional + (96 if u16(optional) == 0x10B else 112) + 2 * 8)
    for i in range(u16(pe + 6)):
        header = sections + 40 * i
        start, size, raw = u32(header + 12), u32(header + 16), u32(header + 20)
        if start <= rva < start + size:
            root = raw + rva - start
    types = root + 16
    for i in range(u16(root + 12) + u16(root + 14)):
        if u32(types + 8 * i) == 14:
            names = root + (u32(types + 8 * i + 4) & 0x7FFFFFFF) + 16
            data[names:names + 16] = data[names + 8:names + 16] + data[names:names + 8]
    with open(copy, "wb") as f:
        f.write(data)
    return copy


def main():
    programs = wine_programs()
    if os.path.isdir(WORK):
        shutil.rmtree(WORK)
    os.makedirs(WORK)
    batch = os.path.join(WORK, "setup.bat")
    with open(batch, "wb") as f:
        f.write(b"@echo off\r\n")

    ship = lambda name: os.path.join(SHIP_DIR, name)  # noqa: E731
    zfirst = with_groups_swapped(ship("fx_twogroups.exe"), os.path.join(WORK, "zfirst.exe"))
    wine = lambda name: os.path.join(programs, name)  # noqa: E731
    head64 = os.path.join(WIN_DIR, "sfxhead.exe")
    # (source, target, start the results): targets are copied before each transfer.
    cases = [(wine("notepad.exe"), ship("sfxhead.exe"), False),
             (wine("regedit.exe"), ship("sfxhead.exe"), False),
             (wine("winemine.exe"), ship("sfxhead.exe"), False),
             (wine("taskmgr.exe"), ship("sfxhead.exe"), False),
             (wine("wordpad.exe"), ship("sfxhead.exe"), False),
             (wine("winecfg.exe"), ship("sfxhead.exe"), False),
             (wine("explorer.exe"), ship("sfxhead.exe"), False),
             (wine("clock.exe"), ship("sfxhead.exe"), False),
             (ship("fx_source.exe"), ship("fx_target.exe"), False),
             (wine("taskmgr.exe"), ship("fx_target.exe"), False),
             (ship("fx_source.exe"), ship("fx_noicon.exe"), False),
             (wine("regedit.exe"), ship("fx_noicon.exe"), False),
             (ship("fx_noicon.exe"), ship("sfxhead.exe"), False),
             (ship("fx_noversion.exe"), ship("fx_target.exe"), False),
             (ship("fx_langs.exe"), ship("fx_target.exe"), False),
             (batch, ship("sfxhead.exe"), False),
             (zfirst, ship("sfxhead.exe"), False),
             (zfirst, ship("fx_noicon.exe"), False),
             (wine("regedit.exe"), head64, True),
             (wine("notepad.exe"), head64, True),
             (ship("fx_source.exe"), head64, True),
             (wine("explorer.exe"), head64, True)]
    cases = [c for c in cases if os.path.isfile(c[0])]

    native_args, wine_args, files = [], [], []
    for n, (source, target, _) in enumerate(cases):
        original, ours, wines = (os.path.join(WORK, "%s%d.exe" % (kind, n))
                                 for kind in ("original", "ours", "wine"))
        for copy in (original, ours, wines):
            shutil.copyfile(target, copy)
        native_args += ["transfer", source, ours]
        wine_args += ["transfer", windows_path(source), windows_path(wines)]
        files += [original, ours, wines]
    native_results, wine_results = run_tools(native_args, wine_args)
    problems = []
    for n, (source, target, _) in enumerate(cases):
        if native_results[n] != wine_results[n]:
            problems.append("case %d (%s into %s): ours %s, wine's %s" % (
                n, os.path.basename(source), os.path.basename(target), native_results[n],
                wine_results[n]))

    dump_native, dump_win32 = run_tools(
        [arg for f in files for arg in ("dump", f)],
        [arg for f in files for arg in ("dump", windows_path(f))])
    ours_view = split_dumps(dump_native, len(files))
    win32_view = split_dumps(dump_win32, len(files))
    for index, path in enumerate(files):
        name = os.path.basename(path)
        if win32_view[index] is None:
            problems.append("%s: wine's loader does not take it as a module" % name)
        elif ours_view[index] != win32_view[index]:
            problems.append("%s: our reader and the Win32 API see different resources" % name)
    for view, dumps in (("our reader", ours_view), ("Win32", win32_view)):
        for n, (source, target, _) in enumerate(cases):
            original, ours, wines = dumps[3 * n:3 * n + 3]
            label = "case %d (%s into %s, %s view)" % (
                n, os.path.basename(source), os.path.basename(target), view)
            if None in (original, ours, wines):
                problems.append("%s: a file could not be read" % label)
                continue
            problems += compare_results(label, original, ours, wines, native_results[n])

    for n, (_, _, start) in enumerate(cases):
        for kind in ("ours", "wine") if start else ():
            started = run([WINE, os.path.join(WORK, "%s%d.exe" % (kind, n))])
            # Without a payload the runtime module ends at once (or after its report, -1).
            if started.returncode not in (0, 255):
                problems.append("%s%d.exe does not start: exit code %d, %s" % (
                    kind, n, started.returncode, started.stderr.decode(errors="replace")))

    for problem in problems:
        print(problem)
    print("%d cases, %d problems" % (len(cases), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
