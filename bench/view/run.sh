#!/bin/sh
# GUI framework benchmarks on the recording platform of the tests (no
# native windows): the dispatch of 100,000 over events through the standard
# event functions to an actor, show of a 1,000-face tree, layout of a
# window of 500 faces beside the time of its text measuring alone, make
# face! alone, and rtd-layout of 2,500 to 20,000 styled runs. No peer runs
# the same code; the targets are 100,000 events/s, 50 ms and 50 ms.
#   bench/view/run.sh [qel-headless]     (default: build/qel-headless)
set -e
here=$(cd "$(dirname "$0")" && pwd)
qel=${1:-$here/../../build/qel-headless}
"$qel" "$here/dispatch.qel"
"$qel" "$here/show.qel"
"$qel" "$here/layout.qel"
"$qel" "$here/make_face.qel"
"$qel" "$here/rich_text.qel"
