#!/bin/sh
# Decodes then encodes a 20 MB JSON document and a 20 MB CSV table with
# load-json/to-json and load-csv/to-csv, and decodes 200,000 CSV records with
# load-csv/header/as-records, next to Python's json (with and without its C
# accelerator) and csv modules. The runs are interleaved; prints the median
# seconds (reading the file excluded), the ratios to Python, the peak memory
# of each process, and with INSTR=1 the instructions per byte that callgrind
# counts (the difference between files of 2 MB and 1 MB, reading included).
#   bench/codecs/run.sh [qel-headless]     (default: build/qel-headless)
# Python is Debian's optimised /usr/bin/python3 when there is one.
set -e
here=$(cd "$(dirname "$0")" && pwd)
qel=${1:-$here/../../build/qel-headless}
runs=${RUNS:-5}
python=$(command -v python3)
[ -x /usr/bin/python3 ] && python=/usr/bin/python3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$python" "$here/gen.py" "$dir"

# once NAME FILE COMMAND...: one run; appends its seconds (as the program
# prints them) and its peak KB to $dir/NAME.s and $dir/NAME.kb.
once() {
  name=$1; file=$2; shift 2
  QEL_BENCH_FILE="$file" /usr/bin/time -f "%M" -o "$dir/$name.mem" "$@" "$file" > "$dir/$name.out"
  cut -d' ' -f1 "$dir/$name.out" >> "$dir/$name.s"
  cat "$dir/$name.mem" >> "$dir/$name.kb"
}
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

i=0
while [ "$i" -lt "$runs" ]; do
  once qel-json "$dir/bench.json" "$qel" "$here/qel_json.qel"
  once py-json-c "$dir/bench.json" "$python" "$here/py_json.py"
  once py-json-pure "$dir/bench.json" "$python" "$here/py_json.py" pure
  once qel-csv "$dir/bench.csv" "$qel" "$here/qel_csv.qel"
  once py-csv "$dir/bench.csv" "$python" "$here/py_csv.py"
  once qel-records "$dir/records.csv" "$qel" "$here/qel_records.qel"
  once py-records "$dir/records.csv" "$python" "$here/py_records.py"
  i=$((i + 1))
done

# instr NAME FILE COMMAND...: instructions per byte, by callgrind over the
# 1 MB and 2 MB files of that kind.
instr() {
  name=$1; file=$2; shift 2
  for size in 1000000 2000000; do
    mkdir -p "$dir/$size"
    [ -f "$dir/$size/$file" ] || "$python" "$here/gen.py" "$dir/$size" "$size"
    QEL_BENCH_FILE="$dir/$size/$file" valgrind --tool=callgrind --callgrind-out-file="$dir/cg.$size" \
      "$@" "$dir/$size/$file" > /dev/null 2>&1
  done
  a=$(awk '/^(summary|totals):/ { print $2; exit }' "$dir/cg.1000000")
  b=$(awk '/^(summary|totals):/ { print $2; exit }' "$dir/cg.2000000")
  ba=$(wc -c < "$dir/1000000/$file")
  bb=$(wc -c < "$dir/2000000/$file")
  awk -v a="$a" -v b="$b" -v x="$ba" -v y="$bb" 'BEGIN { printf "%.0f", (b - a) / (y - x) }'
}

printf '%-26s %8s %8s %9s %10s\n' work seconds "vs ref" "peak MiB" "instr/byte"
# row LABEL NAME REF FILE COMMAND... (COMMAND -: no instruction count)
row() {
  label=$1; name=$2; ref=$3; file=$4; shift 4
  t=$(median "$dir/$name.s")
  r=$(awk -v a="$t" -v b="$(median "$dir/$ref.s")" 'BEGIN { printf "%.2f", a / b }')
  mib=$(awk -v k="$(median "$dir/$name.kb")" 'BEGIN { printf "%.0f", k / 1024 }')
  ipb=-
  if [ "${INSTR:-0}" = 1 ] && [ "$1" != - ] && command -v valgrind > /dev/null; then
    ipb=$(instr "$name" "$file" "$@")
  fi
  printf '%-26s %8.3f %8s %9s %10s\n' "$label" "$t" "$r" "$mib" "$ipb"
}
row "json qel" qel-json py-json-c bench.json "$qel" "$here/qel_json.qel"
row "json python (C json)" py-json-c py-json-c bench.json "$python" "$here/py_json.py"
row "json python (pure json)" py-json-pure py-json-c bench.json "$python" "$here/py_json.py" pure
row "json qel vs pure" qel-json py-json-pure bench.json -
row "csv qel" qel-csv py-csv bench.csv "$qel" "$here/qel_csv.qel"
row "csv python" py-csv py-csv bench.csv "$python" "$here/py_csv.py"
row "records qel" qel-records py-records records.csv "$qel" "$here/qel_records.qel"
row "records python" py-records py-records records.csv "$python" "$here/py_records.py"
