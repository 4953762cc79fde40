#!/usr/bin/python3
"""The whole program on a vcan interface, driven from outside through
accessibility (run in the CAN guest, under scripts/with-xvfb.sh).

Usage: drive_vcan_program.py STAGE_DIR IFACE CHANNEL

The automatic session of CHANNEL loads the logger (candump format, logging
from the start); the driver picks CHANNEL in the chooser, presses Start,
lets cangen send standard, extended and remote frames of every length, quits
with Ctrl+Q, and compares the logger's file with candump -L of the same
traffic, frame for frame. Exit 0 when they agree, 1 otherwise, 77 without an
accessibility bus."""
import glob
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from driver_util import (candump_frames as frames, dogtail_tree, quit_with_ctrl_q,  # noqa: E402
                         showing_window, wait_for)


def main():
    stage, iface, chan = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if not os.environ.get("DBUS_SESSION_BUS_ADDRESS") or not os.environ.get("DISPLAY"):
        print("no display or session bus: skipped", file=sys.stderr)
        return 77
    root = tempfile.mkdtemp(prefix="nbprog-")
    for sub in ("home", "data", "config", "runtime", "logs"):
        os.makedirs(os.path.join(root, sub), mode=0o700)
    env = dict(os.environ, HOME=root + "/home", XDG_DATA_HOME=root + "/data",
               XDG_CONFIG_HOME=root + "/config", XDG_RUNTIME_DIR=root + "/runtime",
               ZELK_LOCK_DIR=root + "/runtime/zelk",
               GTK_MODULES="gail:atk-bridge", ASAN_OPTIONS="detect_leaks=0:abort_on_error=0")
    env.pop("ZELK_BOARDS", None)
    logger = os.path.join(stage, "logger.so")
    with open(os.path.join(root, "data", ".nbauto-ch%d.nbs" % chan), "w") as f:
        # QuitWithoutAsking: Ctrl+Q below ends the program while it logs.
        f.write("[Nimbrel]\nChan=%d\nBaud=1000\nQuitWithoutAsking=1\nLoadPlugin=%s\n\n[Plugin]\nPath=%s\n"
                "Format=candump\nFolder=%s\nAutoStart=1\n" % (chan, logger, logger, root + "/logs"))

    tree = dogtail_tree()

    ref_path = root + "/candump.log"
    ref = subprocess.Popen(["stdbuf", "-oL", "candump", "-L", iface], stdout=open(ref_path, "w"))
    proc = subprocess.Popen([os.path.join(stage, "nimbrel")], env=env)

    def window(role):
        return showing_window(tree, role)

    def button(node, label):
        return wait_for("button " + label, lambda: node.findChild(
            lambda n: n.roleName in ("push button", "toggle button") and n.name == label,
            retry=False))

    try:
        chooser = wait_for("chooser", lambda: window("dialog"), 120)
        cell = wait_for("channel %d in the chooser" % chan, lambda: chooser.findChild(
            lambda n: n.roleName == "table cell" and n.name == str(chan), retry=False))
        cell.select()
        cell.grabFocus()
        button(chooser, "OK").doActionNamed("click")
        main_window = wait_for("main window", lambda: window("frame"), 120)
        print("main window:", main_window.name)
        button(main_window, "Start").doActionNamed("click")
        log = wait_for("the logger's file", lambda: glob.glob(root + "/logs/*.log"))[0]
        for args in (["-L", "r"], ["-e", "-L", "r"], ["-R"]):
            subprocess.run(["cangen", iface, "-g", "1", "-n", "100"] + args, check=True, timeout=120)
        wait_for("300 frames in the logger's file", lambda: len(frames(log)) >= 300, 60)
        code = quit_with_ctrl_q(proc, main_window.name)
    except Exception as e:
        print("driver failed:", e)
        proc.kill()
        proc.wait()
        ref.kill()
        return 1
    ref.terminate()
    ref.wait()
    want = frames(ref_path)
    got = frames(log)
    print("program exit %d; candump saw %d frames, the logger wrote %d" % (code, len(want), len(got)))
    if code != 0 or len(want) != 300 or got != want:
        for i, (a, b) in enumerate(zip(want, got)):
            if a != b:
                print("first difference at frame %d: candump %s, logger %s" % (i, a, b))
                break
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
