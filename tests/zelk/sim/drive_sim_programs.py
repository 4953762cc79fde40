#!/usr/bin/python3
"""Two Nimbrels and zelkctl on the simulated bus, driven from outside.

Usage: drive_sim_programs.py STAGE_DIR

The first Nimbrel opens simulated channel 0, the second channel 1, both
with the logger logging from the start (candump format); zelkctl sends
frames on channel 2. Every program is a process of its own with the same
private folders, so they share the user's simulated bus. Reports, one line
each, "NBT <key> <json value>": log0 and log1, the frames each logger
wrote; error, what went wrong. Exit code 0 when the scenario ran, 77
without an accessibility bus, 1 on a driver failure (the programs are
killed then).
"""
import glob
import os
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from driver_util import candump_frames, dogtail_tree, report, wait_for  # noqa: E402
from private_env import PrivateFolders  # noqa: E402

BOARDS = "sim:channels=3,traffic=none"
FRAMES = ["7E8#0211223344556677", "18DAF110#R", "123#", "00000001#AA"]


def main():
    stage = sys.argv[1]
    if not os.environ.get("DBUS_SESSION_BUS_ADDRESS") or not os.environ.get("DISPLAY"):
        print("no display or session bus: skipped", file=sys.stderr)
        return 77
    tree = dogtail_tree()

    folders = PrivateFolders()
    env = folders.env(ZELK_BOARDS=BOARDS, ASAN_OPTIONS="detect_leaks=0:abort_on_error=0")
    logger = os.path.join(stage, "logger.so")
    logs = [os.path.join(folders.root, "logs%d" % c) for c in (0, 1)]
    for chan in (0, 1):
        os.makedirs(logs[chan])
        with open(folders.auto_file(chan), "w") as f:
            f.write("[Nimbrel]\nChan=%d\nLoadPlugin=%s\n\n[Plugin]\nPath=%s\n"
                    "Format=candump\nFolder=%s\nAutoStart=1\n" % (chan, logger, logger, logs[chan]))

    def apps():
        return [a for a in tree.root.children if a.name == "nimbrel"]

    def showing(app, role):
        return next((w for w in app.children if w.roleName == role and w.showing), None)

    def start(chan):
        """A Nimbrel on channel chan, past the chooser, controller started."""
        proc = subprocess.Popen([os.path.join(stage, "nimbrel")], env=env)
        app, chooser = wait_for("a chooser", lambda: next(
            ((a, showing(a, "dialog")) for a in apps() if showing(a, "dialog")), None), 120)
        cell = wait_for("channel %d in the chooser" % chan, lambda: chooser.findChild(
            lambda n: n.roleName == "table cell" and n.name == str(chan), retry=False))
        cell.select()
        cell.grabFocus()
        chooser.findChild(lambda n: n.roleName == "push button" and n.name == "OK",
                          retry=False).doActionNamed("click")
        main = wait_for("main window", lambda: showing(app, "frame"), 120)
        wait_for("Start", lambda: main.findChild(
            lambda n: n.roleName in ("push button", "toggle button") and n.name == "Start",
            retry=False)).doActionNamed("click")
        wait_for("the logger's file", lambda: glob.glob(logs[chan] + "/*.log"))
        return proc

    procs = []
    try:
        procs.append(start(0))
        procs.append(start(1))
        for fr in FRAMES:
            subprocess.run([os.path.join(stage, "zelkctl"), "send", "2", fr], env=env,
                           check=True, timeout=60)
        for chan in (0, 1):
            log = glob.glob(logs[chan] + "/*.log")[0]
            wait_for("the frames in log %d" % chan, lambda: len(candump_frames(log)) >= len(FRAMES), 60)
            report("log%d" % chan, candump_frames(log))
        return 0
    except Exception as e:  # report and never leave a program running
        report("error", str(e))
        return 1
    finally:
        for p in procs:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        folders.remove()


if __name__ == "__main__":
    sys.exit(main())
