#!/bin/sh
# Runs the word-count benchmark in Qel, Python 3 and Lua 5.4 side by side:
# each program splits the same generated 20 MB text into words and counts
# every word. Prints the best wall time of each (of $RUNS runs, 3 by default)
# and its ratio to Python's, and fails when the programs disagree.
#   bench/parse/run.sh [qel-headless]     (default: build/qel-headless)
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
qel=${1:-$root/build/qel-headless}
runs=${RUNS:-3}
python=$(command -v python3 || true)
[ -x /usr/bin/python3 ] && python=/usr/bin/python3
lua=$(command -v lua5.4 || command -v lua || true)

# best_of NAME COMMAND...: the best time in seconds; the output in $dir/NAME.out
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
best_of() {
  name=$1; shift
  best=""
  i=0
  while [ "$i" -lt "$runs" ]; do
    start=$(date +%s.%N)
    "$@" > "$dir/$name.out"
    end=$(date +%s.%N)
    best=$(awk -v s="$start" -v e="$end" -v b="$best" \
      'BEGIN { t = e - s; if (b == "" || t < b + 0) b = t; printf "%.3f", b }')
    i=$((i + 1))
  done
  # Programs print the same three numbers; tabs or spaces between them.
  tr -s ' \t' '  ' < "$dir/$name.out" > "$dir/$name.norm"
  echo "$best"
}

if [ ! -x "$qel" ]; then
  echo "run.sh: $qel not found (build first, or name the qel-headless to use)" >&2
  exit 1
fi
t_qel=$(best_of qel "$qel" "$here/words.qel")
t_py=""
t_lua=""
[ -n "$python" ] && t_py=$(best_of python "$python" "$here/words.py")
[ -n "$lua" ] && t_lua=$(best_of lua "$lua" "$here/words.lua")

status=0
for other in python lua; do
  if [ -f "$dir/$other.norm" ] && ! cmp -s "$dir/qel.norm" "$dir/$other.norm"; then
    echo "run.sh: qel and $other disagree: $(cat "$dir/qel.norm") / $(cat "$dir/$other.norm")" >&2
    status=1
  fi
done

echo "words, distinct words, most frequent: $(cat "$dir/qel.norm")"
printf '%-10s %9s %11s\n' program seconds "vs python"
row() {
  if [ -z "$2" ]; then printf '%-10s %9s\n' "$1" "absent"; return; fi
  if [ -n "$t_py" ]; then ratio=$(awk -v a="$2" -v b="$t_py" 'BEGIN { printf "%.2f", a / b }'); else ratio="-"; fi
  printf '%-10s %9.3f %11s\n' "$1" "$2" "$ratio"
}
row qel "$t_qel"
row python "$t_py"
row lua "$t_lua"
exit $status
