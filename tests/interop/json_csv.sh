#!/bin/sh
# JSON and CSV interchange with Python's json and csv modules, both ways:
# Qel loads what Python wrote and writes it back; Python reads Qel's text and
# compares values; the same for small files made as the codec benchmark's
# are (bench/codecs/gen.py).
# Usage: json_csv.sh <qel-headless> <this directory> [<python3>]
set -e
qel="$1"; here="$2"; python3="${3:-python3}"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$python3" "$here/json_csv.py" write "$dir"
"$python3" "$here/../../bench/codecs/gen.py" "$dir" 10000
QEL_INTEROP_DIR="$dir/" "$qel" "$here/json_csv.qel"
"$python3" "$here/json_csv.py" check "$dir"
