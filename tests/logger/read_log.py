# Reads a log file with python-can and prints one line per message:
#   <S|E> <id hex> <kind> <dlc> <data hex or -> <rx|tx> <channel> <timestamp>
# (kind D data, R remote, or for a CAN FD frame F with b for BRS, e for ESI)
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
    if m.is_fd:
        kind = "F" + ("b" if m.bitrate_switch else "") + ("e" if m.error_state_indicator else "")
    else:
        kind = "R" if m.is_remote_frame else "D"
    print("%s %X %s %d %s %s %s %.6f" % (
        "E" if m.is_extended_id else "S", m.arbitration_id, kind, m.dlc,
        m.data.hex().upper() if len(m.data) else "-",
        "rx" if m.is_rx else "tx", m.channel, m.timestamp))
