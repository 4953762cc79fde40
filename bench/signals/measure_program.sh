#!/usr/bin/env bash
# Measures the whole program with the signals plug-in plotting 16 signals
# of a saturated 1 Mbit/s simulated bus (8-byte frames of identifier 555,
# described by tests/signals/dbc/sim.dbc). nimbrel runs under a private
# Xvfb with a session that loads the plug-in, the controller is started
# with the Start button, the Signals page is shown, and for SECONDS the
# program's CPU share is read from /proc/PID/stat while its resident memory
# is sampled every STEP seconds. After Ctrl+Q the plug-ins' own figures are
# printed: SIGNALS_STATS (frames decoded, plotted points, longest request,
# refresh, redraw and refresh gap: the refresh is due every 100 ms, so a
# longer gap is a stall of the main loop) and BUSVIEW_STATS (rx_load 1.0:
# no frame lost).
#
# usage: bench/signals/measure_program.sh [BUILD_DIR] [SECONDS] [STEP] [CAP]
#        defaults: build, 20, 10, 10000000 (points kept per plotted signal)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
secs=${2:-20}
step=${3:-10}
cap=${4:-10000000}
if [ -z "${DISPLAY:-}" ]; then
  exec "$root/scripts/with-xvfb.sh" "$0" "$build" "$secs" "$step" "$cap"
fi
build=$(cd "$build" && pwd)
exe=$build/stage/nimbrel
[ -x "$exe" ] && [ -f "$build/stage/signals.so" ] ||
  { echo "no program at $exe (build nimbrel, busview and signals)" >&2; exit 2; }

tmp=$(mktemp -d)
export HOME=$tmp XDG_CONFIG_HOME=$tmp/config XDG_DATA_HOME=$tmp/data XDG_RUNTIME_DIR=$tmp/run ZELK_LOCK_DIR=$tmp/run/zelk
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export ZELK_BOARDS="sim:rate=1000,traffic=full,len=8"
export SIGNALS_STATS=$tmp/signals.stats BUSVIEW_STATS=$tmp/busview.stats
unset GTK_MODULES
{
  printf '[Nimbrel]\nChan=0\nBaud=1000\nHsize=1100\nVsize=760\nLoadPlugin=%s\n\n' "$build/stage/signals.so"
  printf '[Plugin]\nPath=%s\nDatabase1=%s\n' "$build/stage/signals.so" "$root/tests/signals/dbc/sim.dbc"
  i=1
  for s in Counter CounterLow CounterHigh Byte2 Byte3 Byte4 Byte5 Byte6 Byte7 Word23 Word45 \
           Voltage Phase Parity Speed Temperature; do
    printf 'Plot%d=std 555 %s\n' "$i" "$s"
    i=$((i + 1))
  done
  printf 'PlotMode=lanes\nSpan=10\nPointCap=%s\n' "$cap"
} > "$tmp/signals.nbs"
"$exe" "$tmp/signals.nbs" &
pid=$!
cleanup() { kill "$pid" 2>/dev/null || true; rm -rf "$tmp"; }
trap cleanup EXIT

win=
for _ in $(seq 1 200); do
  win=$(xdotool search --onlyvisible --pid "$pid" --name "^ch [0-9]+ - " 2>/dev/null | head -n1 || true)
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "the main window did not appear" >&2; exit 1; }
sleep 1
# Keys go to the window under the pointer (there is no window manager).
# The Start button holds the focus since the window opened.
xdotool mousemove --window "$win" 600 300
xdotool key space
sleep 1
# The Signals page: the second tab, right of "Bus view".
xdotool mousemove --window "$win" 358 41 click 1
xdotool mousemove --window "$win" 600 300
sleep 2

hz=$(getconf CLK_TCK)
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
rss() { awk '/VmRSS/ {print $2}' "/proc/$pid/status"; }
t0=$(ticks); s0=$(date +%s.%N)
echo "elapsed_s rss_kib"
elapsed=0
while [ "$elapsed" -lt "$secs" ]; do
  n=$step
  [ $((elapsed + n)) -gt "$secs" ] && n=$((secs - elapsed))
  sleep "$n"
  elapsed=$((elapsed + n))
  echo "$elapsed $(rss)"
done
t1=$(ticks); s1=$(date +%s.%N)
if [ -n "${SIGNALS_SHOT:-}" ]; then
  timeout 10 import -window "$win" "$SIGNALS_SHOT" || true
fi
xdotool mousemove --window "$win" 600 300
xdotool key ctrl+q
for _ in $(seq 1 300); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
wait "$pid" 2>/dev/null || true

awk -v a="$t0" -v b="$t1" -v s="$s0" -v e="$s1" -v hz="$hz" \
  'BEGIN { printf "nimbrel: CPU %.1f %% of one core over %.1f s\n", 100 * (b - a) / hz / (e - s), e - s }'
echo "signals: $(cat "$SIGNALS_STATS" 2>/dev/null | head -n1)"
echo "busview: $(cat "$BUSVIEW_STATS" 2>/dev/null)"
