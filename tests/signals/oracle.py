#!/usr/bin/python3
"""Decodes random frames of every message of DBC files with canmatrix, as
an independent reader for the signals tests.

Usage: oracle.py FRAMES_PER_MESSAGE SEED FILE.dbc...

For each file a line "FILE <path>", then one line per frame:
    <identifier, bit 31 for extended> <data in hex> <name>=<raw>:<physical> ...
listing exactly the signals canmatrix decodes for the frame (the
multiplexors' selection). Integer raw values are decimal; float and
double signals give "f" as raw. Frames get the message's own length (1 to
64 bytes); a multiplexor is set to a value that selects something most of
the time, so every branch is reached. A file canmatrix cannot read gives
"FILE <path>" and "ERROR <reason>".

The text is read as UTF-8 when it is, else as Windows-1252; UTF-16 with a
byte-order mark is read as such. Messages whose identifier is above 0x7FF
without bit 31 get bit 31 (canmatrix refuses them otherwise), in the
message and in every reference to it.
"""
import contextlib
import io
import logging
import random
import re
import sys
import warnings

warnings.simplefilter("ignore")
logging.disable(logging.CRITICAL)
import canmatrix.formats  # noqa: E402

REF = re.compile(r"\b(BO_|VAL_|SG_|SIG_VALTYPE_|SG_MUL_VAL_|BO_TX_BU_)( +)(\d+)\b")


def text_of(raw):
    if raw[:2] in (b"\xff\xfe", b"\xfe\xff"):
        return raw.decode("utf-16")
    try:
        return raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        return raw.decode("cp1252", errors="replace")


def with_bit31(text):
    ids = set(int(m.group(1)) for m in re.finditer(r"^BO_ (\d+)", text, re.M))
    fix = set(i for i in ids if 0x7FF < i < 0x80000000)
    if not fix:
        return text
    return REF.sub(lambda m: m.group(1) + m.group(2) + (
        str(int(m.group(3)) | 0x80000000) if int(m.group(3)) in fix else m.group(3)), text)


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
            try:
                set_bits(data, mux, random.choice(values))
            except IndexError:
                pass  # a multiplexor beyond the frame
    return bytes(data)


def fmt(sig, decoded):
    if sig.is_float:
        phys = float(decoded.raw_value) * float(sig.factor) + float(sig.offset)
        return "%s=f:%r" % (sig.name, phys)
    raw = int(decoded.raw_value)
    return "%s=%d:%s" % (sig.name, raw, decoded.phys_value)


def one_file(path, count, out):
    out.write("FILE %s\n" % path)
    with open(path, "rb") as f:
        text = with_bit31(text_of(f.read()))
    # canmatrix prints lines it cannot read on stdout: keep them apart.
    try:
        with contextlib.redirect_stdout(sys.stderr):
            db = canmatrix.formats.load_flat(io.BytesIO(text.encode("utf-8")), "dbc",
                                             dbcImportEncoding="utf-8",
                                             dbcCommentEncoding="utf-8")
    except Exception as e:  # noqa: BLE001 - any failure is the answer
        out.write("ERROR %s\n" % str(e).replace("\n", " "))
        return
    for frame in db.frames:
        if frame.size > 64 or frame.size == 0 or not frame.signals:
            continue
        raw_id = frame.arbitration_id.id | (0x80000000 if frame.arbitration_id.extended else 0)
        by_name = {s.name: s for s in frame.signals}
        for _ in range(count):
            data = random_frame(frame)
            try:
                decoded = frame.decode(data)
            except Exception:  # noqa: BLE001 - canmatrix cannot decode this message
                out.write("%d %s ?\n" % (raw_id, data.hex()))
                break
            fields = " ".join(fmt(by_name[n], d) for n, d in sorted(decoded.items()))
            out.write("%d %s %s\n" % (raw_id, data.hex() or "-", fields))


def main():
    count, seed = int(sys.argv[1]), int(sys.argv[2])
    random.seed(seed)
    for path in sys.argv[3:]:
        one_file(path, count, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
