#!/bin/sh
# The SocketCAN tests that need a CAN kernel, in one run (one guest boot):
# the library's tests, the diagnostics library against the kernel's ISO-TP
# and J1939 stacks, then the whole program under a display of its own, on
# classic CAN and on CAN FD.
# Usage: guest_tests.sh BUILD_STAGE_DIR WITNESS_PLUGIN_DIR
stage="$1"
witnesses="$2"
here="$(dirname "$0")"
src="$here/../../.."
rc=0
"$stage/zelk_socketcan_vm_test" || rc=1
"$stage/diag_vm_test" || rc=1
"$src/scripts/with-xvfb.sh" /usr/bin/python3 "$here/drive_vcan_program.py" "$stage" "${ZKTEST_VCAN0:-vcan0}" 2
prc=$?
if [ "$prc" -ne 0 ]; then echo "whole-program test: exit $prc"; rc=1; else echo "whole-program test: passed"; fi
"$src/scripts/with-xvfb.sh" /usr/bin/python3 "$here/drive_vcan_fd.py" "$stage" "$witnesses" "${ZKTEST_VCAN1:-vcan1}" 3
prc=$?
if [ "$prc" -ne 0 ]; then echo "whole-program CAN FD test: exit $prc"; rc=1; else echo "whole-program CAN FD test: passed"; fi
"$src/scripts/with-xvfb.sh" /usr/bin/python3 "$src/tests/diagnostics/drive_tester_program.py" "$stage" \
  "${ZKTEST_VCAN1:-vcan1}" 3
prc=$?
if [ "$prc" -ne 0 ]; then echo "whole-program tester test: exit $prc"; rc=1; else echo "whole-program tester test: passed"; fi
# Two channels in one window (vcan0 CAN FD as the main channel, vcan1
# classic added by the session), compared with candump -L any.
"$src/scripts/with-xvfb.sh" /usr/bin/python3 "$here/drive_two_channels.py" "$stage" "$witnesses" \
  "${ZKTEST_VCAN0:-vcan0}" 2 "${ZKTEST_VCAN1:-vcan1}" 3
prc=$?
if [ "$prc" -ne 0 ]; then echo "whole-program two-channel test: exit $prc"; rc=1
else echo "whole-program two-channel test: passed"; fi
# The gateway's rules against the kernel's can-gw (tests/gateway).
"$stage/gateway_vm_test" || rc=1
# The sender's periodic messages sent by the kernel's broadcast manager.
"$src/scripts/with-xvfb.sh" "$stage/sender_vm_test"
prc=$?
if [ "$prc" -ne 0 ]; then echo "sender over SocketCAN test: exit $prc"; rc=1; else echo "sender over SocketCAN test: passed"; fi
exit $rc
