#!/bin/sh
# Decodes then encodes a 20 MB JSON document and a 20 MB CSV table with
# load-json/to-json and load-csv/to-csv, next to Python's json (with and
# without its C accelerator) and csv modules. Prints seconds (reading the file
# excluded) and the ratios. Usage: bench/codecs/run.sh [path to qel-headless]
set -e
here=$(cd "$(dirname "$0")" && pwd)
qel=${1:-$here/../../build/qel-headless}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
python3 "$here/gen.py" "$dir"
tq=$(QEL_BENCH_FILE="$dir/bench.json" "$qel" "$here/qel_json.qel" | cut -d' ' -f1)
tp=$(python3 "$here/py_json.py" "$dir/bench.json" pure | cut -d' ' -f1)
tc=$(python3 "$here/py_json.py" "$dir/bench.json" | cut -d' ' -f1)
printf "json: qel %.2fs  python-pure %.2fs  python-C %.2fs  qel/pure %.2f  qel/C %.2f\n" \
  "$tq" "$tp" "$tc" "$(awk "BEGIN{print $tq/$tp}")" "$(awk "BEGIN{print $tq/$tc}")"
tq=$(QEL_BENCH_FILE="$dir/bench.csv" "$qel" "$here/qel_csv.qel" | cut -d' ' -f1)
tp=$(python3 "$here/py_csv.py" "$dir/bench.csv" | cut -d' ' -f1)
printf "csv:  qel %.2fs  python %.2fs  qel/python %.2f\n" "$tq" "$tp" "$(awk "BEGIN{print $tq/$tp}")"
