#!/bin/sh
# Memory benchmarks, each next to Python doing the same: the time and the
# peak resident set of decoding 60 JSON documents of 5,000 fresh member names
# each, keeping only the last document; the memory given back once a large
# structure is dropped (resident set at the start, at the peak, after).
# Usage: bench/memory/run.sh [path to qel-headless]
set -e
here=$(cd "$(dirname "$0")" && pwd)
qel=${1:-$here/../../build/qel-headless}
py=/usr/bin/python3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
$py "$here/gen_names.py" "$dir" 60 5000
# peak NAME COMMAND...: prints the command's output, then its peak RSS in MB
peak() {
  name=$1; shift
  /usr/bin/time -f '%M' -o "$dir/rss" "$@" > "$dir/out"
  printf "%-28s %8.2fs %8.1f MB\n" "$name" "$(cut -d' ' -f1 "$dir/out")" "$(awk '{print $1/1024}' "$dir/rss")"
}
echo "JSON, 60 documents of 5,000 fresh names (time, peak RSS):"
QEL_BENCH_DIR=$dir QEL_BENCH_DOCS=60 peak "  qel" "$qel" "$here/json_names.qel"
peak "  python3" $py "$here/json_names.py" "$dir" 60
echo "300,000 small blocks built, dropped and collected (time, RSS MB at start, peak, after):"
printf "  %-26s %s\n" qel "$("$qel" "$here/build_drop.qel")"
printf "  %-26s %s\n" python3 "$($py "$here/build_drop.py")"
