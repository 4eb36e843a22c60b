#!/bin/sh
# Start-up of an empty script as paired runs (pairs.py): qel against a
# baseline qel (the build of another tree, e.g. the one before a change),
# then against python3 -c pass and lua5.4 -e '' in the same run. The GUI
# backend module is not opened by an empty script: the ratio to the
# baseline shows what the executable itself costs to start.
# Usage: bench/startup/run.sh QEL BASELINE-QEL [RUNS, default 30]
here=$(cd "$(dirname "$0")" && pwd)
qel=$1
base=$2
runs=${3:-30}
[ -x "$qel" ] && [ -x "$base" ] || { echo "usage: $0 QEL BASELINE-QEL [RUNS]"; exit 2; }
empty=$here/../lang/empty.qel
py=/usr/bin/python3
[ -x "$py" ] || py=$(command -v python3)
pair() {  # title, command A, command B
  echo "== $1"
  "$py" "$here/pairs.py" "$runs" "$2" "$3"
}
pair "qel / baseline qel" "$qel $empty" "$base $empty"
pair "qel / python3 -c pass" "$qel $empty" "$py -c pass"
pair "qel / lua5.4 -e ''" "$qel $empty" "lua5.4 -e ''"
