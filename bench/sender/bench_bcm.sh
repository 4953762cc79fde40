#!/bin/sh
# Cycle times of the sender's periodic messages on SocketCAN, sent by the
# kernel's broadcast manager, beside the player's replay sent by a thread
# of ours: bench_cycle in the guest of scripts/can-vm.sh (Debian's kernel
# under QEMU), candump as the witness.
# With --bare, the kernel's jobs and a thread of a script side by side,
# without the program (bcm_guest.py): what the guest itself gives.
#   bench/sender/bench_bcm.sh [--bare] BUILD_DIR [SECONDS]   (a release build)
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
