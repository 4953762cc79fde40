#!/usr/bin/env bash
# Runs inside the CAN guest: see measure.sh.
set -u
zelkctl="$1" frames="$2" runs="$3" mode="${4:-classic}"
iface="${ZKTEST_VCAN0:-vcan0}"
gen=(-I 123 -L 8 -D i)
if [ "$mode" = fd ]; then
  ip link set "$iface" down && ip link set "$iface" mtu 72 && ip link set "$iface" up
  gen=(-f -b -I 123 -L 64 -D i)
fi
export ZELK_BOARDS="socketcan:$iface" XDG_RUNTIME_DIR=/tmp
hz=$(getconf CLK_TCK)
# user + system CPU seconds of a running process, from /proc.
cpu() { awk -v hz="$hz" '{printf "%.3f", ($14 + $15) / hz}' "/proc/$1/stat"; }
# Received frames in a candump-style file (the marker frames left out).
count() { grep -c '#' "$1" | awk '{print $1}'; }
markers() { grep -c '7FF#EE' "$1" || true; }

echo "mode $mode"
printf '%-4s %9s %9s %6s %10s %9s %6s %10s %7s\n' run "frames/s" zelk lost "zelk us/f" candump lost "cand us/f" ratio
for r in $(seq 1 "$runs"); do
  out=$(mktemp -d)
  "$zelkctl" dump 0 --rate 1000 > "$out/zelk" 2> "$out/zelk.err" &
  zpid=$!
  candump -L "$iface" > "$out/candump" &
  cpid=$!
  # Both listening: marker frames until each has one (file sizes grow
  # only when their buffers flush, so a few hundred markers at most).
  for _ in $(seq 1 400); do
    cansend "$iface" 7FF#EE
    [ -s "$out/zelk" ] && [ "$(wc -c < "$out/candump")" -gt 0 ] && break
    sleep 0.01
  done
  z0=$(cpu $zpid); c0=$(cpu $cpid)
  t0=$(date +%s.%N)
  cangen "$iface" -g 0 -n "$frames" "${gen[@]}"
  t1=$(date +%s.%N)
  sleep 1  # let both drain what the kernel still holds
  z1=$(cpu $zpid); c1=$(cpu $cpid)
  kill -INT $zpid $cpid
  wait $zpid $cpid 2>/dev/null
  zn=$(( $(count "$out/zelk") - $(markers "$out/zelk") ))
  cn=$(( $(count "$out/candump") - $(markers "$out/candump") ))
  awk -v n="$frames" -v t0="$t0" -v t1="$t1" -v zn="$zn" -v cn="$cn" \
      -v z0="$z0" -v z1="$z1" -v c0="$c0" -v c1="$c1" -v r="$r" 'BEGIN {
    zc = z1 - z0; cc = c1 - c0
    zu = zn ? zc * 1e6 / zn : 0; cu = cn ? cc * 1e6 / cn : 0
    printf "%-4s %9.0f %9d %6d %10.2f %9d %6d %10.2f %7.2f\n", r, n / (t1 - t0), zn, n - zn, zu, cn, n - cn, cu, cu ? zu / cu : 0 }'
  grep -h "lost" "$out/zelk.err" | head -3
  rm -rf "$out"
done
