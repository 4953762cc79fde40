#!/usr/bin/env bash
# The whole program's share of a core on a saturated simulated bus of
# diagnostic traffic, with three pages in front in turn (each its own run
# of nimbrel under a private Xvfb, 1 Mbit/s):
#   view   the bus viewer (loaded at every start)
#   diag   the diagnostics page (the bus viewer loaded but out of sight)
#   idle   the sender's page, which costs nothing on received traffic:
#          the host's own share, to subtract from the two others
# CPU is user + system time from /proc/PID/stat over SECONDS after Start;
# the frames are the bus viewer's count (BUSVIEW_STATS), which it keeps
# also out of sight.
#
# usage: bench/diagnostics/measure_program.sh [BUILD_DIR] [SECONDS] [TRAFFIC] [RUNS]
#        defaults: build, 10, isotp-full (or j1939-full), 1
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
secs=${2:-10}
traffic=${3:-isotp-full}
runs=${4:-1}
if [ -z "${DISPLAY:-}" ]; then
  exec "$root/scripts/with-xvfb.sh" "$0" "$build" "$secs" "$traffic" "$runs"
fi
exe=$build/stage/nimbrel
[ -x "$exe" ] || { echo "no program at $exe (build nimbrel, busview, diagnostics and sender)" >&2; exit 2; }
hz=$(getconf CLK_TCK)

# One run: prints "CPU_PERCENT FRAMES_PER_SECOND".
measure() {
  local mode=$1 tmp pid win plugin=
  tmp=$(mktemp -d)
  export HOME=$tmp XDG_CONFIG_HOME=$tmp/config XDG_DATA_HOME=$tmp/data XDG_RUNTIME_DIR=$tmp/run
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  case $mode in
    diag) plugin=$build/stage/diagnostics.so ;;
    idle) plugin=$build/stage/sender.so ;;
  esac
  # A session file on the command line: no chooser, 1 Mbit/s, and the
  # plug-in whose page comes in front.
  { printf '[Nimbrel]\nChan=0\nBaud=1000\n'
    [ -n "$plugin" ] && printf 'LoadPlugin=%s\n\n[Plugin]\nPath=%s\n' "$plugin" "$plugin"
  } > "$tmp/bench.nbs"
  ZELK_BOARDS="sim:rate=1000,traffic=$traffic" BUSVIEW_STATS=$tmp/busview.stats GTK_MODULES= \
    "$exe" "$tmp/bench.nbs" &
  pid=$!
  win=
  for _ in $(seq 1 200); do
    win=$(xdotool search --onlyvisible --pid "$pid" --name "^ch [0-9]+ - " 2>/dev/null | head -n1 || true)
    [ -n "$win" ] && break
    sleep 0.1
  done
  [ -n "$win" ] || { echo "the main window did not appear" >&2; kill "$pid"; exit 1; }
  sleep 1
  # The Start button holds the focus since the window opened; keys go to
  # the window under the pointer (there is no window manager).
  xdotool mousemove --window "$win" 600 400
  xdotool key space
  sleep 2
  local t0 t1 s0 s1 stats
  t0=$(awk '{print $14 + $15}' "/proc/$pid/stat"); s0=$(date +%s.%N)
  sleep "$secs"
  t1=$(awk '{print $14 + $15}' "/proc/$pid/stat"); s1=$(date +%s.%N)
  xdotool mousemove --window "$win" 600 400
  xdotool key ctrl+q
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  wait "$pid" 2>/dev/null || true
  stats=$(cat "$tmp/busview.stats" 2>/dev/null || true)
  rm -rf "$tmp"
  awk -v a="$t0" -v b="$t1" -v s="$s0" -v e="$s1" -v hz="$hz" -v st="$stats" 'BEGIN {
    n = 0; span = 0
    if (match(st, /received=[0-9]+/)) n = substr(st, RSTART + 9, RLENGTH - 9)
    if (match(st, /rx_span_us=[0-9]+/)) span = substr(st, RSTART + 11, RLENGTH - 11) / 1e6
    printf "%.2f %.0f\n", 100 * (b - a) / hz / (e - s), (span > 0 ? n / span : 0) }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "traffic=$traffic, 1 Mbit/s, ${secs} s per run, median of $runs run(s); load: $(uptime | sed 's/.*load average: //')"
declare -A cpu fps
for mode in view diag idle; do
  cpus=() rates=()
  for _ in $(seq 1 "$runs"); do
    r=$(measure "$mode")
    cpus+=("${r% *}") rates+=("${r#* }")
  done
  cpu[$mode]=$(printf '%s\n' "${cpus[@]}" | median)
  fps[$mode]=$(printf '%s\n' "${rates[@]}" | median)
  awk -v m="$mode" -v c="${cpu[$mode]}" -v f="${fps[$mode]}" \
    'BEGIN { printf "%-5s %6.2f %% of a core  %6.0f frames/s  %5.2f us per frame\n", m, c, f, f ? c * 1e4 / f : 0 }'
done
awk -v v="${cpu[view]}" -v d="${cpu[diag]}" -v i="${cpu[idle]}" 'BEGIN {
  printf "bus viewer adds %.2f %%, the diagnostics page adds %.2f %% of a core: %.2f of the bus viewer'"'"'s cost\n",
         v - i, d - i, (v > i ? (d - i) / (v - i) : 0) }'
