#!/usr/bin/python3
"""The whole program on a simulated CAN FD bus, driven from outside through
accessibility (dogtail), beside zelkctl in processes of their own.

The simulated board carries back-to-back 64-byte FD frames with BRS (0x555)
at 10 kbit/s and 1 Mbit/s. zelkctl dumps channel 1 from before the program
starts to after it quits: the reference of what passed on the bus. The
program opens channel 0 for CAN FD from a session that loads the bus
viewer, the sender, the player and three loggers (copies of logger.so, one per format:
candump, ASC, BLF) that log from the start. Then:
  - the sender's quick send line sends one extended FD frame with BRS, and
    zelkctl sends one FD frame without BRS on channel 2: the dump must show
    both;
  - the bus viewer's trace must hold both rows and rows of 0x555, each with
    its marks, length 64 and all 64 bytes in groups of 8;
  - the channel information counts no FD frame hidden from a plug-in;
  - after the program quits, each logger's file read by python-can must be,
    frame for frame (identifier, marks, data, and the sender's frame as
    sent), a run of the frames the dump saw.
The program's GLib and GTK warnings fail the test too.
Exit 0 pass, 1 fail, 77 skipped (no display, accessibility bus or build).
"""
import glob
import os
import re
import shutil
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from driver_util import dogtail_tree, quit_with_ctrl_q, wait_for  # noqa: E402
from private_env import PrivateFolders  # noqa: E402

BOARDS = "sim:channels=3,rate=10,drate=1000,traffic=full-fd,len=64"
SENT = "01234567##1" + "".join("%02X" % (i * 3 % 256) for i in range(64))    # by the sender
OTHER = "0F0##0" + "".join("%02X" % (255 - i) for i in range(64))              # by zelkctl
FORMATS = (("logger.so", "candump", "log"), ("logger-asc.so", "asc", "asc"),
           ("logger-blf.so", "blf", "blf"))


def skip(why):
    print("SKIP:", why)
    sys.exit(77)


def frame(ident, ext, fd, brs, esi, data):
    """A frame as both sides are compared: the candump syntax of it."""
    head = ("%08X" if ext else "%03X") % ident
    if fd:
        return "%s##%X%s" % (head, (1 if brs else 0) | (2 if esi else 0), data.hex().upper())
    return "%s#%s" % (head, data.hex().upper())


def dumped(path):
    """The frames of zelkctl's dump, the FD flags digit without the FDF bit
    (4) that python-can's messages carry as is_fd."""
    out = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 3 and line.startswith("("):
                fr = parts[2]
                if "##" in fr:
                    head, rest = fr.split("##", 1)
                    fr = "%s##%X%s" % (head, int(rest[0], 16) & 3, rest[1:])
                out.append(fr)
    return out


def logged(path, kind):
    """(frame, sent) of every frame python-can reads from a log file."""
    import can
    reader = {"log": can.CanutilsLogReader, "blf": can.BLFReader,
              "asc": lambda p: can.ASCReader(p, relative_timestamp=False)}[kind](path)
    return [(frame(m.arbitration_id, m.is_extended_id, m.is_fd, m.bitrate_switch,
                   m.error_state_indicator, bytes(m.data)), not m.is_rx)
            for m in reader if not m.is_error_frame]


def grouped(data_hex):
    """The bus viewer's text of a payload: bytes in groups of 8."""
    b = [data_hex[i:i + 2] for i in range(0, len(data_hex), 2)]
    return " | ".join(" ".join(b[i:i + 8]) for i in range(0, len(b), 8))


def main():
    stage = os.environ.get("NB_STAGE_DIR", "")
    need = ["nimbrel", "zelkctl", "busview.so", "sender.so", "player.so", "logger.so"]
    if not all(os.path.exists(os.path.join(stage, n)) for n in need):
        skip("the program, zelkctl or a plug-in is not built")
    if not os.environ.get("DISPLAY") or not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        skip("no display or session bus")
    try:
        tree = dogtail_tree()
        import can  # noqa: F401
    except ImportError as e:
        skip("%s (scripts/install-deps.sh)" % e)
    from dogtail.predicate import GenericPredicate

    folders = PrivateFolders("nbfdbus-")
    inst = os.path.join(folders.root, "inst")
    os.makedirs(inst)
    for name in os.listdir(stage):
        if name.startswith("libzelk.so") or name in need[2:] or name == "nimbrel":
            shutil.copy2(os.path.join(stage, name), inst, follow_symlinks=True)
    for copy, _, _ in FORMATS[1:]:
        shutil.copy2(os.path.join(stage, "logger.so"), os.path.join(inst, copy))
    logs = os.path.join(folders.root, "logs")
    plugins = ["busview.so", "sender.so", "player.so"] + [f[0] for f in FORMATS]
    session = os.path.join(folders.root, "fd.nbs")
    with open(session, "w") as f:
        f.write("[Nimbrel]\nChan=0\nFlags=BOTH\nFD=ISO\nBaud=10\nDataRate=1000\n"
                "Hsize=1100\nVsize=760\nQuitWithoutAsking=1\n")
        f.write("".join("LoadPlugin=%s\n" % os.path.join(inst, p) for p in plugins))
        for so, fmt, ext in FORMATS:
            os.makedirs(os.path.join(logs, ext))
            f.write("\n[Plugin]\nPath=%s\nFormat=%s\nFolder=%s\nAutoStart=1\n"
                    % (os.path.join(inst, so), fmt, os.path.join(logs, ext)))
    env = folders.env(ZELK_BOARDS=BOARDS, GTK_MODULES="gail:atk-bridge",
                      ASAN_OPTIONS="detect_leaks=0:abort_on_error=0")
    zelkctl = os.path.join(stage, "zelkctl")
    dump_path = os.path.join(folders.root, "dump.log")
    stderr_path = os.path.join(folders.root, "program-stderr.txt")
    dump = subprocess.Popen([zelkctl, "dump", "1", "--rate", "10", "--drate", "1000"],
                            env=env, stdout=open(dump_path, "w"))
    proc = None
    failures = []
    try:
        wait_for("the dump's first frames", lambda: len(dumped(dump_path)) > 3)
        with open(stderr_path, "w") as err:
            proc = subprocess.Popen([os.path.join(inst, "nimbrel"), session], env=env, stderr=err)

        def find_app():
            if proc.poll() is not None:
                raise SystemExit("the program ended early with %s" % proc.poll())
            return next((a for a in tree.root.children
                         if a.name == "nimbrel" and a.get_process_id() == proc.pid), None)
        app = wait_for("the program on the accessibility bus", find_app, 120)
        main_window = wait_for("the main window", lambda: next(
            (w for w in app.children if w.roleName == "frame" and w.showing), None), 120)

        def child(name, role, node=app):
            return wait_for("%s %s" % (role, name), lambda: node.findChild(
                GenericPredicate(name=name, roleName=role), retry=False, requireResult=False))
        # Every widget is looked up before the controller starts: a search
        # through the tree later would walk every line of the trace.
        start = child("Start", "toggle button")
        sender_tab, busview_tab = child("Sender", "page tab"), child("Bus view", "page tab")
        send_line = child("Send line", "push button")
        quick = child("", "text", send_line.parent)
        page = child("Pause", "toggle button").parent.parent
        trace = next(t.queryTable() for t in page.findChildren(GenericPredicate(
            roleName="table")) if t.queryTable().getColumnHeader(0).name == "Time")
        idfilter = next(n for n in page.findChildren(GenericPredicate(roleName="text"))
                        if n.labeller and n.labeller.name == "Filter:")
        hidden_name = child("FD frames hidden", "table cell")
        cells = hidden_name.parent.children
        hidden = cells[cells.index(hidden_name) + 1]

        start.doActionNamed("click")
        wait_for("the controller to run", lambda: start.name == "Stop")
        wait_for("the three log files", lambda: all(
            glob.glob(os.path.join(logs, ext, "*." + ext)) for _, _, ext in FORMATS))
        sender_tab.select()
        quick.text = SENT
        send_line.doActionNamed("click")
        subprocess.run([zelkctl, "send", "2", OTHER, "--rate", "10", "--drate", "1000"], env=env,
                       check=True, timeout=60)
        try:
            wait_for("both frames in the dump",
                     lambda: SENT in dumped(dump_path) and OTHER in dumped(dump_path))
        except RuntimeError:
            print("the dump's frames other than 555:",
                  [f for f in dumped(dump_path) if not f.startswith("555#")])
            raise

        # The trace's columns: Time, Channel, Dir, ID, Marks, Len, Delta ms, Data.
        def rows(first):
            return [tuple(trace.getAccessibleAt(r, c).name for c in (2, 3, 4, 5, 7))
                    for r in range(first, trace.nRows)]
        busview_tab.select()
        last = rows(trace.nRows - 3)
        if not any(r[1:4] == ("555", "FD BRS", "64") and len(r[4].split(" | ")) == 8 and
                   all(len(g.split()) == 8 for g in r[4].split(" | ")) for r in last):
            failures.append("no 64-byte row of 555 among the trace's last lines: %s" % last)
        want = [("Tx", "01234567", "EXT FD BRS", "64", grouped(SENT[11:])),
                ("Rx", "0F0", "FD", "64", grouped(OTHER[6:]))]
        idfilter.text = "01234567, 0F0"
        idfilter.doActionNamed("activate")

        def frame_rows():   # the status lines stay
            return [r for r in rows(0) if r[0] in ("Rx", "Tx")] if trace.nRows < 50 else []
        try:
            wait_for("the two frames alone in the filtered trace", lambda: frame_rows() == want)
        except RuntimeError:
            failures.append("the filtered trace shows %s, not %s" % (frame_rows(), want))
        if hidden.name != "0":
            failures.append("%s FD frames hidden, with every plug-in able to take them"
                            % hidden.name)
        code = quit_with_ctrl_q(proc, main_window.name)
        if code != 0:
            failures.append("the program's exit code %s" % code)
    except (Exception, SystemExit) as e:
        failures.append("driver: %s" % e)
        if proc and proc.poll() is None:
            proc.kill()
            proc.wait()
    finally:
        dump.send_signal(signal.SIGINT)
        dump.wait(timeout=30)

    if not failures:
        # The sender's frame is logged at the time it was handed to the
        # adapter, the dump has it when it passed the bus, after the frame
        # that was on the wire then: it may stand one place earlier. Every
        # received frame must be in the dump's order, none missing.
        bus = dumped(dump_path)
        bus_rx = [f for f in bus if f != SENT]
        for _, _, ext in FORMATS:
            got = logged(glob.glob(os.path.join(logs, ext, "*." + ext))[0], ext)
            frames = [f for f, _ in got]
            rx = [f for f, tx in got if not tx]
            sent = [f for f, tx in got if tx]
            at = bus_rx.index(rx[0]) if rx and rx[0] in bus_rx else -1
            print("%s: %d frames, %d sent; the dump saw %d" % (ext, len(got), len(sent), len(bus)))
            if sent != [SENT] or len(rx) < 100 or OTHER not in rx or bus_rx[at:at + len(rx)] != rx:
                diff = next((i for i, f in enumerate(rx) if at < 0 or at + i >= len(bus_rx) or
                             bus_rx[at + i] != f), None)
                failures.append("%s: %d frames received, sent %s; the first differs from the dump "
                                "at %s: %s" % (ext, len(rx), sent, diff, diff is not None and
                                               (rx[diff], bus_rx[at + diff: at + diff + 1])))
                continue
            place = bus.index(SENT) - bus.index(rx[0]) - frames.index(SENT)
            if place not in (0, 1):
                failures.append("%s: the sent frame stands %d places away from where the dump "
                                "has it" % (ext, place))
    if os.path.exists(stderr_path):
        with open(stderr_path, errors="replace") as f:
            failures += ["the program said: " + l.rstrip() for l in f
                         if re.search(r"-(CRITICAL|WARNING) \*\*", l)]
    folders.remove()
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
