#!/usr/bin/env bash
# Runs inside the CAN guest: see measure_vcan.sh.
set -u
bench="$1" n="$2"
for i in gwk0 gwk1 gwz0 gwz1; do ip link add dev $i type vcan && ip link set up $i; done
cangw -A -s gwk0 -d gwk1 -e
echo "kernel can-gw:"
"$bench" delay gwk0 gwk1 "$n"
secs=$(( n * 3 / 1000 + 5 ))
"$bench" forward gwz0 gwz1 "$secs" > /tmp/fwd.out 2>&1 &
fpid=$!
for _ in $(seq 1 500); do grep -q ready /tmp/fwd.out && break; sleep 0.01; done
echo "our gateway (adapter library, read every 1 ms):"
"$bench" delay gwz0 gwz1 "$n"
wait $fpid
cat /tmp/fwd.out
