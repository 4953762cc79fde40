#!/usr/bin/python3
"""The whole program's tester on a vcan interface against the kernel's
ISO-TP stack, driven from outside through accessibility (run in the CAN
guest, under scripts/with-xvfb.sh).

Usage: drive_tester_program.py STAGE_DIR IFACE CHANNEL

A session file on the command line opens CHANNEL (IFACE) with the
diagnostics page, the pair 123/321 and a request of 100 bytes. isotprecv
listens on 123 with block size 4 and 1 ms separation: the driver presses
Start and Send, and what isotprecv received must be the request, whole.
Then isotpsend answers on 321 with 20 bytes, which need the tester's flow
control, and the tester must show them decoded. Exit 0 when both hold, 1
otherwise, 77 without an accessibility bus."""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from driver_util import dogtail_tree, showing_window, wait_for  # noqa: E402

# RoutineControl startRoutine 1234 with 96 bytes of options, and its
# answer with 16 bytes of results.
REQUEST = '31 01 12 34 ' + ' '.join('%02X' % i for i in range(96))
ANSWER = '71 01 12 34 ' + ' '.join('%02X' % (0xA0 + i) for i in range(16))


def isotp_bound(iface):
    """isotprecv's socket is bound once its filter is in the CAN core's lists."""
    for name in ("all", "fil", "sff", "eff"):
        try:
            with open("/proc/net/can/rcvlist_" + name) as f:
                if any(iface in line and "isotp" in line for line in f):
                    return True
        except OSError:
            pass
    return False


def main():
    stage, iface, chan = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if not os.environ.get("DBUS_SESSION_BUS_ADDRESS") or not os.environ.get("DISPLAY"):
        print("no display or session bus: skipped", file=sys.stderr)
        return 77
    subprocess.run(["modprobe", "can-isotp"], check=False)
    root = tempfile.mkdtemp(prefix="nbtester-")
    for sub in ("home", "data", "config", "runtime"):
        os.makedirs(os.path.join(root, sub), mode=0o700)
    env = dict(os.environ, HOME=root + "/home", XDG_DATA_HOME=root + "/data",
               XDG_CONFIG_HOME=root + "/config", XDG_RUNTIME_DIR=root + "/runtime",
               GTK_MODULES="gail:atk-bridge", ASAN_OPTIONS="detect_leaks=0:abort_on_error=0", LANG="C.UTF-8")
    env.pop("ZELK_BOARDS", None)
    env.pop("LANGUAGE", None)
    plugin = os.path.join(stage, "diagnostics.so")
    session = os.path.join(root, "tester.nbs")
    with open(session, "w") as f:
        f.write("[Nimbrel]\nChan=%d\nBaud=500\nLoadPlugin=%s\n\n[Plugin]\nPath=%s\nPairs=123/321\n"
                "TesterPair=123/321\nTesterRequest=%s\n" % (chan, plugin, plugin, REQUEST))

    tree = dogtail_tree()

    received = os.path.join(root, "received")
    recv = subprocess.Popen(["isotprecv", "-s", "321", "-d", "123", "-b", "4", "-m", "1", iface],
                            stdout=open(received, "w"))
    proc = subprocess.Popen([os.path.join(stage, "nimbrel"), session], env=env)

    def control(node, role, name):
        return wait_for("%s %s" % (role, name), lambda: node.findChild(
            lambda n: n.roleName == role and n.name == name, retry=False))

    try:
        wait_for("isotprecv", lambda: isotp_bound(iface), 30)
        main_window = wait_for("main window", lambda: showing_window(tree, "frame"), 120)
        tab = control(main_window, "page tab", "Diagnostics")
        send = control(tab, "push button", "Send")
        control(main_window, "toggle button", "Start").doActionNamed("click")
        send.doActionNamed("click")
        recv.wait(timeout=60)
        got = open(received).read().split()
        if got != REQUEST.split():
            print("isotprecv received %d bytes, not the %d of the request" % (len(got), len(REQUEST.split())))
            return 1
        print("isotprecv received the request whole (%d bytes)" % len(got))
        # The ECU's answer: more than a single frame, so the tester's flow
        # control must come before isotpsend can finish.
        subprocess.run(["isotpsend", "-b", "-s", "321", "-d", "123", iface], input=ANSWER + "\n",
                       text=True, check=True, timeout=60)
        answer = wait_for("the answer", lambda: next(
            (n for n in tab.findChildren(lambda n: n.roleName == "label" and
                                         (n.name or "").startswith("Answer"))), None), 60)
        print("tester:", answer.name)
        if "RoutineControl startRoutine: routine 1234, A0 A1 A2" not in answer.name:
            return 1
        proc.terminate()
        proc.wait(timeout=60)
    except Exception as e:
        print("driver failed:", e)
        return 1
    finally:
        for p in (proc, recv):
            if p.poll() is None:
                p.kill()
                p.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
