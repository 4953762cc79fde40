#!/usr/bin/env bash
# Receive path on a real CAN kernel: zelkctl dump and candump read the same
# cangen -g 0 stream on vcan0 at the same time, in one boot of the CAN
# guest (scripts/can-vm.sh). Per run: the stream's frame rate, each
# reader's frames, lost frames and CPU time per frame, and the ratio.
# MODE classic (default): 8-byte classic frames; fd: 64-byte CAN FD frames
# with BRS (cangen -f -b) on vcan0 with MTU 72.
#
#   bench/socketcan_rx/measure.sh BUILD_DIR [FRAMES] [RUNS] [classic|fd]
#
# BUILD_DIR is a release build with zelkctl built, for example:
#   cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release && cmake --build build-rel --target zelkctl
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:?usage: $0 BUILD_DIR [FRAMES] [RUNS]}" && pwd)"
frames="${2:-100000}"
runs="${3:-5}"
mode="${4:-classic}"
case "$mode" in classic|fd) ;; *) echo "mode: classic or fd" >&2; exit 2 ;; esac
exec "$here/../../scripts/can-vm.sh" --cache "$build/can-vm" --timeout 1200 \
  /bin/bash "$here/guest_bench.sh" "$build/stage/zelkctl" "$frames" "$runs" "$mode"
