#!/bin/sh
# Runs the word-count benchmark in Qel, Python 3 and Lua 5.4 side by side:
# each program splits the same generated 20 MB text into words and counts
# every word. The runs are interleaved; prints the median wall time of each
# (of $RUNS runs, 5 by default), its ratio to Python's, the peak memory, and
# with INSTR=1 the instructions per byte of text that callgrind counts (the
# difference between texts of 8 and 4 chunks, so that start-up and the
# making of the text drop out). Fails when the programs disagree.
#   bench/parse/run.sh [qel-headless]     (default: build/qel-headless)
# Python is Debian's optimised /usr/bin/python3 when there is one.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
qel=${1:-$root/build/qel-headless}
runs=${RUNS:-5}
python=$(command -v python3 || true)
[ -x /usr/bin/python3 ] && python=/usr/bin/python3
lua=$(command -v lua5.4 || command -v lua || true)
chunk=132124  # bytes of text per chunk (the text is 159 chunks)

if [ ! -x "$qel" ]; then
  echo "run.sh: $qel not found (build first, or name the qel-headless to use)" >&2
  exit 1
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# once NAME COMMAND...: one run; appends its seconds and peak KB to
# $dir/NAME.times and .kb, its output (spaces normalised) to $dir/NAME.out.
once() {
  name=$1; shift
  /usr/bin/time -f "%e %M" -o "$dir/$name.time" "$@" > "$dir/$name.raw"
  read -r secs kb < "$dir/$name.time"
  echo "$secs" >> "$dir/$name.times"
  echo "$kb" >> "$dir/$name.kb"
  tr -s ' \t' '  ' < "$dir/$name.raw" > "$dir/$name.out"
}
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

i=0
while [ "$i" -lt "$runs" ]; do
  once qel "$qel" "$here/words.qel"
  [ -z "$python" ] || once python "$python" "$here/words.py"
  [ -z "$lua" ] || once lua "$lua" "$here/words.lua"
  i=$((i + 1))
done

status=0
for other in python lua; do
  if [ -f "$dir/$other.out" ] && ! cmp -s "$dir/qel.out" "$dir/$other.out"; then
    echo "run.sh: qel and $other disagree: $(cat "$dir/qel.out") / $(cat "$dir/$other.out")" >&2
    status=1
  fi
done

# instr COMMAND...: instructions per byte of text, by callgrind.
instr() {
  for n in 4 8; do
    WORDS_REPEAT=$n valgrind --tool=callgrind --callgrind-out-file="$dir/cg.$n" "$@" > /dev/null 2>&1
  done
  a=$(awk '/^(summary|totals):/ { print $2; exit }' "$dir/cg.4")
  b=$(awk '/^(summary|totals):/ { print $2; exit }' "$dir/cg.8")
  awk -v a="$a" -v b="$b" -v c="$chunk" 'BEGIN { printf "%.0f", (b - a) / (4 * c) }'
}

echo "words, distinct words, most frequent: $(cat "$dir/qel.out")"
t_py=""
[ -z "$python" ] || t_py=$(median "$dir/python.times")
printf '%-10s %9s %9s %10s %10s\n' program seconds "vs python" "peak MiB" "instr/byte"
row() {
  name=$1; shift
  if [ ! -f "$dir/$name.times" ]; then printf '%-10s %9s\n' "$name" absent; return; fi
  t=$(median "$dir/$name.times")
  kb=$(median "$dir/$name.kb")
  ratio=-
  [ -z "$t_py" ] || ratio=$(awk -v a="$t" -v b="$t_py" 'BEGIN { printf "%.2f", a / b }')
  ipb=-
  if [ "${INSTR:-0}" = 1 ] && command -v valgrind > /dev/null; then ipb=$(instr "$@"); fi
  printf '%-10s %9.3f %9s %10.0f %10s\n' "$name" "$t" "$ratio" "$(awk -v k="$kb" 'BEGIN { print k / 1024 }')" "$ipb"
}
row qel "$qel" "$here/words.qel"
row python "$python" "$here/words.py"
row lua "$lua" "$here/words.lua"
exit $status
