#!/usr/bin/python3
"""Decodes random frames of every message of a DBC file with canmatrix, as
an independent reader for the signals tests.

Usage: oracle.py FILE.dbc FRAMES_PER_MESSAGE SEED [ENCODING]

One line per frame on stdout:
    <identifier as the file writes it> <data in hex> <name>=<raw>:<physical> ...
listing exactly the signals canmatrix decodes for the frame (the
multiplexors' selection). Integer raw values are decimal; float and
double signals give "f" as raw. Frames get the message's own length; a
multiplexor is set to a value that selects something most of the time,
so every branch is reached. Messages longer than 8 bytes are left out.
"""
import contextlib
import logging
import random
import sys
import warnings

warnings.simplefilter("ignore")
logging.disable(logging.CRITICAL)
import canmatrix.formats  # noqa: E402


def set_bits(data, sig, raw):
    """Writes raw into the signal's bits (the DBC layout, written here
    independently of both decoders)."""
    raw &= (1 << sig.size) - 1
    start = sig.get_startbit(bit_numbering=1)  # as the file writes it
    if sig.is_little_endian:
        for i in range(sig.size):
            b = start + i
            bit = (raw >> i) & 1
            data[b // 8] = (data[b // 8] & ~(1 << (b % 8))) | (bit << (b % 8))
    else:
        # start is the MSB in the sawtooth numbering; walk towards the LSB.
        msb = (start // 8) * 8 + 7 - start % 8
        for i in range(sig.size):
            seq = msb + i
            b = (seq // 8) * 8 + 7 - seq % 8
            bit = (raw >> (sig.size - 1 - i)) & 1
            data[b // 8] = (data[b // 8] & ~(1 << (b % 8))) | (bit << (b % 8))


def selected_values(frame, mux):
    """Values of mux that select at least one signal."""
    values = []
    for s in frame.signals:
        if s is mux:
            continue
        if frame.is_complex_multiplexed:
            if s.muxer_for_signal == mux.name:
                for lo, hi in s.mux_val_grp:
                    values.append(random.randint(int(lo), int(hi)))
        elif s.mux_val is not None:
            values.append(s.mux_val)
    return values


def random_frame(frame):
    data = bytearray(random.getrandbits(8) for _ in range(frame.size))
    muxes = [s for s in frame.signals if s.is_multiplexer]
    # Parents before children: a multiplexor without a parent first.
    muxes.sort(key=lambda s: 0 if s.muxer_for_signal is None and s.mux_val is None else 1)
    for mux in muxes:
        values = selected_values(frame, mux)
        if values and random.random() < 0.85:
            set_bits(data, mux, random.choice(values))
    return bytes(data)


def fmt(sig, decoded):
    if sig.is_float:
        phys = float(decoded.raw_value) * float(sig.factor) + float(sig.offset)
        return "%s=f:%r" % (sig.name, phys)
    raw = int(decoded.raw_value)
    return "%s=%d:%s" % (sig.name, raw, decoded.phys_value)


def main():
    path, count, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    encoding = sys.argv[4] if len(sys.argv) > 4 else "utf-8"
    random.seed(seed)
    # canmatrix prints lines it cannot read on stdout: keep them apart.
    with contextlib.redirect_stdout(sys.stderr):
        db = canmatrix.formats.loadp_flat(path, dbcImportEncoding=encoding,
                                          dbcCommentEncoding=encoding)
    out = sys.stdout
    for frame in db.frames:
        if frame.size > 8 or frame.size == 0 or not frame.signals:
            continue
        raw_id = frame.arbitration_id.id | (0x80000000 if frame.arbitration_id.extended else 0)
        by_name = {s.name: s for s in frame.signals}
        for _ in range(count):
            data = random_frame(frame)
            decoded = frame.decode(data)
            fields = " ".join(fmt(by_name[n], d) for n, d in sorted(decoded.items()))
            out.write("%d %s %s\n" % (raw_id, data.hex() or "-", fields))
    return 0


if __name__ == "__main__":
    sys.exit(main())
