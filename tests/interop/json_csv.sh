#!/bin/sh
# JSON and CSV interchange with Python's json and csv modules, both ways:
# Qel loads what Python wrote and writes it back; Python reads Qel's text and
# compares values. Usage: json_csv.sh <qel-headless> <this directory>
set -e
qel="$1"; here="$2"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
python3 "$here/json_csv.py" write "$dir"
QEL_INTEROP_DIR="$dir/" "$qel" "$here/json_csv.qel"
python3 "$here/json_csv.py" check "$dir"
