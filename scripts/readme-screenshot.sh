#!/bin/bash
# Takes the README's screenshots from the real program on the simulated
# adapter at its default size: the bus view while the controller runs,
# and the sender's page with a few messages and quick-send lines.
# Run under scripts/with-xvfb.sh, from the top of the tree:
#   scripts/with-xvfb.sh scripts/readme-screenshot.sh build/stage
# writes plugins/busview/screenshot.png and plugins/sender/screenshot.png.
set -u
stage=$(cd "$1" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p $root/home $root/data/nimbrel $root/config $root/run
export HOME=$root/home XDG_DATA_HOME=$root/data XDG_CONFIG_HOME=$root/config \
       XDG_RUNTIME_DIR=$root/run ZELK_LOCK_DIR=$root/run/zelk ASAN_OPTIONS=detect_leaks=0
unset ZELK_BOARDS

find_win() {
  for _ in $(seq 1 200); do
    w=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1)
    [ -n "$w" ] && { echo "$w"; return; }
    sleep 0.1
  done
}

# Starts the program, takes OK in the chooser and leaves the main window
# in $main, its geometry in X and Y, the process in $pid.
start_program() {
  "$stage/nimbrel" &
  pid=$!
  wid=$(find_win "^Nimbrel, ver")
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  xdotool mousemove $((X + WIDTH / 2 - 50)) $((Y + HEIGHT - 24)) click 1
  main=$(find_win "^ch 0")
  sleep 1
  eval "$(xdotool getwindowgeometry --shell "$main")"
}

# Bus view: OK in the chooser, Start, a second and a half of traffic.
start_program
xdotool mousemove $((X + 40)) $((Y + 62)) click 1
sleep 1.5
timeout 10 import -window "$main" plugins/busview/screenshot.png
kill $pid; wait $pid 2>/dev/null

# Sender: channel 0's automatic session holds three messages and two
# quick-send lines; OK in the chooser, then the Sender tab.
cat > $root/data/nimbrel/.nbauto-ch0.nbs <<EOS
[Nimbrel]
LoadPlugin=$stage/sender.so
[Plugin]
Path=$stage/sender.so
Message=123,0,0,4,DEADBEEF,0,0
Message=18DAF110,1,0,8,0102,100,1
Message=7DF,0,1,3,,0,0
QuickSend=7E0#0210030000000000
QuickSend=123#DEADBEEF
EOS
start_program
xdotool mousemove $((X + 360)) $((Y + 40)) click 1
sleep 1
timeout 10 import -window "$main" plugins/sender/screenshot.png
kill $pid; wait $pid 2>/dev/null
