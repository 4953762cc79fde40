#!/usr/bin/env bash
# Forwarding delay on a real CAN kernel, in one boot of the CAN guest
# (scripts/can-vm.sh): N frames 2 ms apart through the kernel's can-gw
# (gwk0 -> gwk1) and through our gateway (gwz0 -> gwz1, gateway_bench
# forward, reading every 1 ms), each frame timed on both interfaces by the
# kernel's receive time stamps of one socket.
#
#   bench/gateway/measure_vcan.sh BUILD_DIR [N]
#
# BUILD_DIR is a release build with gateway_bench built.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:?usage: $0 BUILD_DIR [N]}" && pwd)"
n="${2:-2000}"
exec "$here/../../scripts/can-vm.sh" --cache "$build/can-vm" --timeout 1200 \
  /bin/bash "$here/guest_vcan.sh" "$build/bench/gateway/gateway_bench" "$n"
