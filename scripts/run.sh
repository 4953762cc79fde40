#!/usr/bin/env bash
# Builds Nimbrel (release build with debug information) and runs it.
# Without an adapter configuration (ZELK_BOARDS or ~/.config/zelk/boards)
# the program runs on the simulated adapter. Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j2
if [ -x build/stage/nimbrel ]; then
  exec build/stage/nimbrel "$@"
else
  exec build/stage/zelkctl dump 0
fi
