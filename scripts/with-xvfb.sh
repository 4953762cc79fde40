#!/usr/bin/env bash
# Runs a command with a private virtual X display and a private D-Bus
# session, then stops the display again. The command's exit code is kept.
# The display never resets when its last client leaves (-noreset): a reset
# refuses the connection of a test that starts at that moment.
set -u
if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGS...]" >&2
  exit 2
fi
fd_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$fd_file" >/dev/null 2>&1 &
xvfb_pid=$!
cleanup() { kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; rm -f "$fd_file"; }
trap cleanup EXIT
# Xvfb writes the display number once it accepts clients.
for _ in $(seq 1 100); do
  [ -s "$fd_file" ] && break
  if ! kill -0 "$xvfb_pid" 2>/dev/null; then echo "Xvfb did not start" >&2; exit 1; fi
  sleep 0.1
done
if [ ! -s "$fd_file" ]; then echo "Xvfb did not report a display" >&2; exit 1; fi
export DISPLAY=":$(head -n1 "$fd_file")"
if command -v dbus-run-session >/dev/null 2>&1; then
  dbus-run-session -- "$@"
else
  "$@"
fi
