#!/bin/sh
# Runs the same programs in Qel, Python 3 and Lua 5.4 side by side and prints
# the times and the ratios. Usage: bench/lang/run.sh [path to qel-headless]
here=$(cd "$(dirname "$0")" && pwd)
qel=${1:-$here/../../build/qel-headless}
now() { date +%s.%N; }
time_of() {  # command... -> seconds (the output is checked by the caller)
  start=$(now); out=$("$@" 2>&1); end=$(now)
  echo "$out" > /tmp/qel-bench-out.$$
  awk "BEGIN { print $end - $start }"
}
printf "%-8s %10s %10s %10s %10s %10s\n" bench qel python3 lua5.4 qel/py qel/lua
for b in fib sum calls map; do
  tq=$(time_of "$qel" "$here/$b.qel"); oq=$(cat /tmp/qel-bench-out.$$)
  tp=$(time_of python3 "$here/$b.py"); op=$(cat /tmp/qel-bench-out.$$)
  tl=$(time_of lua5.4 "$here/$b.lua"); ol=$(cat /tmp/qel-bench-out.$$)
  # integer! is 32-bit: a sum past 2147483647 is a float!, so compare numbers.
  awk "BEGIN { exit !($oq == $op) }" || echo "  $b: qel printed '$oq', python printed '$op'"
  printf "%-8s %10.3f %10.3f %10.3f %10.2f %10.2f\n" "$b" "$tq" "$tp" "$tl" \
    "$(awk "BEGIN { print $tq / $tp }")" "$(awk "BEGIN { print $tq / $tl }")"
done
tq=$(time_of "$qel" "$here/empty.qel")
tp=$(time_of python3 -c pass)
tl=$(time_of lua5.4 -e "")
printf "%-8s %10.3f %10.3f %10.3f %10.2f %10.2f\n" start-up "$tq" "$tp" "$tl" \
  "$(awk "BEGIN { print $tq / $tp }")" "$(awk "BEGIN { print $tq / $tl }")"
rm -f /tmp/qel-bench-out.$$
