#!/usr/bin/python3
"""Two channels in one window on one time line, the program started from
outside with a session file (run in the CAN guest, under
scripts/with-xvfb.sh).

Usage: drive_two_channels.py STAGE_DIR PLUGIN_DIR IFACE0 CHANNEL0 IFACE1 CHANNEL1

IFACE0 is set to CAN FD (MTU 72), IFACE1 to classic CAN; both MTUs are
put back at the end. The session names CHANNEL0 (CAN FD) as the main
channel and adds CHANNEL1, and loads the stream witness (stream_witness.c).
After Start all, cangen runs on both interfaces at once (identifiers
counting up from 0, clear of the probe 7F0 and the trigger 7FF); a frame 7FF makes
the witness send one frame on each channel. What the witness wrote is
compared with candump -L any run beside it: each channel's frames
(identifier, flags, data) in order, the direction, and the merged order
by time. Exit 0 when all agree, 1 otherwise, 77 without an accessibility
bus or without a Start all button."""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from driver_util import dogtail_tree, quit_with_ctrl_q, showing_window, wait_for  # noqa: E402

PROBE = "7F0"
COUNT = 150


def normal(frame):
    """A frame in candump syntax with the FD flags reduced to BRS and ESI
    and a remote frame's length left out."""
    if "##" in frame:
        ident, rest = frame.split("##", 1)
        return "%s##%X%s" % (ident, int(rest[0], 16) & 3, rest[1:])
    if "#R" in frame:
        return frame[:frame.index("#R") + 2]
    return frame


def candump(path, ifaces):
    """(time, interface, frame) of the two interfaces, probes left out."""
    out = []
    with open(path) as f:
        for line in f:
            p = line.split()
            if len(p) >= 3 and p[0].startswith("(") and p[1] in ifaces:
                fr = normal(p[2])
                if not fr.startswith(PROBE + "#"):
                    out.append((float(p[0].strip("()")), p[1], fr))
    return out


def witness(path):
    """(time_us, index, name, dir, frame) as the witness wrote them, probes
    left out; lines that are not records are kept as text."""
    out = []
    try:
        with open(path) as f:
            for line in f:
                p = line.split()
                if len(p) == 5 and p[0].isdigit():
                    fr = normal(p[4])
                    if not fr.startswith(PROBE + "#"):
                        out.append((int(p[0]), int(p[1]), p[2], p[3], fr))
                elif line.strip():
                    out.append(line.strip())
    except OSError:
        pass
    return out


def seen_probe(path, index):
    try:
        with open(path) as f:
            return any(l.split()[1:2] == [str(index)] and l.split()[4].startswith(PROBE + "#")
                       for l in f if len(l.split()) == 5)
    except OSError:
        return False


def set_mtu(iface, mtu):
    for cmd in (["ip", "link", "set", iface, "down"], ["ip", "link", "set", iface, "mtu", str(mtu)],
                ["ip", "link", "set", iface, "up"]):
        subprocess.run(cmd, check=True, timeout=30)


# One poll tick and the time its catching up may take.
TICK_S = 0.04


def compare(want, got, ifaces, names):
    """The differences between candump's frames and the witness's."""
    errors = [g for g in got if isinstance(g, str)]
    got = [g for g in got if not isinstance(g, str)]
    for i, iface in enumerate(ifaces):
        a = [w[2] for w in want if w[1] == iface]
        b = [g[4] for g in got if g[1] == i]
        if a != b:
            first = next((k for k, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
            errors.append("%s: candump %d frames, witness %d; first difference at %d: %s / %s"
                          % (iface, len(a), len(b), first, a[first:first + 1], b[first:first + 1]))
        if any(g[2] != names[i] for g in got if g[1] == i):
            errors.append("channel %d not named %s" % (i, names[i]))
        sent = [g[4][:3] for g in got if g[1] == i and g[3] == "tx"]
        if sent != ["7A%d" % i]:
            errors.append("channel %d: sent frames %s, expected 7A%d" % (i, sent, i))
        if not any(w[1] == iface and w[2].startswith("7A%d#" % i) for w in want):
            errors.append("the frame sent on %s did not reach candump" % iface)
    if errors:
        return errors
    # The merged order: the witness's records, each matched with its
    # frame in candump, follow candump's times. A frame of the added
    # channel may come up to one poll tick late against the main
    # channel's (the host never holds the main channel back), so an
    # inversion is allowed within TICK_S of candump's time, never more.
    nth = {iface: [w for w in want if w[1] == iface] for iface in ifaces}
    taken = {iface: 0 for iface in ifaces}
    last_us, latest_ts, late = 0, 0.0, 0
    for g in got:
        iface = ifaces[g[1]]
        w = nth[iface][taken[iface]]
        taken[iface] += 1
        if g[0] < last_us or w[0] < latest_ts - TICK_S:
            errors.append("out of time order at %s %s (%.6f after %.6f)"
                          % (iface, g[4], w[0], latest_ts))
            break
        late += w[0] < latest_ts
        last_us, latest_ts = g[0], max(latest_ts, w[0])
    print("merged order: %d of %d frames came after a later one of the other channel, "
          "each within %d ms" % (late, len(got), TICK_S * 1000))
    return errors


def main():
    stage, plugdir = sys.argv[1], sys.argv[2]
    ifaces = [sys.argv[3], sys.argv[5]]
    chans = [int(sys.argv[4]), int(sys.argv[6])]
    names = ["ch%d" % c for c in chans]
    if not os.environ.get("DBUS_SESSION_BUS_ADDRESS") or not os.environ.get("DISPLAY"):
        print("no display or session bus: skipped", file=sys.stderr)
        return 77
    mtus = [open("/sys/class/net/%s/mtu" % i).read().strip() for i in ifaces]
    set_mtu(ifaces[0], 72)
    set_mtu(ifaces[1], 16)
    try:
        return run(stage, plugdir, ifaces, chans, names)
    finally:
        for iface, mtu in zip(ifaces, mtus):
            set_mtu(iface, mtu)


def run(stage, plugdir, ifaces, chans, names):
    root = tempfile.mkdtemp(prefix="nb2ch-")
    for sub in ("home", "data", "config", "runtime", "inst", "witness"):
        os.makedirs(os.path.join(root, sub), mode=0o700)
    inst = os.path.join(root, "inst")
    shutil.copy2(os.path.join(stage, "nimbrel"), inst)
    for name in os.listdir(stage):
        if name.startswith("libzelk.so"):
            shutil.copy2(os.path.join(stage, name), inst, follow_symlinks=True)
    shutil.copy2(os.path.join(plugdir, "stream_witness.so"), inst)
    session = os.path.join(root, "two.nbs")
    with open(session, "w") as f:
        f.write("[Nimbrel]\nChan=%d\nFlags=BOTH\nFD=ISO\nBaud=500\nDataRate=2000\n"
                "LoadPlugin=%s\n[Plugin]\nChannel=1\nChan=%d\nFlags=BOTH\nBaud=500\n"
                % (chans[0], os.path.join(inst, "stream_witness.so"), chans[1]))
    env = dict(os.environ, HOME=root + "/home", XDG_DATA_HOME=root + "/data",
               XDG_CONFIG_HOME=root + "/config", XDG_RUNTIME_DIR=root + "/runtime",
               NB_WITNESS_DIR=root + "/witness", GTK_MODULES="gail:atk-bridge",
               ASAN_OPTIONS="detect_leaks=0:abort_on_error=0")
    env.pop("ZELK_BOARDS", None)
    tree = dogtail_tree()

    ref_path = root + "/candump.log"
    ref = subprocess.Popen(["stdbuf", "-oL", "candump", "-L", "any"], stdout=open(ref_path, "w"))
    proc = subprocess.Popen([os.path.join(inst, "nimbrel"), session], env=env)
    out_path = root + "/witness/stream.frames"
    try:
        main_window = wait_for("main window", lambda: showing_window(tree, "frame"), 120)
        try:
            start_all = wait_for("button Start all", lambda: main_window.findChild(
                lambda n: n.roleName in ("push button", "toggle button") and
                n.name == "Start all", retry=False), 10)
        except RuntimeError:
            print("no Start all button: the added channel cannot be started")
            proc.kill()
            proc.wait()
            ref.kill()
            return 1
        start_all.doActionNamed("click")
        # Both channels take frames once a probe on each reached the witness.
        for i, iface in enumerate(ifaces):
            def probed(i=i, iface=iface):
                subprocess.run(["cansend", iface, PROBE + "#%02X" % i], check=True, timeout=30)
                return wait_for_quick(lambda: seen_probe(out_path, i))
            wait_for("channel %d running" % i, probed, 60)
        gens = [subprocess.Popen(["cangen", ifaces[0], "-g", "1", "-I", "i", "-m", "-n", str(COUNT)]),
                subprocess.Popen(["cangen", ifaces[1], "-g", "1", "-I", "i", "-n", str(COUNT)])]
        for g in gens:
            if g.wait(timeout=120) != 0:
                raise RuntimeError("cangen failed")
        subprocess.run(["cansend", ifaces[0], "7FF#01"], check=True, timeout=30)
        total = 2 * COUNT + 3
        want = wait_for("%d frames from candump" % total,
                        lambda: len(candump(ref_path, ifaces)) >= total and
                        candump(ref_path, ifaces), 30)
        wait_for("every frame in the witness", lambda: len(witness(out_path)) >= total)
        code = quit_with_ctrl_q(proc, main_window.name)
    except Exception as e:
        print("driver failed:", e)
        proc.kill()
        proc.wait()
        ref.kill()
        return 1
    ref.terminate()
    ref.wait()
    got = witness(out_path)
    errors = compare(want, got, ifaces, names)
    fd_n = sum(1 for w in want if "##" in w[2])
    print("program exit %d; candump saw %d frames (%d FD), the witness wrote %d"
          % (code, len(want), fd_n, len(got)))
    for e in errors:
        print(e)
    return 0 if code == 0 and fd_n > 0 and not errors else 1


def wait_for_quick(find):
    """find() within two seconds, else False (the caller sends again)."""
    try:
        return wait_for("probe", find, 2)
    except RuntimeError:
        return False


if __name__ == "__main__":
    sys.exit(main())
