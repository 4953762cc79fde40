#!/usr/bin/env bash
# Measures the whole program on a saturated simulated bus: nimbrel runs
# under a private Xvfb on the simulated board at 1 Mbit/s with full
# traffic, the controller is started, and for SECONDS the program's CPU
# share is read from /proc/PID/stat. After Ctrl+Q the bus viewer's own
# figures (BUSVIEW_STATS) tell the frames it counted, their load over
# their own receive times (1.0 on a saturated bus when none is missing)
# and its longest request, refresh and refresh gap (the refresh is due
# every 100 ms; a longer gap means the main loop was busy elsewhere).
#
# usage: bench/busview/measure_program.sh [BUILD_DIR] [SECONDS] [LENGTH]
#        defaults: build, 10, 0 (LENGTH is the simulated frames' length)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
secs=${2:-10}
len=${3:-0}
if [ -z "${DISPLAY:-}" ]; then
  exec "$root/scripts/with-xvfb.sh" "$0" "$build" "$secs" "$len"
fi
exe=$build/stage/nimbrel
[ -x "$exe" ] || { echo "no program at $exe (build the nimbrel and busview targets)" >&2; exit 2; }

tmp=$(mktemp -d)
export HOME=$tmp XDG_CONFIG_HOME=$tmp/config XDG_DATA_HOME=$tmp/data XDG_RUNTIME_DIR=$tmp/run ZELK_LOCK_DIR=$tmp/run/zelk
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export ZELK_BOARDS="sim:rate=1000,traffic=full,len=$len"
export BUSVIEW_STATS=$tmp/busview.stats
unset GTK_MODULES
"$exe" &
pid=$!
cleanup() { kill "$pid" 2>/dev/null || true; rm -rf "$tmp"; }
trap cleanup EXIT

win=
for _ in $(seq 1 100); do
  win=$(xdotool search --onlyvisible --pid "$pid" --name "Nimbrel" 2>/dev/null | head -n1 || true)
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "the channel chooser did not appear" >&2; exit 1; }
sleep 0.5
xdotool mousemove --window "$win" 20 20
xdotool key Return
win=
for _ in $(seq 1 100); do
  win=$(xdotool search --onlyvisible --pid "$pid" --name "^ch [0-9]+ - " 2>/dev/null | head -n1 || true)
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "the main window did not appear" >&2; exit 1; }
sleep 1
# Keys go to the window under the pointer (there is no window manager).
# HW settings > Bit rate: the last rate (1000 kbit/s), OK.
xdotool mousemove --window "$win" 600 400
xdotool key F10 Right Down Down Return
sleep 1
xdotool key End Tab space
sleep 1
# The Start button holds the focus since the window opened.
xdotool mousemove --window "$win" 600 400
xdotool key space
sleep 2
if [ -n "${BUSVIEW_SHOT:-}" ]; then
  timeout 10 import -window "$win" "$BUSVIEW_SHOT.start.png" || true
fi

hz=$(getconf CLK_TCK)
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
t0=$(ticks); s0=$(date +%s.%N)
sleep "$secs"
t1=$(ticks); s1=$(date +%s.%N)
if [ -n "${BUSVIEW_SHOT:-}" ]; then
  timeout 10 import -window "$win" "$BUSVIEW_SHOT" || true
fi

xdotool mousemove --window "$win" 600 400
xdotool key ctrl+q
for _ in $(seq 1 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
wait "$pid" 2>/dev/null || true

awk -v a="$t0" -v b="$t1" -v s="$s0" -v e="$s1" -v hz="$hz" \
  'BEGIN { printf "nimbrel: CPU %.1f %% of one core over %.1f s\n", 100 * (b - a) / hz / (e - s), e - s }'
if [ -s "$BUSVIEW_STATS" ]; then
  echo "busview: $(cat "$BUSVIEW_STATS")"
else
  echo "busview: no figures (the plug-in was not released?)" >&2
  exit 1
fi
