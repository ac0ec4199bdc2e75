"""Running Windows programs under wine for the end-to-end tests: the environment of a run, a
private X display on which message boxes wait, and reading such a box with the boxreader helper."""

import os
import subprocess
import shutil
import sys
import time

WINE = os.environ.get("WINE", "wine")
WIN_DIR = os.environ.get("PACKRIG_WIN_DIR", "")


def windows_path(path):
    """The path wine's drive Z: gives a Linux path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_env(**extra):
    """Environment of a wine run: UTC, and no display unless one is given, so that an error
    report's message box returns at once."""
    env = dict(os.environ, TZ="UTC")
    env.pop("DISPLAY", None)
    env.update(extra)
    return env


def exit_unless_wine_starts():
    """Ends the test with exit code 77 (skipped) where wine cannot start at all."""
    probe = subprocess.run([WINE, "--version"], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
    if probe.returncode != 0:
        print("skipped: wine cannot start here:", probe.stdout.decode(errors="replace"))
        sys.exit(77)


def as_second_user(user="nobody"):
    """The command prefix that runs a program as `user` (root and setpriv needed)."""
    return ["setpriv", "--reuid=" + user, "--regid=nogroup", "--clear-groups"]


def second_user_reads(path, user="nobody"):
    """Whether `user` can read `path`: a checkout under root's home is closed to others."""
    probe = subprocess.run(as_second_user(user) + ["test", "-r", path], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return probe.returncode == 0


def _server_running(env):
    """Whether the wine server of env's prefix runs: its working folder is named after the
    prefix's device and inode."""
    prefix = os.stat(env.get("WINEPREFIX") or os.path.expanduser("~/.wine"))
    folder = "/server-%x-%x" % (prefix.st_dev, prefix.st_ino)
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink("/proc/%s/cwd" % pid).endswith(folder) and \
                    "wineserver" in os.readlink("/proc/%s/exe" % pid):
                return True
        except OSError:
            pass
    return False


def start_wine_quietly(env):
    """Starts the prefix's wine server and its system programs, when they are not running, from
    a program without output. Those outlive the run that starts them by seconds and inherit its
    standard handles: a run whose output is captured would wait for them each time."""
    if not _server_running(env):
        subprocess.run([WINE, "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)


def stop_wine():
    subprocess.run(["wineserver", "-k"], env=wine_env(), timeout=60)
    subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=60)


class Display:
    """A private Xvfb on a free display number; wine is restarted around it so that every
    program of the prefix draws there."""

    def __enter__(self):
        stop_wine()
        for number in range(90, 140):
            if not os.path.exists("/tmp/.X11-unix/X%d" % number) and \
                    not os.path.exists("/tmp/.X%d-lock" % number):
                break
        self.name = ":%d" % number
        self.xvfb = subprocess.Popen(["Xvfb", self.name, "-screen", "0", "800x600x24"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(50):
            if os.path.exists("/tmp/.X11-unix/X%d" % number):
                break
            time.sleep(0.1)
        return self

    def env(self, **extra):
        return wine_env(DISPLAY=self.name, **extra)

    def __exit__(self, *exc):
        stop_wine()
        self.xvfb.terminate()
        self.xvfb.wait(timeout=30)


def has_xvfb():
    return shutil.which("Xvfb") is not None


def run_with_box(display, command, **extra):
    """Runs `command` on `display`, reads the message box it shows and presses the box's
    default button. Returns the exit code and the box's texts ("caption=..." first)."""
    env = display.env(**extra)
    program = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        box = subprocess.run([WINE, os.path.join(WIN_DIR, "boxreader.exe"), "60"], env=env,
                             stdout=subprocess.PIPE, timeout=120)
        code = program.wait(timeout=120)
    finally:
        if program.poll() is None:
            program.kill()
    return code, box.stdout.decode("cp1252", errors="replace").replace("\r", "")
