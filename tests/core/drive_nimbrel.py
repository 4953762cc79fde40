#!/usr/bin/python3
"""Drives the real nimbrel binary from outside through accessibility.

Usage: drive_nimbrel.py SCENARIO EXECUTABLE [ARGS...]

Scenarios:
  message         answer one message box with OK
  chooser-cancel  press Cancel in the channel chooser
  chooser-quit    press OK in the chooser, read the main window's title,
                  then quit with Ctrl+Q
  chooser-ok-message  press OK in the chooser, then answer a message box

Reports on stdout, one line each, "NBT <key> <json value>":
  message   list of the message box's label texts
  title     main window title
  exit      the program's exit code (negative: killed by that signal)
  error     what went wrong in the driver
Exit code 0 when the scenario ran, 77 when there is no accessibility bus
or no dogtail,
1 on a driver failure (the program is killed then).
"""
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from private_env import PrivateFolders  # noqa: E402


def report(key, value):
    print("NBT %s %s" % (key, json.dumps(value)), flush=True)


def wait_for(what, find, timeout=20.0):
    """Polls find() until it returns something, with a deadline."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            found = find()
        except Exception:  # the tree changes under us while windows come and go
            found = None
        if found:
            return found
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for " + what)


def xdotool_search(pid, title):
    """The X window id of the program's visible window with this title."""
    r = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid), "--name",
                        "^" + title + "$"], capture_output=True, text=True, timeout=10)
    ids = r.stdout.split()
    return ids[0] if ids else None


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    scenario, exe, args = sys.argv[1], sys.argv[2], sys.argv[3:]
    if not os.environ.get("DBUS_SESSION_BUS_ADDRESS") or not os.environ.get("DISPLAY"):
        print("no display or session bus: skipped", file=sys.stderr)
        return 77

    # dogtail insists on exactly this module list, and the program must
    # inherit it to register with the accessibility bus.
    os.environ["GTK_MODULES"] = "gail:atk-bridge"
    try:
        from dogtail import config
    except ImportError:
        print("dogtail is not installed (scripts/install-deps.sh): skipped", file=sys.stderr)
        return 77
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
    proc = subprocess.Popen([exe] + args, env=env)

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

    def press(node, label):
        button = wait_for("button " + label, lambda: node.findChild(
            lambda n: n.roleName == "push button" and n.name == label, retry=False))
        button.doActionNamed("click")

    try:
        if scenario == "message":
            alert = wait_for("message box", lambda: window("alert"))
            labels = [n.name for n in alert.findChildren(lambda n: n.roleName == "label")]
            report("message", [t for t in labels if t])
            press(alert, "OK")
        elif scenario in ("chooser-cancel", "chooser-quit", "chooser-ok-message"):
            chooser = wait_for("chooser", lambda: window("dialog", "Nimbrel, ver. 3.15"))
            if scenario == "chooser-cancel":
                press(chooser, "Cancel")
            elif scenario == "chooser-ok-message":
                press(chooser, "OK")
                alert = wait_for("message box", lambda: window("alert"))
                labels = [n.name for n in alert.findChildren(lambda n: n.roleName == "label")]
                report("message", [t for t in labels if t])
                press(alert, "OK")
            else:
                press(chooser, "OK")
                main = wait_for("main window", lambda: window("frame"))
                report("title", main.name)
                # No window manager: keys go to the window under the
                # pointer, so raise the main window above anything another
                # test may have on the display and put the pointer on it.
                wid = wait_for("main window id", lambda: xdotool_search(proc.pid, main.name))
                subprocess.run(["xdotool", "windowraise", wid], check=True, timeout=10)
                subprocess.run(["xdotool", "mousemove", "--window", wid, "200", "200"],
                               check=True, timeout=10)
                subprocess.run(["xdotool", "key", "ctrl+q"], check=True, timeout=10)
        else:
            raise RuntimeError("unknown scenario " + scenario)
        report("exit", proc.wait(timeout=20))
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
