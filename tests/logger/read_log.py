# Reads a log file with python-can and prints one line per message:
#   <S|E> <id hex> <D|R> <dlc> <data hex or -> <rx|tx> <channel> <timestamp>
# or "ERR <timestamp>" for an error frame. Usage: read_log.py log|asc|blf PATH
import sys

import can

kind, path = sys.argv[1], sys.argv[2]
if kind == "log":
    reader = can.CanutilsLogReader(path)
elif kind == "blf":
    reader = can.BLFReader(path)
else:
    reader = can.ASCReader(path, relative_timestamp=False)
for m in reader:
    if m.is_error_frame:
        print("ERR %.6f" % m.timestamp)
        continue
    print("%s %X %s %d %s %s %s %.6f" % (
        "E" if m.is_extended_id else "S", m.arbitration_id,
        "R" if m.is_remote_frame else "D", m.dlc,
        m.data.hex().upper() if len(m.data) else "-",
        "rx" if m.is_rx else "tx", m.channel, m.timestamp))
