#!/usr/bin/env python3
"""Window tests of the Windows builder under wine and an X server: the main window's layout, the
help window, the about box in English and Czech, the remembered settings in wine's registry, the
automatic build of paths-given mode, the busy state and the failure box.

Usage: window_test.py SCENARIO   (run inside an X server, e.g. under xvfb-run -a)
PACKRIG_SHOTS=DIR makes the layout scenario write screenshots of the three windows into DIR.
Exit code 77 tells CTest that wine cannot run on this machine (the scenario is skipped)."""

import os
import re
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from wineharness import windows_path as winpath  # noqa: E402

WIN_DIR = os.environ["PACKRIG_WIN_DIR"]
WORK = os.path.join(os.environ["PACKRIG_WORK_DIR"], "window")
PREFIX = os.environ["WINEPREFIX"]
PACKRIG = os.path.join(WIN_DIR, "packrig.exe")
PROBE = os.path.join(WIN_DIR, "windowprobe.exe")
WINE = os.environ.get("WINE", "wine")
ENV = dict(os.environ)
WINE_TIMEOUT = 420

IDS = dict(lsource=100, ltarget=101, lwait=102, lexefile=103, lweb=104, lcmdline=105, bmake=106,
           esource=107, bsource=108, btarget=109, etarget=110, eexefile=111, bexefile=112)
# name: class, left, top, width, height, text, visible; labels take the width of their text
LAYOUT = {
    "lsource": ("static", 8, 8, None, 13, "Source directory:", 1),
    "ltarget": ("static", 8, 104, None, 13, "Target SFX file:", 1),
    "lwait": ("static", 8, 160, 171, 32, "Please wait...", 0),
    "lexefile": ("static", 8, 56, None, 13, "Executable file (from the source directory):", 1),
    "lweb": ("static", 8, 176, None, 13, "www.quorvel.example", 1),
    "lcmdline": ("static", 128, 176, None, 13, "Command line support", 1),
    "bmake": ("button", 304, 168, 91, 25, "Packrig", 1),
    "esource": ("edit", 8, 24, 305, 21, "", 1),
    "bsource": ("button", 320, 24, 75, 25, "Browse", 1),
    "btarget": ("button", 320, 120, 75, 25, "Browse", 1),
    "etarget": ("edit", 8, 120, 305, 21, "", 1),
    "eexefile": ("edit", 8, 72, 305, 21, "", 1),
    "bexefile": ("button", 320, 72, 75, 25, "Browse", 1),
}
TAB_ORDER = ["esource", "bsource", "eexefile", "bexefile", "etarget", "btarget", "bmake"]
USAGE = [
    "Usage:", "packrig [-o] [-c] [-h] <sourcedir> <executablefile> <targetfile>", "",
    "Optional parametrs:", "-o  automatically overwrite target file, if exists",
    "-c  do not show message box when SFX module was created",
    "-h  hide main form of the application", "", "Example:",
    'packrig -o "C:\\sourcedir" "setup.exe" "C:\\targetfile.exe"',
]
KEY_PATH = r"[Software\\Quorvel\\Packrig]"

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def wine(args, extra_env=None, **kw):
    env = dict(ENV)
    env.update(extra_env or {})
    return subprocess.Popen([WINE] + args, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True, encoding="latin-1", **kw)


def ensure_wine():
    marker = os.path.join(WORK, "wine-runs")
    if os.path.exists(marker):
        return
    try:
        p = wine([PROBE, "hello"])
        out, _ = p.communicate(timeout=WINE_TIMEOUT)
    except subprocess.TimeoutExpired:
        p.kill()
        out = ""
    if "hello" not in out:
        print("wine cannot run Windows programs here; skipping")
        sys.exit(77)
    open(marker, "w").close()


DESKTOP_KEYS = ('\n[Software\\\\Wine\\\\Explorer] 0\n"Desktop"="Default"\n'
                '\n[Software\\\\Wine\\\\Explorer\\\\Desktops] 0\n"Default"="800x600"\n')


def use_virtual_desktop(on):
    """With a virtual desktop wine draws the window frames itself, as no window manager runs on
    the X server; the screenshots want them. Other tests keep the prefix as it was."""
    stop_wineserver()
    path = os.path.join(PREFIX, "user.reg")
    text = open(path, encoding="latin-1").read().replace(DESKTOP_KEYS, "")
    open(path, "w", encoding="latin-1").write(text + DESKTOP_KEYS if on else text)


def probe(*commands, shots=None, extra_env=None):
    """Runs the helper with the commands; returns its lines, taking screenshots on request."""
    p = wine([PROBE] + [str(c) for c in commands], extra_env)
    lines = []
    deadline = time.time() + WINE_TIMEOUT
    for line in p.stdout:
        line = line.rstrip("\n")
        lines.append(line)
        if line.startswith("shot ") and shots:
            subprocess.run(["import", "-window", "root",
                            os.path.join(shots, line[5:] + ".png")], check=False)
        if time.time() > deadline:
            break
    p.wait(timeout=60)
    check(p.returncode == 0, "helper ended with %s: %s" % (p.returncode, lines[-3:]))
    return lines


def dumps(lines):
    """{class: {"caption":..., "client":..., "controls": {id: fields}, "order": [ids]}}"""
    result, current = {}, None
    for line in lines:
        word, _, rest = line.partition(" ")
        if word == "dump":
            current = result[rest] = {"controls": {}, "order": []}
        elif current is not None and word in ("caption", "client", "enabled", "focus", "style",
                                              "outer"):
            current[word] = rest
        elif current is not None and word == "control":
            parts = rest.split(" ", 9)
            control = dict(id=int(parts[0]), cls=parts[1].lower(),
                           box=tuple(int(v) for v in parts[2:6]),
                           visible=int(parts[6].split("=")[1]), tabstop=int(parts[7].split("=")[1]),
                           readonly=int(parts[8].split("=")[1]), text=parts[9] if len(parts) > 9 else "")
            current["controls"][control["id"]] = control
            current["order"].append(control["id"])
        elif current is not None and word == "textwidth":
            ident, text_width, inner_width, overrun = (int(v) for v in rest.split())
            current["controls"][ident].update(text_width=text_width, inner_width=inner_width,
                                              underline_overrun=overrun)
    return result


def start_packrig(args, extra_env=None):
    return wine([PACKRIG] + args, extra_env)


def finish(process, what):
    try:
        process.wait(timeout=WINE_TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
    check(process.returncode == 0, "%s: exit code %s" % (what, process.returncode))


# ---- registry (wine's user.reg, read and edited while the wine server is down) ----

def stop_wineserver():
    subprocess.run(["wineserver", "-w"], env=ENV, timeout=WINE_TIMEOUT, check=False)


def read_settings():
    """None without the key, else {name: value} with strings unescaped, others raw."""
    stop_wineserver()
    text = open(os.path.join(PREFIX, "user.reg"), encoding="latin-1").read()
    match = re.search(re.escape(KEY_PATH) + r"[^\n]*\n(.*?)(?:\n\n|\Z)", text, re.S)
    if not match:
        return None
    values = {}
    for line in match.group(1).splitlines():
        m = re.match(r'"([^"]+)"=(.*)$', line)
        if m:
            raw = m.group(2)
            values[m.group(1)] = (raw[1:-1].replace("\\\\", "\\")
                                  if raw.startswith('"') else raw)
    return values


def write_settings(lines):
    """Replaces the key by one holding `lines` (user.reg value lines), or removes it (None)."""
    stop_wineserver()
    path = os.path.join(PREFIX, "user.reg")
    text = open(path, encoding="latin-1").read()
    text = re.sub(re.escape(KEY_PATH) + r"[^\n]*\n.*?(?:\n\n|\Z)", "", text, flags=re.S)
    if lines is not None:
        text = text.rstrip("\n") + "\n\n" + KEY_PATH + " 0\n" + "\n".join(lines) + "\n"
    open(path, "w", encoding="latin-1").write(text)


# ---- the SFX file ----

def read_sfx(path):
    """Entries (name, is_exe, data) of an SFX file, checked against their checksums."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
    end = max(struct.unpack_from("<II", data, table + 40 * i + 16)[0] +
              struct.unpack_from("<II", data, table + 40 * i + 16)[1] for i in range(sections))
    at = end + 11
    entries = []
    while True:
        is_exe, name_len, size, _time, _attr = struct.unpack_from("<BiiII", data, at)
        if data[at:at + 17] == b"\0" * 17:
            check(at + 17 == len(data), "nothing follows the terminator")
            return entries
        at += 17
        name = data[at:at + name_len]
        body = data[at + name_len:at + name_len + size]
        stored = struct.unpack_from("<I", data, at + name_len + size)[0]
        check(stored == (sum(name) + sum(body)) & 0xFFFFFFFF, "checksum of %r" % name)
        entries.append((name.decode("latin-1"), is_exe, body))
        at += name_len + size + 4


def make_tree(root, files):
    for rel, content in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, "wb").write(content)


# ---- scenarios ----

def check_underlines(window, what, links):
    """A link's underline ends where its text ends (a pixel either way)."""
    for ident in links:
        control = window["controls"].get(ident, {})
        check(abs(control.get("underline_overrun", 99)) <= 1,
              "%s link %r: underline reaches %s past its text" %
              (what, control.get("text"), control.get("underline_overrun")))


def check_texts_fit(window, what):
    """Every control shows its whole text: the text, measured in the control's own font as far
    as it is drawn, is no wider than the control, and the control lies inside the window."""
    width, height = (int(v) for v in window["client"].split())
    for control in window["controls"].values():
        left, top, w, h = control["box"]
        label = "%s control %d %r" % (what, control["id"], control["text"])
        check(control.get("text_width", -1) >= 0, label + " measured")
        check(control.get("text_width", 0) <= control.get("inner_width", 0),
              "%s: text %s wider than %s" % (label, control.get("text_width"),
                                             control.get("inner_width")))
        check(left >= 0 and top >= 0 and left + w <= width and top + h <= height,
              "%s: box %s outside the client area %s" % (label, control["box"], window["client"]))


def centre(rect):
    l, t, r, b = (int(v) for v in rect.split())
    return ((l + r) // 2, (t + b) // 2)


def check_main_layout(main):
    check(main["caption"] == "Packrig 3.0", "main caption %r" % main["caption"])
    check(main["client"] == "400 200", "main client %s" % main["client"])
    check(main["style"] == "maximizebox=0 minimizebox=1 thickframe=0", main["style"])
    check(main["focus"] == str(IDS["bmake"]), "focus on bmake, got %s" % main["focus"])
    for name, (cls, left, top, width, height, text, visible) in LAYOUT.items():
        control = main["controls"].get(IDS[name])
        check(control is not None, "control %s exists" % name)
        if not control:
            continue
        box = control["box"]
        check(control["cls"] == cls, "%s class %s" % (name, control["cls"]))
        check(box[:2] == (left, top) and box[3] == height and width in (None, box[2]),
              "%s box %s" % (name, box))
        check(control["text"] == text, "%s text %r" % (name, control["text"]))
        check(control["visible"] == visible, "%s visibility" % name)
    tabs = [i for i in main["order"] if main["controls"][i]["tabstop"]]
    check(tabs == [IDS[n] for n in TAB_ORDER], "tab order %s" % tabs)
    check_texts_fit(main, "main window")
    check_underlines(main, "main window", [IDS["lweb"], IDS["lcmdline"]])


def layout_run(shots):
    app = start_packrig([])
    lines = probe("wait", "Tfpackrig", "dump", "Tfpackrig", "shot", "main",
                  "click", "Tfpackrig", IDS["lcmdline"], "dump", "Tfcmdline", "shot", "help",
                  "key", "Tfcmdline", 27, "gone", "Tfcmdline",
                  "key", "Tfpackrig", 112, "dump", "tfabout", "shot", "about",
                  "key", "tfabout", 27, "gone", "tfabout",
                  "close", "Tfpackrig", "gone", "Tfpackrig", shots=shots)
    finish(app, "closed by the user")
    return lines


def scenario_layout():
    shots = os.environ.get("PACKRIG_SHOTS")
    if shots:
        os.makedirs(shots, exist_ok=True)
    write_settings(None)
    if shots:
        use_virtual_desktop(True)
    try:
        lines = layout_run(shots)
    finally:
        if shots:
            use_virtual_desktop(False)
    d = dumps(lines)
    main, help_, about = d.get("Tfpackrig"), d.get("Tfcmdline"), d.get("tfabout")
    check(main and help_ and about, "all three windows were seen")
    if not (main and help_ and about):
        return
    check_main_layout(main)
    check("gone Tfcmdline 1" in lines, "Esc closes the help window")
    check("gone tfabout 1" in lines, "Esc closes the about box")

    check(help_["caption"] == "Packrig 3.0 - Command line support", help_["caption"])
    check(help_["client"] == "560 320", "help client %s" % help_["client"])
    check(abs(centre(help_["outer"])[0] - centre(main["outer"])[0]) <= 1 and
          abs(centre(help_["outer"])[1] - centre(main["outer"])[1]) <= 1,
          "help window centred over the main window")
    text = help_["controls"].get(301, {})
    check(text.get("readonly") == 1 and text.get("box") == (8, 16, 545, 265), "text box %s" % text)
    check(text.get("text") == "\\n".join(USAGE), "usage text %r" % text.get("text"))
    close = help_["controls"].get(2, {})
    check(close.get("text") == "Close" and close.get("box") == (480, 288, 75, 25), "Close button")
    check(help_["focus"] == "2", "focus on Close")
    check_texts_fit(help_, "help window")

    check_about(about, "About...", "Version", "This program is released as freeware", "Web",
                "E-mail")


def check_about(about, caption, version_word, notice, web, email):
    year = time.localtime(os.path.getmtime(PACKRIG)).tm_year
    check(about["caption"] == caption, "about caption %r" % about["caption"])
    # The box keeps its designed size unless its texts need more width: then it keeps a margin
    # of 16 right of the widest.
    right = max(c["box"][0] + c["box"][2] for c in about["controls"].values())
    check(about["client"] == "%d 208" % max(264, right + 16), "about client %s" % about["client"])
    check_texts_fit(about, "about box")
    check_underlines(about, "about box", [201, 202])
    texts = {c["box"][:2]: c["text"] for c in about["controls"].values()}
    check(texts.get((64, 16)) == "Packrig 3.0", "heading %r" % texts.get((64, 16)))
    check(texts.get((64, 45)) == version_word + " 3.0.21.61", "version %r" % texts.get((64, 45)))
    check(texts.get((64, 72)) == notice, "notice %r" % texts.get((64, 72)))
    check(texts.get((64, 96), "").endswith(" %d" % year), "copyright %r" % texts.get((64, 96)))
    check(texts.get((64, 116)) == web + ":", "web caption")
    check(texts.get((104, 116)) == "http://www.quorvel.example/packrig", "web link")
    check(texts.get((64, 136)) == email + ":", "e-mail caption")
    check(texts.get((104, 136)) == "packrig@quorvel.example", "e-mail link")
    check(texts.get((96, 168)) == "OK", "OK button")


def scenario_czech():
    czech = {"LANG": "cs_CZ.UTF-8", "LC_ALL": "cs_CZ.UTF-8"}
    app = start_packrig([], czech)
    lines = probe("wait", "Tfpackrig", "langid", "key", "Tfpackrig", 112, "dump", "tfabout",
                  "key", "tfabout", 13, "gone", "tfabout", "close", "Tfpackrig", "gone",
                  "Tfpackrig", extra_env=czech)
    finish(app, "closed by the user")
    langid = [int(l.split()[1]) for l in lines if l.startswith("langid ")]
    check(langid and langid[0] & 0xFF == 5, "system language follows LANG: %s" % langid)
    about = dumps(lines).get("tfabout")
    check(about is not None, "about box seen")
    if about:
        check_about(about, "O programu...", "Verze", "Tento program je freeware", "Web", "E-mail")


def field_texts(main):
    return [main["controls"][IDS[n]]["text"] for n in ("esource", "eexefile", "etarget")]


def scenario_settings():
    write_settings(None)
    app = start_packrig([])
    first = dumps(probe("dump", "Tfpackrig", "close", "Tfpackrig", "gone", "Tfpackrig"))
    finish(app, "first start")
    check(field_texts(first["Tfpackrig"]) == ["", "", ""], "first start: empty fields")
    check(read_settings() == {}, "first start creates the key, empty")

    app = start_packrig([])
    lines = probe("settext", "Tfpackrig", IDS["esource"], r" C:\src ", "click", "Tfpackrig",
                  IDS["bmake"], "box", 1, "dump", "Tfpackrig", "close", "Tfpackrig", "gone",
                  "Tfpackrig")
    finish(app, "after a rejected build")
    check("box Error|Source directory does not exist\\n\\nC:\\src\\" in lines, "rejection box")
    check(dumps(lines)["Tfpackrig"]["enabled"] == "1", "window enabled after the rejection")
    check(read_settings() == {"Source": "C:\\src\\", "ExeFile": "", "Target": ""},
          "stored settings %s" % read_settings())

    write_settings(['"Source"=dword:00000007', '"ExeFile"="setup.exe"',
                    '"Target"=str(2):"%TEMP%\\\\x.exe"'])
    app = start_packrig([])
    d = dumps(probe("dump", "Tfpackrig", "close", "Tfpackrig", "gone", "Tfpackrig"))
    finish(app, "start with a number as Source")
    check(field_texts(d["Tfpackrig"]) == ["", "setup.exe", "%TEMP%\\x.exe"],
          "fields %s" % field_texts(d["Tfpackrig"]))


def scenario_paths_given():
    """Rejected input in paths-given mode: the window stays, the registry is neither read nor
    written; then a good build with -c ends the program with exit code 0."""
    write_settings(['"Source"="C:\\\\remembered\\\\"', '"ExeFile"="a.exe"', '"Target"="b.exe"'])
    before = read_settings()
    missing = " " + winpath(os.path.join(WORK, "missing")) + " "
    target = winpath(os.path.join(WORK, "out", "x.exe"))
    app = start_packrig([missing, "setup.exe", target])
    lines = probe("box", 1, "dump", "Tfpackrig", "click", "Tfpackrig", IDS["bmake"], "box", 1,
                  "close", "Tfpackrig", "gone", "Tfpackrig")
    finish(app, "closed after a rejected automatic build")
    check(sum(1 for l in lines if l.startswith("box Error|Source directory does not exist")) == 2,
          "both builds rejected: %s" % lines)
    main = dumps(lines)["Tfpackrig"]
    check(field_texts(main) == [missing, "setup.exe", target], "fields %s" % field_texts(main))
    check(read_settings() == before, "registry untouched: %s" % read_settings())

    source = os.path.join(WORK, "tree")
    tool = open(PROBE, "rb").read()
    files = {"setup.exe": tool, "sub/readme.txt": b"hello\r\n", "sub/deeper/empty.dat": b"",
             ".hidden": b"x" * 3000}
    make_tree(source, files)
    out = os.path.join(WORK, "out", "built.exe")
    if os.path.exists(out):
        os.remove(out)
    app = start_packrig(["-c", winpath(source), "setup.exe", winpath(out)])
    finish(app, "automatic build")
    check(os.path.exists(out), "SFX file written")
    if os.path.exists(out):
        entries = {name: (is_exe, body) for name, is_exe, body in read_sfx(out)}
        expected = {rel.replace("/", "\\"): content for rel, content in files.items()}
        check(set(entries) == set(expected), "entries %s" % sorted(entries))
        for name, content in expected.items():
            if name in entries:
                check(entries[name][1] == content, "content of %s" % name)
                check(entries[name][0] == (name == "setup.exe"), "exe mark of %s" % name)
    check(read_settings() == before, "registry untouched after the build")


def scenario_busy():
    """Closing is refused while the SFX file is written; a failure re-enables the window."""
    source = os.path.join(WORK, "big")
    make_tree(source, {"setup.exe": b"MZ"})
    make_tree(source, {"data/f%04d.bin" % i: bytes([i % 256]) * 4096 for i in range(1500)})
    out = os.path.join(WORK, "out", "big.exe")
    app = start_packrig(["-o", "-c", winpath(source), "setup.exe", winpath(out)])
    lines = probe("closebusy", "Tfpackrig", IDS["lwait"], "gone", "Tfpackrig")
    finish(app, "build after a refused close")
    check("closebusy exists=1 waitvisible=1 enabled=0" in lines, "close refused: %s" % lines)
    check(os.path.exists(out) and len(read_sfx(out)) == 1501, "complete SFX file")

    blocker = os.path.join(WORK, "blocker.txt")
    open(blocker, "w").close()
    target = winpath(os.path.join(blocker, "sub", "x.exe"))
    app = start_packrig(["-c", winpath(source), "setup.exe", target])
    lines = probe("box", 1, "dump", "Tfpackrig", "close", "Tfpackrig", "gone", "Tfpackrig")
    finish(app, "closed after a failed build")
    boxes = [l for l in lines if l.startswith("box ")]
    check(boxes and boxes[0].startswith("box Packrig 3.0|") and boxes[0].endswith("."),
          "failure box %s" % boxes)
    main = dumps(lines).get("Tfpackrig", {})
    check(main.get("enabled") == "1", "enabled again after the failure")
    waits = main.get("controls", {}).get(IDS["lwait"], {})
    check(waits.get("visible") == 0, "busy label hidden again")


SCENARIOS = {"layout": scenario_layout, "czech": scenario_czech, "settings": scenario_settings,
             "paths_given": scenario_paths_given, "busy": scenario_busy}

if __name__ == "__main__":
    os.makedirs(WORK, exist_ok=True)
    # A wine server left by another test may belong to another X display: start afresh.
    stop_wineserver()
    ensure_wine()
    SCENARIOS[sys.argv[1]]()
    print("%d failed checks" % len(failures))
    sys.exit(1 if failures else 0)
