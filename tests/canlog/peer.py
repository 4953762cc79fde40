# python-can (Debian's python3-can) as the independent peer of the log
# library.
#   peer.py write DIR SEED COUNT   writes DIR/peer.log, .asc and .blf with
#                                   the same random traffic
#   peer.py write-fd DIR SEED COUNT the same, half of it CAN FD frames (all
#                                   lengths, BRS and ESI)
#   peer.py write-trc DIR SEED COUNT writes DIR/peer10.trc and peer21.trc
#                                   (TRC 1.0 and 2.1; python-can leaves out
#                                   error and remote frames)
#   peer.py read PATH              prints every message python-can reads:
#     "ERR <time us>" for an error frame (python-can keeps no channel for
#     those of a candump log), else
#     "<S|E> <id hex> <kind> <dlc> <data hex or -> <rx|tx> <chan> <time us>"
#     with kind D (data), R (remote) or, for a CAN FD frame, F followed by
#     b for BRS and e for ESI
# Times are printed as whole microseconds since 1970 (or since the start of
# the file); the channel is the number python-can gives, or the trailing
# digits of an interface name; of a TRC file, the bus less one (python-can's
# writer adds one).
import os
import random
import re
import sys

import can


FD_LENGTHS = list(range(9)) + [12, 16, 20, 24, 32, 48, 64]


def traffic(seed, count, fd=False):
    rnd = random.Random(seed)
    t = 1700000000.0 + rnd.random() * 1e7
    out = []
    for _ in range(count):
        t += rnd.choice([0.0, 0.000001, 0.000123, 0.001, 0.0105, 0.5, 2.25])
        t = round(t, 6)
        kind = rnd.random()
        # A channel as a number or as an interface name (python-can writes
        # both, a name's trailing digits being the number), one name for
        # each number: can0 and vcan0 in one file are two interfaces.
        chan = rnd.choice([0, 0, 0, 1, 2])
        form = rnd.choice(range(4))
        chan = "vcan1" if chan == 1 else chan if form < 2 else "can%d" % chan
        is_rx = rnd.random() < 0.7
        if kind < 0.03:
            out.append(can.Message(timestamp=t, is_error_frame=True, channel=chan))
            continue
        ext = rnd.random() < 0.4
        ident = rnd.randrange(0x20000000 if ext else 0x800)
        if fd and rnd.random() < 0.5:
            data = bytes(rnd.randrange(256) for _ in range(rnd.choice(FD_LENGTHS)))
            out.append(can.Message(timestamp=t, arbitration_id=ident, is_extended_id=ext,
                                   is_fd=True, bitrate_switch=rnd.random() < 0.5,
                                   error_state_indicator=rnd.random() < 0.2,
                                   data=data, is_rx=is_rx, channel=chan))
            continue
        if kind < 0.1:
            out.append(can.Message(timestamp=t, arbitration_id=ident, is_extended_id=ext,
                                   is_remote_frame=True, dlc=rnd.randrange(9),
                                   is_rx=is_rx, channel=chan))
            continue
        data = bytes(rnd.randrange(256) for _ in range(rnd.randrange(9)))
        out.append(can.Message(timestamp=t, arbitration_id=ident, is_extended_id=ext,
                               data=data, is_rx=is_rx, channel=chan))
    return out


def write(folder, seed, count, fd=False):
    msgs = traffic(seed, count, fd)
    for ext in ("log", "asc", "blf"):
        with can.Logger(os.path.join(folder, "peer." + ext)) as w:
            for m in msgs:
                w.on_message_received(m)


def write_trc(folder, seed, count):
    from can.io.trc import TRCFileVersion
    msgs = traffic(seed, count)
    for name, version in (("peer10.trc", TRCFileVersion.V1_0), ("peer21.trc", TRCFileVersion.V2_1)):
        with open(os.path.join(folder, name), "w", newline="") as f:
            w = can.TRCWriter(f)
            w.file_version = version
            for m in msgs:
                w.on_message_received(m)
            w.stop()


def chan_of(c):
    if isinstance(c, int):
        return c
    m = re.search(r"(\d+)$", str(c or ""))
    return int(m.group(1)) if m else 0


def read(path):
    if path.lower().endswith(".asc"):
        reader = can.ASCReader(path, relative_timestamp=False)
    else:
        reader = can.LogReader(path)
    out = sys.stdout
    trc = path.lower().endswith(".trc")
    for m in reader:
        us = int(round(m.timestamp * 1e6))
        if m.is_error_frame:
            out.write("ERR %d\n" % us)
            continue
        if m.is_fd:
            # (python-can reads an ASC CAN FD frame of 0 bytes as remote.)
            kind = "F" + ("b" if m.bitrate_switch else "") + ("e" if m.error_state_indicator else "")
            data = m.data.hex().upper() or "-"
        else:
            kind = "R" if m.is_remote_frame else "D"
            data = m.data.hex().upper() if len(m.data) and not m.is_remote_frame else "-"
        out.write("%s %X %s %d %s %s %d %d\n" % (
            "E" if m.is_extended_id else "S", m.arbitration_id, kind, m.dlc, data,
            "rx" if m.is_rx else "tx", chan_of(m.channel) - trc, us))


if __name__ == "__main__":
    if sys.argv[1] in ("write", "write-fd"):
        write(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[1] == "write-fd")
    elif sys.argv[1] == "write-trc":
        write_trc(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    else:
        read(sys.argv[2])
