#!/usr/bin/python3
"""python-can's socketcan interface as a peer of ZELK: prints "ready",
receives N frames and prints them candump-style, sends them back in the
same order, then sends nine frames of its own (lengths 0-8, standard,
extended and remote). Usage: pycan_peer.py IFACE N"""
import sys

import can


def text(m):
    ident = ('%08X' if m.is_extended_id else '%03X') % m.arbitration_id
    return ident + '#' + ('R' if m.is_remote_frame else m.data.hex().upper())


def main():
    iface, n = sys.argv[1], int(sys.argv[2])
    with can.Bus(interface='socketcan', channel=iface) as bus:
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
                                 is_remote_frame=m.is_remote_frame, dlc=m.dlc,
                                 data=None if m.is_remote_frame else m.data))
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
