#!/bin/bash
# Takes the README's screenshots from the real program on the simulated
# adapter: the bus view while the controller runs. Run under
# scripts/with-xvfb.sh:
#   scripts/with-xvfb.sh scripts/readme-screenshot.sh build/stage plugins/busview/screenshot.png
stage=$1; out=$2
root=$(mktemp -d)
mkdir -p $root/home $root/data $root/config $root/run
export HOME=$root/home XDG_DATA_HOME=$root/data XDG_CONFIG_HOME=$root/config XDG_RUNTIME_DIR=$root/run
export ASAN_OPTIONS=detect_leaks=0
unset ZELK_BOARDS
"$stage/nimbrel" &
pid=$!
find_win() { for i in $(seq 1 200); do w=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1); [ -n "$w" ] && { echo $w; return; }; sleep 0.1; done; }
wid=$(find_win "^Nimbrel, ver")
eval $(xdotool getwindowgeometry --shell $wid)
# OK is the first of the three buttons at the bottom.
xdotool mousemove $((X+WIDTH/2-50)) $((Y+HEIGHT-24)) click 1
main=$(find_win "^ch 0")
sleep 1
eval $(xdotool getwindowgeometry --shell $main)
# Start, in the controls at the top left.
xdotool mousemove $((X+40)) $((Y+62)) click 1
sleep 1.5
timeout 10 import -window $main "$out"
kill $pid; wait $pid 2>/dev/null; rm -rf $root
