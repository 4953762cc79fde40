#!/usr/bin/env bash
# Builds Nimbrel and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (Debug build) and runs every test under a
# private virtual display. Exits non-zero when a test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON
cmake --build build-test -j2
scripts/with-xvfb.sh ctest --test-dir build-test --output-on-failure -j2 "$@"
