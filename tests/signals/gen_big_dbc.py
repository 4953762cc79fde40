#!/usr/bin/python3
"""Writes a real-world-sized DBC file for the signals tests and benchmarks.

Usage: gen_big_dbc.py OUT.dbc [SEED] [MESSAGES] [SIGNALS]

MESSAGES (default 500) messages (standard, extended and J1939-style
identifiers, classic and CAN FD up to 64 bytes) with about ten signals
each, or SIGNALS signals in all: both byte orders, signed and unsigned, 1
to 64 bits, fractional and negative factors, offsets, floats and doubles,
value tables, comments, cycle times and start values, simple and extended
(nested) multiplexing. The same seed gives the same file.
"""
import random
import sys

UNITS = ["", "rpm", "km/h", "\u00b0C", "%", "V", "A", "bar", "Nm", "m/s\u00b2", "deg"]
FACTORS = ["1", "0.1", "0.01", "0.5", "0.125", "-1", "-0.25", "2", "10", "1E-3", "0.0625"]


def fits(start, size, little, dlc):
    if little:
        return start + size <= dlc * 8
    msb = (start // 8) * 8 + 7 - start % 8
    return msb + size <= dlc * 8


def place(size, little, dlc):
    """A start bit (as the file writes it) for a signal that fits."""
    while True:
        if little:
            start = random.randint(0, dlc * 8 - size)
        else:
            seq = random.randint(0, dlc * 8 - size)
            start = (seq // 8) * 8 + 7 - seq % 8
        if fits(start, size, little, dlc):
            return start


def signal_line(name, mux, start, size, little, signed, factor, offset, unit):
    return ' SG_ %s %s: %d|%d@%d%s (%s,%s) [0|0] "%s" Vector__XXX\n' % (
        name, (mux + " ") if mux else "", start, size, 1 if little else 0,
        "-" if signed else "+", factor, offset, unit)


def main():
    out = sys.argv[1]
    random.seed(int(sys.argv[2]) if len(sys.argv) > 2 else 1)
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 500
    total = int(sys.argv[4]) if len(sys.argv) > 4 else None
    lines = ['VERSION "generated"\n\n', "NS_ :\n\tNS_DESC_\n\tCM_\n\tBA_DEF_\n\tBA_\n\tVAL_\n"
             "\tSIG_VALTYPE_\n\tSG_MUL_VAL_\n\n", "BS_:\n\n", "BU_: Gateway Engine Brakes Body\n\n"]
    tail = []
    used = set()
    nsig = 0
    fd = []
    m = -1
    while len(used) < count:
        m += 1
        kind = random.random()
        if kind < 0.5:
            ident = random.randint(0, 0x7FF)
            raw = ident
        elif kind < 0.8:
            # J1939: priority, PGN, source address
            ident = (random.choice([3, 6, 7]) << 26) | (random.randint(0xF000, 0xFFFF) << 8) | random.randint(0, 0xFE)
            raw = ident | 0x80000000
        else:
            ident = random.randint(0x800, 0x1FFFFFFF)
            raw = ident | 0x80000000
        if raw in used:
            continue
        used.add(raw)
        dlc = random.choice([8, 8, 8, 8, 6, 4, 2, 1])
        if random.random() < 0.1:
            dlc = random.choice([12, 16, 20, 24, 32, 48, 64, 64])
            fd.append(raw)
        # Signals of a plain message: about ten, or what is left of SIGNALS.
        left = count - len(used) + 1
        share = max(1, round((total - nsig) / left)) if total else None
        name = "Msg%03d" % m
        lines.append("BO_ %d %s: %d %s\n" % (raw, name, dlc, random.choice(["Gateway", "Engine", "Brakes", "Body"])))
        style = random.random() if left > 1 or not total else 1.0
        sigs = []
        if style < 0.12 and dlc >= 2:
            # simple multiplexing: an 8-bit multiplexor in the first byte
            lines.append(signal_line("Mux", "M", 0, 8, True, False, "1", "0", ""))
            nsig += 1
            for k in range(random.randint(4, 12)):
                size = random.randint(1, min(16, dlc * 8 - 8))
                little = random.random() < 0.5
                start = place(size, little, dlc)
                lines.append(signal_line("S%d" % k, "m%d" % random.randint(0, 5), start, size, little,
                                         random.random() < 0.3, random.choice(FACTORS), "0", ""))
                nsig += 1
        elif style < 0.18 and dlc >= 8:
            # extended multiplexing: Mode selects a sub-multiplexor per range
            lines.append(signal_line("Mode", "M", 0, 4, True, False, "1", "0", ""))
            lines.append(signal_line("SubA", "m0M", 8, 8, True, False, "1", "0", ""))
            lines.append(signal_line("SubB", "m1M", 15, 8, False, False, "1", "0", ""))
            nsig += 3
            tail.append("SG_MUL_VAL_ %d SubA Mode 0-0;\n" % raw)
            tail.append("SG_MUL_VAL_ %d SubB Mode 1-3, 7-7;\n" % raw)
            for k in range(random.randint(4, 10)):
                parent = random.choice(["SubA", "SubB"])
                size = random.randint(1, 24)
                little = random.random() < 0.5
                start = place(size, little, dlc)
                lines.append(signal_line("X%d" % k, "m0", start, size, little,
                                         random.random() < 0.4, random.choice(FACTORS), "0", ""))
                lo = random.randint(0, 200)
                tail.append("SG_MUL_VAL_ %d X%d %s %d-%d, %d-%d;\n" % (
                    raw, k, parent, lo, lo + random.randint(0, 20), 250, 255))
                nsig += 1
        else:
            n = random.randint(3, 20) if share is None else (share if left == 1 else
                                                              random.randint(max(1, share - 5), share + 5))
            for k in range(n):
                r = random.random()
                if r < 0.05 and dlc >= 8:
                    size, little = 64, random.random() < 0.5
                    start = place(size, little, dlc)
                    sigs.append(("D%d" % k, 2))
                elif r < 0.1 and dlc >= 4:
                    size, little = 32, random.random() < 0.5
                    start = place(size, little, dlc)
                    sigs.append(("F%d" % k, 1))
                else:
                    size = random.choice([1, 1, 2, 4, 8, 8, 10, 12, 16, 16, 20, 24, 32, 57, 64])
                    size = min(size, dlc * 8)
                    little = random.random() < 0.6
                    start = place(size, little, dlc)
                    sigs.append(("Sig%d" % k, 0))
                sname, vt = sigs[-1]
                factor = "1" if vt else random.choice(FACTORS)
                offset = "0" if vt else random.choice(["0", "0", "-40", "100", "0.5", "-1000"])
                lines.append(signal_line(sname, "", start, size, little, vt == 0 and random.random() < 0.35,
                                         factor, offset, random.choice(UNITS)))
                if vt:
                    tail.append("SIG_VALTYPE_ %d %s : %d;\n" % (raw, sname, vt))
                elif size <= 4 and random.random() < 0.5:
                    tail.append("VAL_ %d %s 0 \"Off\" 1 \"On\" 2 \"Error\" 3 \"Not available\" ;\n" % (raw, sname))
                if random.random() < 0.1:
                    tail.append('CM_ SG_ %d %s "Signal %s of %s, \\"quoted\\" text";\n' % (raw, sname, sname, name))
                if random.random() < 0.1:
                    tail.append('BA_ "GenSigStartValue" SG_ %d %s %d;\n' % (raw, sname, random.randint(0, 10)))
                nsig += 1
        lines.append("\n")
        if random.random() < 0.7:
            tail.append('BA_ "GenMsgCycleTime" BO_ %d %d;\n' % (raw, random.choice([10, 20, 50, 100, 1000])))
        if random.random() < 0.2:
            tail.append('CM_ BO_ %d "Message %s\nspans two lines";\n' % (raw, name))
    head = ['BA_DEF_ BO_ "GenMsgCycleTime" INT 0 65535;\n', 'BA_DEF_ SG_ "GenSigStartValue" INT 0 100000;\n',
            'BA_DEF_ BO_ "VFrameFormat" ENUM "StandardCAN","ExtendedCAN","reserved","J1939PG",'
            + '"reserved",' * 10 + '"StandardCAN_FD","ExtendedCAN_FD";\n',
            'BA_DEF_ BO_ "CANFD_BRS" ENUM "0","1";\n',
            'BA_DEF_DEF_ "GenMsgCycleTime" 0;\n', 'BA_DEF_DEF_ "GenSigStartValue" 0;\n',
            'BA_DEF_DEF_ "VFrameFormat" "StandardCAN";\n', 'BA_DEF_DEF_ "CANFD_BRS" "1";\n']
    for raw in fd:
        tail.append('BA_ "VFrameFormat" BO_ %d %d;\n' % (raw, 15 if raw & 0x80000000 else 14))
    comments = [t for t in tail if t.startswith("CM_")]
    rest = [t for t in tail if not t.startswith("CM_")]
    with open(out, "w", encoding="utf-8") as f:
        f.writelines(lines)
        f.writelines(comments)
        f.writelines(head)
        f.writelines(rest)
    sys.stderr.write("%d messages, %d signals\n" % (len(used), nsig))


if __name__ == "__main__":
    main()
