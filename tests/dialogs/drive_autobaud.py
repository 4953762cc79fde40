#!/usr/bin/python3
"""Drives the real nimbrel binary through HW settings > Bit rate > Autobaud.

Usage: drive_autobaud.py EXECUTABLE

Presses OK in the channel chooser, opens HW settings > Bit rate, presses
"Autobaud ...", then "Try ...", waits for the result, presses "Close" and
quits the program with Ctrl+Q.

Reports on stdout, one line each, "NBT <key> <json value>":
  status    the autobaud dialog's status text after the search
  before    the automatic session file of channel 0 before Close is pressed
  after     the same file after the program ended
  exit      the program's exit code (negative: killed by that signal)
  error     what went wrong in the driver
Exit code 0 when the scenario ran, 77 when there is no accessibility bus,
1 on a driver failure (the program is killed then).
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import driver_util  # noqa: E402
from driver_util import report  # noqa: E402
from private_env import PrivateFolders  # noqa: E402


def wait_for(what, find, timeout=30.0):
    """The shared wait, with this driver's 30 s deadline."""
    return driver_util.wait_for(what, find, timeout)


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    exe = sys.argv[1]
    if not os.environ.get("DBUS_SESSION_BUS_ADDRESS") or not os.environ.get("DISPLAY"):
        print("no display or session bus: skipped", file=sys.stderr)
        return 77

    # dogtail insists on exactly this module list, and the program must
    # inherit it to register with the accessibility bus.
    os.environ["GTK_MODULES"] = "gail:atk-bridge"
    from dogtail import config
    config.logDebugToStdOut = False
    config.logDebugToFile = False
    config.actionDelay = 0.05
    config.typingDelay = 0.02
    config.searchBackoffDuration = 0.1
    config.searchCutoffCount = 5
    config.defaultDelay = 0.1
    from dogtail import tree

    # Folders of its own; the board list is the one the test gave.
    folders = PrivateFolders()
    env = folders.env(ASAN_OPTIONS="detect_leaks=0:abort_on_error=0")
    if "ZELK_BOARDS" in os.environ:
        env["ZELK_BOARDS"] = os.environ["ZELK_BOARDS"]
    proc = subprocess.Popen([exe], env=env)

    def app():
        for a in tree.root.children:
            if a.name == "nimbrel":
                return a
        return None

    def window(role, name=None):
        a = app()
        if not a:
            return None
        for w in a.children:
            if w.roleName == role and (name is None or w.name == name) and w.showing:
                return w
        return None

    def child(node, role, name):
        return node.findChild(lambda n: n.roleName == role and n.name == name, retry=False)

    def press(node, label):
        wait_for("button " + label, lambda: child(node, "push button", label)).doActionNamed("click")

    def status_text(dialog):
        for n in dialog.findChildren(lambda n: n.roleName == "label", recursive=True):
            if "autodetected" in (n.name or ""):
                return n.name
        return None

    try:
        chooser = wait_for("chooser", lambda: window("dialog", "Nimbrel, ver. 3.15"))
        press(chooser, "OK")
        main = wait_for("main window", lambda: window("frame"))
        hw = wait_for("HW settings menu", lambda: child(main, "menu", "HW settings"))
        hw.doActionNamed("click")
        item = wait_for("Bit rate item", lambda: child(main, "menu item", "Bit rate"))
        item.doActionNamed("click")
        bitrate = wait_for("bit rate dialog", lambda: window("dialog", "Set bit rate"))
        press(bitrate, "Autobaud ...")
        autobaud = wait_for("autobaud dialog", lambda: window("dialog", "Autobaud"))
        press(autobaud, "Try ...")
        report("status", wait_for("autobaud result", lambda: status_text(autobaud), timeout=60.0))
        # The buttons stay insensitive until the search has ended.
        close = wait_for("Close", lambda: (lambda b: b if b and b.sensitive else None)(
            child(autobaud, "push button", "Close")))
        report("before", read_text(folders.auto_file(0)))
        close.doActionNamed("click")
        wait_for("autobaud dialog to close", lambda: window("dialog", "Autobaud") is None or None)
        # No window manager: the window sits at 0,0 and keys go to the
        # window under the pointer.
        x, y = main.position
        w, h = main.size
        subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2)],
                       check=True, timeout=10)
        subprocess.run(["xdotool", "key", "ctrl+q"], check=True, timeout=10)
        report("exit", proc.wait(timeout=20))
        report("after", read_text(folders.auto_file(0)))
        return 0
    except Exception as e:  # report and never leave the program running
        report("error", str(e))
        proc.kill()
        proc.wait()
        return 1
    finally:
        folders.remove()


if __name__ == "__main__":
    sys.exit(main())
