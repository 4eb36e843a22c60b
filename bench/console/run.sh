#!/bin/sh
# The graphical console beside xterm in one private X server (the display
# tests' server, tests/gui_xvfb.sh): typing-to-paint latency with 10,000
# lines in the buffer, the wall time of 100,000 printed lines, and start-up
# to the first painted prompt (bench/console/measure.py says how each is
# taken, and the targets). bench/console/instructions.sh counts the
# instructions of the same roads.
#   bench/console/run.sh [BUILD-DIR]     (default: build)
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
build=$(cd "$build" && pwd)
py=/usr/bin/python3
[ -x "$py" ] || py=$(command -v python3)
command -v xterm >/dev/null || { echo "xterm is missing (tools/install-deps --test)"; exit 2; }
exec "$here/../../tests/gui_xvfb.sh" "$py" "$here/measure.py" "$build/qel" "$build/qel-headless"
