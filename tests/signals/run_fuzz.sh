#!/usr/bin/env bash
# Runs the DBC fuzzer for a bounded time over the corpus in the
# repository. New inputs go to a temporary folder, so the repository stays
# as it is; a finding is printed in hex and fails the run.
#
# usage: run_fuzz.sh FUZZER SECONDS CORPUS_DIR...
set -u
fuzzer=$1
secs=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/new"
here=$(cd "$(dirname "$0")" && pwd)
ASAN_OPTIONS=detect_leaks=1 "$fuzzer" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
  -max_len=8192 -print_final_stats=1 -dict="$here/dbc.dict" -artifact_prefix="$work/" \
  "$work/new" "$@" 2>&1 | tail -n 40
rc=${PIPESTATUS[0]}
for f in "$work"/crash-* "$work"/timeout-* "$work"/oom-* "$work"/leak-*; do
  [ -e "$f" ] || continue
  echo "finding: $(basename "$f")"
  od -A x -t x1z "$f" | head -n 40
  rc=1
done
exit "$rc"
