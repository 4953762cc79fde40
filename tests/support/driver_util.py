"""What the drivers that run the real program from outside share: their
report lines, waiting with a deadline, dogtail set up for speed, quitting
the program as a user does, and the frames of a candump log."""
import json
import os
import subprocess
import time


def report(key, value):
    """One "NBT <key> <json value>" line for nbtest::run_driver."""
    print("NBT %s %s" % (key, json.dumps(value)), flush=True)


def wait_for(what, find, timeout=60.0):
    """Polls find() until it returns something, with a deadline."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            found = find()
        except Exception:  # the tree changes while windows come and go
            found = None
        if found:
            return found
        time.sleep(0.1)
    raise RuntimeError("timed out waiting for " + what)


def dogtail_tree():
    """dogtail's tree, quiet and quick; the programs started afterwards
    register with the accessibility bus (they inherit GTK_MODULES)."""
    os.environ["GTK_MODULES"] = "gail:atk-bridge"
    from dogtail import config
    config.logDebugToStdOut = False
    config.logDebugToFile = False
    config.actionDelay = 0.05
    config.searchBackoffDuration = 0.1
    config.searchCutoffCount = 5
    config.defaultDelay = 0.1
    from dogtail import tree
    return tree


def showing_window(tree, role, app_name="nimbrel"):
    """The program's showing top-level window of that role, or None."""
    app = next((a for a in tree.root.children if a.name == app_name), None)
    return next((w for w in app.children if w.roleName == role and w.showing), None) if app else None


def quit_with_ctrl_q(proc, window_name):
    """Ctrl+Q into the program's main window, raised and under the pointer
    (without a window manager keys go where the pointer is); returns the
    program's exit code."""
    wid = wait_for("main window id", lambda: subprocess.run(
        ["xdotool", "search", "--onlyvisible", "--pid", str(proc.pid), "--name",
         "^" + window_name + "$"], capture_output=True, text=True).stdout.split()[0])
    subprocess.run(["xdotool", "windowraise", wid], check=True, timeout=10)
    subprocess.run(["xdotool", "mousemove", "--window", wid, "200", "200"], check=True, timeout=10)
    subprocess.run(["xdotool", "key", "ctrl+q"], check=True, timeout=10)
    return proc.wait(timeout=60)


def candump_frames(path):
    """The ID#DATA fields of a candump log, remote lengths cut."""
    out = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 3 and parts[0].startswith('('):
                fr = parts[2]
                out.append(fr[:fr.index('#R') + 2] if '#R' in fr else fr)
    return out
