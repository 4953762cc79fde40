#!/bin/sh
# Cycle times of the sender's periodic messages on SocketCAN, sent by the
# kernel's broadcast manager, beside the player's replay sent by a thread
# of ours: bench_cycle in the guest of scripts/can-vm.sh (Debian's kernel
# under QEMU), candump as the witness.
# With --bare, the kernel's jobs and a thread of a script side by side,
# without the program (bcm_guest.py): what the guest itself gives.
#   bench/sender/bench_bcm.sh [--bare] BUILD_DIR [SECONDS]   (a release build)
# Measured 2026-12-09 (Debian's 6.1 kernel under QEMU TCG, host load 14-16
# on 2 cores), interval median / 1% / 99% / worst in ms:
#   --bare 20 s   kernel 10 ms: 11.85 / 10.09 / 56.3 / 73.1   1 ms: 1.18 / 1.07 / 35.8 / 65.2
#                 thread 10 ms: 10.51 /  1.95 / 101  / 110    1 ms: 1.10 / 0.49 / 46.8 / 112
#   program 10 s  kernel 10 ms quiet 19.7 / 10.08 / 144 / 267, busy 13.2 / 10.06 / 138 / 557
#                 kernel  1 ms quiet 1.17 / 1.07 / 95.4 / 267, busy 1.13 / 1.06 / 82.8 / 547
#                 replay thread 10 ms quiet 0.11 / 0.03 / 78.8 / 241 (bursts after stalls)
# The guest's own stalls (the emulator not scheduled) set the worst case
# of both; the kernel's jobs never come early and never burst.
set -eu
bare=
if [ "${1:-}" = --bare ]; then bare=1; shift; fi
build="$(cd "$1" && pwd)"
secs="${2:-10}"
src="$(cd "$(dirname "$0")/../.." && pwd)"
if [ -n "$bare" ]; then
  exec "$src/scripts/can-vm.sh" --cache "$build/can-vm" --timeout 600 /bin/sh -c \
    "uptime; /usr/bin/python3 '$src/bench/sender/bcm_guest.py' \$ZKTEST_VCAN0 $secs; uptime"
fi
dbc="$build/bench_cycle_30000.dbc"
[ -f "$dbc" ] || /usr/bin/python3 "$src/tests/signals/gen_big_dbc.py" "$dbc" 1 30000
exec "$src/scripts/can-vm.sh" --cache "$build/can-vm" --timeout 900 /bin/sh -c \
  "uptime; BENCH_SOCKETCAN=\$ZKTEST_VCAN0 '$src/scripts/with-xvfb.sh' '$build/bench/sender/bench_cycle' \
   '$build/stage/zelkctl' '$dbc' $secs; uptime"
