#!/bin/sh
# GUI framework benchmarks on the recording platform of the tests (no
# native windows): the dispatch of 100,000 over events through the standard
# event functions to an actor, show of a 1,000-face tree, layout of a
# window of 500 faces beside the time of its text measuring alone, make
# face! alone, and rtd-layout of 2,500 to 20,000 styled runs. No peer runs
# the same code; the targets are 100,000 events/s, 50 ms and 50 ms.
# With QEL_BENCH_INSTRUCTIONS=1, the dispatch also gives the machine
# instructions of one event, counted by callgrind (which load on the machine
# does not move): runs of 2,000 and 4,000 events, the difference divided by
# 2,000, so that start-up and set-up drop out.
#   bench/view/run.sh [qel-headless]     (default: build/qel-headless)
set -e
here=$(cd "$(dirname "$0")" && pwd)
qel=${1:-$here/../../build/qel-headless}
"$qel" "$here/dispatch.qel"
if [ -n "$QEL_BENCH_INSTRUCTIONS" ]; then
  cg=$(mktemp -d)
  for n in 2000 4000; do
    valgrind --tool=callgrind --callgrind-out-file="$cg/$n" "$qel" "$here/dispatch.qel" $n > /dev/null 2>&1
  done
  a=$(awk '/^(summary|totals):/ { print $2; exit }' "$cg/2000")
  b=$(awk '/^(summary|totals):/ { print $2; exit }' "$cg/4000")
  rm -rf "$cg"
  awk "BEGIN { printf \"dispatch: %.0f instructions an event\\n\", ($b - $a) / 2000 }"
fi
"$qel" "$here/show.qel"
"$qel" "$here/layout.qel"
"$qel" "$here/make_face.qel"
"$qel" "$here/rich_text.qel"
