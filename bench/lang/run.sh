#!/bin/sh
# Runs the same programs in Qel, Python 3 and Lua 5.4 side by side and prints
# the median times of interleaved runs and the ratios.
# With QEL_BENCH_INSTRUCTIONS=1, each row also gives the machine instructions
# of one whole run of each program, in millions, counted by callgrind (which
# load on the machine does not move).
# Usage: bench/lang/run.sh [path to qel-headless] [runs, default 3]
here=$(cd "$(dirname "$0")" && pwd)
qel=${1:-$here/../../build/qel-headless}
runs=${2:-3}
# Debian's optimised Python (the python3 first on PATH may be a build without
# optimisations, 1.3 to 2 times slower), or $QEL_BENCH_PYTHON.
py=${QEL_BENCH_PYTHON:-/usr/bin/python3}
out=/tmp/qel-bench-out.$$
now() { date +%s.%N; }
time_of() {  # command... -> seconds (the output is kept in $out for the caller)
  start=$(now); "$@" > "$out" 2>&1; end=$(now)
  awk "BEGIN { print $end - $start }"
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk "BEGIN { print $1 / $2 }"; }
instructions() {  # command... -> millions of instructions of one run
  valgrind --tool=callgrind --callgrind-out-file="$out.cg" "$@" > /dev/null 2>&1
  awk '/^(summary|totals):/ { printf "%.1f", $2 / 1e6; exit }' "$out.cg"
  rm -f "$out.cg"
}
row() {  # name qel-command python-command lua-command
  name=$1; tq=; tp=; tl=
  i=0
  while [ $i -lt "$runs" ]; do
    tq="$tq $(time_of $2)"; oq=$(cat "$out")
    tp="$tp $(time_of $3)"; op=$(cat "$out")
    tl="$tl $(time_of $4)"
    i=$((i + 1))
  done
  tq=$(echo "$tq" | median); tp=$(echo "$tp" | median); tl=$(echo "$tl" | median)
  # integer! is 32-bit: a sum past 2147483647 is a float!, so compare numbers.
  [ -z "$oq" ] || awk "BEGIN { exit !($oq == $op) }" || echo "  $name: qel printed '$oq', python printed '$op'"
  printf "%-8s %10.3f %10.3f %10.3f %10.2f %10.2f" "$name" "$tq" "$tp" "$tl" \
    "$(ratio "$tq" "$tp")" "$(ratio "$tq" "$tl")"
  [ -z "$QEL_BENCH_INSTRUCTIONS" ] || printf " %10s %10s %10s" "$(instructions $2)" "$(instructions $3)" "$(instructions $4)"
  printf "\n"
}
printf "%-8s %10s %10s %10s %10s %10s" bench qel python3 lua5.4 qel/py qel/lua
[ -z "$QEL_BENCH_INSTRUCTIONS" ] || printf " %10s %10s %10s" "Mi qel" "Mi py" "Mi lua"
printf "\n"
for b in fib sum calls map append while paren path objcall wordcall words; do
  row "$b" "$qel $here/$b.qel" "$py $here/$b.py" "lua5.4 $here/$b.lua"
done
row start-up "$qel $here/empty.qel" "$py -c pass" "lua5.4 -e ;"
# The same start-up from the boot data, without the executable's boot image.
row boot-data "env QEL_BOOT_IMAGE=0 $qel $here/empty.qel" "$py -c pass" "lua5.4 -e ;"
rm -f "$out"
