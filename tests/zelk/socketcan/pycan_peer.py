#!/usr/bin/python3
"""python-can's socketcan interface as a peer of ZELK: prints "ready",
receives N frames and prints them candump-style, sends them back in the
same order, then sends nine frames of its own (lengths 0-8, standard,
extended and remote). With "fd", on a CAN FD bus (fd=True): its own are
then sixteen FD frames, every FD length, flags BRS and ESI varying.
Usage: pycan_peer.py IFACE N [fd]"""
import sys

import can


def text(m):
    ident = ('%08X' if m.is_extended_id else '%03X') % m.arbitration_id
    if m.is_fd:
        flags = 4 | (1 if m.bitrate_switch else 0) | (2 if m.error_state_indicator else 0)
        return ident + '##%X' % flags + m.data.hex().upper()
    return ident + '#' + ('R' if m.is_remote_frame else m.data.hex().upper())


def own_fd(bus):
    lens = [0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64]
    for i, n in enumerate(lens):
        last = i == len(lens) - 1
        ident = 0x1FFFFFFF if last else i
        data = b'\xff' * n if last else bytes((i + k) & 0xFF for k in range(n))
        bus.send(can.Message(arbitration_id=ident, is_extended_id=last or i % 3 == 2, is_fd=True,
                             bitrate_switch=last or i % 2 == 0, error_state_indicator=last or i % 5 == 4,
                             data=data))


def main():
    iface, n = sys.argv[1], int(sys.argv[2])
    fd = len(sys.argv) > 3 and sys.argv[3] == 'fd'
    with can.Bus(interface='socketcan', channel=iface, fd=fd) as bus:
        print('ready', flush=True)
        got = []
        while len(got) < n:
            m = bus.recv(timeout=30)
            if m is None:
                print('timeout after %d frames' % len(got))
                return 1
            got.append(m)
            print(text(m), flush=True)
        for m in got:
            bus.send(can.Message(arbitration_id=m.arbitration_id, is_extended_id=m.is_extended_id,
                                 is_remote_frame=m.is_remote_frame, dlc=m.dlc, is_fd=m.is_fd,
                                 bitrate_switch=m.bitrate_switch,
                                 error_state_indicator=m.error_state_indicator,
                                 data=None if m.is_remote_frame else m.data))
        if fd:
            own_fd(bus)
            return 0
        own = [(0x000, False, False, b''), (0x7FF, False, False, bytes(range(8))),
               (0x123, False, True, 3), (0x0, True, False, b'\x01'),
               (0x1ABCDE00, True, False, b'\xaa' * 4), (0x555, False, False, b'\x55' * 5),
               (0x18DAF110, True, False, bytes(range(8))), (0x321, False, False, b'\x01\x02'),
               (0x1FFFFFFF, True, True, 0)]
        for ident, ext, rtr, data in own:
            if rtr:
                msg = can.Message(arbitration_id=ident, is_extended_id=ext, is_remote_frame=True, dlc=data)
            else:
                msg = can.Message(arbitration_id=ident, is_extended_id=ext, data=data)
            bus.send(msg)
    return 0


if __name__ == '__main__':
    sys.exit(main())
