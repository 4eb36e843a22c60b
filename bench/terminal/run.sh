#!/bin/sh
# The console's terminal on the headless console of its tests (the recording
# platform with the real text engine, DejaVu Sans Mono 11): a keystroke with
# 10,000 lines in the buffer (press-key to the end of its paint; target:
# median at most 5 ms), and 100,000 lines printed through vprint (target: at
# least 50,000 lines/s) beside qel-headless printing the same lines to
# /dev/null in the same run, as a ratio (target at most 3x).
#   bench/terminal/run.sh [qel-headless]     (default: build/qel-headless)
set -e
here=$(cd "$(dirname "$0")" && pwd)
qel=${1:-$here/../../build/qel-headless}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$qel" "$here/keys.qel"
QEL_BENCH_OUT=$out "$qel" "$here/print.qel"
terminal=$(cat "$out")
QEL_BENCH_OUT=$out "$qel" "$here/peer.qel" >/dev/null
peer=$(cat "$out")
awk -v a="$terminal" -v b="$peer" 'BEGIN {
  printf "qel-headless printing the same lines to /dev/null: %.3f s; terminal / headless: %.1fx (target: at most 3x)\n", b, a / b
}'
