#!/usr/bin/python3
"""The whole program on a CAN FD vcan interface, driven from outside
through accessibility (run in the CAN guest, under scripts/with-xvfb.sh).

Usage: drive_vcan_fd.py STAGE_DIR PLUGIN_DIR IFACE CHANNEL

The interface is set to the CAN FD MTU. The automatic session of CHANNEL
loads two witness plug-ins (fd_witness.c): one of interface 0x0301 that
opts in to CAN FD, one of interface 0x0300. The driver picks CHANNEL and
"CAN FD" in the chooser, presses Start, lets cangen send classic and FD
frames of every kind, and compares what each witness wrote down with
candump -L of the same traffic: the FD-aware one must have every frame in
order, the other the classic ones only, and the information panel must
count the FD frames as hidden. Exit 0 when all agree, 1 otherwise, 77
without an accessibility bus."""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from driver_util import (candump_frames, dogtail_tree, quit_with_ctrl_q,  # noqa: E402
                         showing_window, wait_for)


def normal(frame):
    """A frame in candump syntax with the FD flags reduced to BRS and ESI
    and a remote frame's length left out."""
    if "##" in frame:
        ident, rest = frame.split("##", 1)
        return "%s##%X%s" % (ident, int(rest[0], 16) & 3, rest[1:])
    if "#R" in frame:
        return frame[:frame.index("#R") + 2]
    return frame


def reference(path):
    return [normal(f) for f in candump_frames(path)]


def lines(path):
    try:
        with open(path) as f:
            return [normal(l.strip()) for l in f if l.strip()]
    except OSError:
        return []


def main():
    stage, plugdir, iface, chan = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    if not os.environ.get("DBUS_SESSION_BUS_ADDRESS") or not os.environ.get("DISPLAY"):
        print("no display or session bus: skipped", file=sys.stderr)
        return 77
    for cmd in (["ip", "link", "set", iface, "down"], ["ip", "link", "set", iface, "mtu", "72"],
                ["ip", "link", "set", iface, "up"]):
        subprocess.run(cmd, check=True, timeout=30)
    root = tempfile.mkdtemp(prefix="nbfd-")
    for sub in ("home", "data", "config", "runtime", "inst", "witness"):
        os.makedirs(os.path.join(root, sub), mode=0o700)
    inst = os.path.join(root, "inst")
    shutil.copy2(os.path.join(stage, "nimbrel"), inst)
    for name in os.listdir(stage):
        if name.startswith("libzelk.so"):
            shutil.copy2(os.path.join(stage, name), inst, follow_symlinks=True)
    witnesses = []
    for name in ("fd_witness_fd.so", "fd_witness_classic.so"):
        shutil.copy2(os.path.join(plugdir, name), inst)
        witnesses.append(os.path.join(inst, name))
    with open(os.path.join(root, "data", ".nbauto-ch%d.nbs" % chan), "w") as f:
        f.write("[Nimbrel]\nBaud=500\n" + "".join("LoadPlugin=%s\n" % w for w in witnesses))
    env = dict(os.environ, HOME=root + "/home", XDG_DATA_HOME=root + "/data",
               XDG_CONFIG_HOME=root + "/config", XDG_RUNTIME_DIR=root + "/runtime",
               NB_WITNESS_DIR=root + "/witness", GTK_MODULES="gail:atk-bridge",
               ASAN_OPTIONS="detect_leaks=0:abort_on_error=0")
    env.pop("ZELK_BOARDS", None)
    tree = dogtail_tree()

    ref_path = root + "/candump.log"
    ref = subprocess.Popen(["stdbuf", "-oL", "candump", "-L", iface], stdout=open(ref_path, "w"))
    proc = subprocess.Popen([os.path.join(inst, "nimbrel")], env=env)

    def window(role):
        return showing_window(tree, role)

    def find(node, role, name):
        return wait_for("%s %s" % (role, name), lambda: node.findChild(
            lambda n: n.roleName == role and n.name == name, retry=False))

    def hidden_count(main_window):
        cell = main_window.findChild(
            lambda n: n.roleName == "table cell" and n.name == "FD frames hidden", retry=False)
        cells = cell.parent.children
        return cells[cells.index(cell) + 1].name

    fd_path, classic_path = root + "/witness/fd.frames", root + "/witness/classic.frames"
    try:
        chooser = wait_for("chooser", lambda: window("dialog"), 120)
        cell = find(chooser, "table cell", str(chan))
        cell.select()
        cell.grabFocus()
        combo = wait_for("the CAN mode choice", lambda: chooser.findChild(
            lambda n: n.roleName == "combo box" and n.sensitive and
            any(c.name == "CAN FD" for c in n.findChildren(lambda m: m.roleName == "menu item")),
            retry=False))
        combo.findChild(lambda n: n.roleName == "menu item" and n.name == "CAN FD",
                        retry=False).doActionNamed("click")
        wait_for("CAN FD chosen", lambda: combo.name == "CAN FD", 10)
        find(chooser, "push button", "OK").doActionNamed("click")
        main_window = wait_for("main window", lambda: window("frame"), 120)
        wait_for("button Start", lambda: main_window.findChild(
            lambda n: n.roleName in ("push button", "toggle button") and n.name == "Start",
            retry=False)).doActionNamed("click")
        wait_for("the witnesses' files", lambda: os.path.exists(fd_path) and
                 os.path.exists(classic_path))
        for args in (["-m", "-n", "200"], ["-f", "-b", "-L", "r", "-n", "60"], ["-n", "40"]):
            subprocess.run(["cangen", iface, "-g", "1"] + args, check=True, timeout=120)
        want = wait_for("300 frames from candump", lambda: len(reference(ref_path)) >= 300 and
                        reference(ref_path), 30)
        want_classic = [f for f in want if "##" not in f]
        wait_for("every frame in the FD-aware witness", lambda: len(lines(fd_path)) >= len(want))
        wait_for("the classic frames in the other witness",
                 lambda: len(lines(classic_path)) >= len(want_classic))
        fd_n = len(want) - len(want_classic)
        hidden = wait_for("the hidden FD frames counted", lambda: hidden_count(main_window) ==
                          str(fd_n) and fd_n, 10)
        code = quit_with_ctrl_q(proc, main_window.name)
    except Exception as e:
        print("driver failed:", e)
        proc.kill()
        proc.wait()
        ref.kill()
        return 1
    ref.terminate()
    ref.wait()
    got_fd, got_classic = lines(fd_path), lines(classic_path)
    print("program exit %d; candump saw %d frames (%d FD), the FD witness wrote %d, the classic "
          "one %d; hidden %s" % (code, len(want), fd_n, len(got_fd), len(got_classic), hidden))
    ok = code == 0 and fd_n > 0 and got_fd == want and got_classic == want_classic
    for name, a, b in (("FD", want, got_fd), ("classic", want_classic, got_classic)):
        for i, (x, y) in enumerate(zip(a, b)):
            if x != y:
                print("%s witness: first difference at frame %d: candump %s, witness %s"
                      % (name, i, x, y))
                break
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
