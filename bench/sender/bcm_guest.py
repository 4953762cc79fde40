#!/usr/bin/python3
"""Cycle times on SocketCAN without the program, side by side in one run:
a 10 ms and a 1 ms job of the kernel's broadcast manager (123, 124) and
the same periods sent by a thread of this script sleeping to absolute
due times (223, 224); `candump -L` is the witness, its times the kernel's.
Run in the guest of scripts/can-vm.sh (bench/sender/bench_bcm.sh --bare).
usage: bcm_guest.py IFACE [SECONDS]"""
import os
import socket
import struct
import subprocess
import sys
import threading
import time

iface = sys.argv[1]
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
HEAD = "@IIIllllII0q"  # struct bcm_msg_head
TX_SETUP, SETTIMER, STARTTIMER, TX_ANNOUNCE = 1, 1, 2, 8


def frame(can_id):
    return struct.pack("@IB3x8s", can_id, 8, bytes(range(1, 9)))


dump = subprocess.Popen(["stdbuf", "-oL", "candump", "-L", iface], stdout=subprocess.PIPE, text=True)
time.sleep(1.0)  # candump listening
bcm = socket.socket(socket.AF_CAN, socket.SOCK_DGRAM, socket.CAN_BCM)
bcm.connect((iface,))
for can_id, us in ((0x123, 10000), (0x124, 1000)):
    bcm.send(struct.pack(HEAD, TX_SETUP, SETTIMER | STARTTIMER | TX_ANNOUNCE, 0, 0, 0, 0, us, can_id, 1)
             + frame(can_id))

stop = time.monotonic() + seconds
raw = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
raw.bind((iface,))


def thread(can_id, period):
    due = time.monotonic()
    while due < stop:
        raw.send(frame(can_id))
        due += period
        now = time.monotonic()
        if due <= now:  # slots missed are skipped, as the sender does
            due += ((now - due) // period + 1) * period
        time.clock_nanosleep(time.CLOCK_MONOTONIC, time.TIMER_ABSTIME, due) \
            if hasattr(time, "clock_nanosleep") else time.sleep(max(0.0, due - time.monotonic()))


threads = [threading.Thread(target=thread, args=a) for a in ((0x223, 0.010), (0x224, 0.001))]
for t in threads:
    t.start()
for t in threads:
    t.join()
bcm.close()
time.sleep(0.5)
dump.send_signal(2)
out, _ = dump.communicate()

at = {}
for line in out.splitlines():
    parts = line.split()
    if len(parts) < 3 or "#" not in parts[2]:
        continue
    at.setdefault(int(parts[2].split("#")[0], 16), []).append(float(parts[0].strip("()")) * 1e3)
load = os.getloadavg()[0]
for can_id in sorted(at):
    d = sorted(b - a for a, b in zip(at[can_id], at[can_id][1:]))
    if not d:
        continue
    pct = lambda p: d[min(len(d) - 1, int(p / 100 * (len(d) - 1) + 0.5))]
    who = "kernel" if can_id < 0x200 else "thread"
    print(f"{who} {can_id:03X}: {len(at[can_id]):6d} frames, interval median {pct(50):.3f} ms, "
          f"1% {pct(1):.3f}, 99% {pct(99):.3f}, least {d[0]:.3f}, worst {d[-1]:.3f} ms; load {load:.1f}")
