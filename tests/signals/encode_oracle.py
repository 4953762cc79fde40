#!/usr/bin/python3
"""Packs random physical values into every message of DBC files with
canmatrix (Signal.phys2raw, then Frame.encode, which takes raw values), as
an independent packer for the signals tests.

Usage: encode_oracle.py FRAMES_PER_MESSAGE SEED FILE.dbc...

For each file a line "FILE <path>", then one line per frame:
    <identifier, bit 31 for extended> <data in hex> <name>=<physical> ...
Each value lies within the signal's range (min and max where the file
gives them, else what its bits hold) on a whole raw step, written as an
exact decimal, so truncation (canmatrix) and rounding (ours) agree. A
multiplexed message gets one of the values its multiplexor selects, and
values for the signals that value selects only. Messages canmatrix does
not encode (complex multiplexing, a scaled multiplexor) are left out.
"""
import contextlib
import decimal
import io
import logging
import random
import sys
import warnings

warnings.simplefilter("ignore")
logging.disable(logging.CRITICAL)
import canmatrix.formats  # noqa: E402

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from oracle import text_of, with_bit31  # noqa: E402

D = decimal.Decimal


def raw_limits(sig):
    if sig.is_float:
        return None
    if sig.is_signed:
        lo, hi = -(1 << (sig.size - 1)), (1 << (sig.size - 1)) - 1
    else:
        lo, hi = 0, (1 << sig.size) - 1
    if sig.min is not None and sig.max is not None and sig.min < sig.max and sig.factor != 0:
        a = (D(sig.min) - D(sig.offset)) / D(sig.factor)
        b = (D(sig.max) - D(sig.offset)) / D(sig.factor)
        a, b = min(a, b), max(a, b)
        lo = max(lo, int(a.to_integral_value(rounding=decimal.ROUND_CEILING)))
        hi = min(hi, int(b.to_integral_value(rounding=decimal.ROUND_FLOOR)))
    return (lo, hi) if lo <= hi else None


def value_of(sig):
    """A physical value on a raw step, or None when there is none."""
    if sig.is_float:
        raw = D(random.randint(-100000, 100000)) / 8
    else:
        lim = raw_limits(sig)
        if lim is None:
            return None
        raw = D(random.randint(*lim))
    phys = raw * D(sig.factor) + D(sig.offset)
    if sig.min is not None and sig.max is not None and sig.min < sig.max and \
            not (D(sig.min) <= phys <= D(sig.max)):
        return None
    return phys


def one_frame(frame):
    signals = frame.signals
    if frame.is_multiplexed:
        mux = next(s for s in signals if s.is_multiplexer)
        if D(mux.factor) != 1 or D(mux.offset) != 0:
            return None
        choices = sorted(set(int(s.mux_val) for s in signals if s.mux_val is not None))
        if not choices:
            return None
        sel = random.choice(choices)
        signals = [s for s in signals if s is mux or s.mux_val is None or s.mux_val == sel]
    values = {}
    for s in signals:
        v = value_of(s)
        if v is None:
            return None
        values[s.name] = v
    if frame.is_multiplexed:
        values[mux.name] = D(sel)
    return values


def one_file(path, count, out):
    out.write("FILE %s\n" % path)
    with open(path, "rb") as f:
        text = with_bit31(text_of(f.read()))
    with contextlib.redirect_stdout(sys.stderr):
        db = canmatrix.formats.load_flat(io.BytesIO(text.encode("utf-8")), "dbc",
                                         dbcImportEncoding="utf-8", dbcCommentEncoding="utf-8")
    for frame in db.frames:
        if frame.size > 64 or frame.size == 0 or not frame.signals or frame.is_complex_multiplexed:
            continue
        raw_id = frame.arbitration_id.id | (0x80000000 if frame.arbitration_id.extended else 0)
        for _ in range(count):
            values = one_frame(frame)
            if values is None:
                break
            try:
                by_name = {s.name: s for s in frame.signals}
                raw = {n: by_name[n].phys2raw(v) for n, v in values.items()}
                data = bytes(frame.encode(raw))
            except Exception:  # noqa: BLE001 - canmatrix does not encode this message
                break
            fields = " ".join("%s=%s" % (n, v) for n, v in sorted(values.items()))
            out.write("%d %s %s\n" % (raw_id, data.hex(), fields))


def main():
    count, seed = int(sys.argv[1]), int(sys.argv[2])
    random.seed(seed)
    for path in sys.argv[3:]:
        one_file(path, count, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
