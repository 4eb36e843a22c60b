#!/bin/sh
# Prints the machine instructions that the interpreter spends on one
# evaluation of each construct, counted by callgrind: each construct runs in a
# loop of N and of 2N steps, and the difference divided by N removes start-up.
# The bare loop step is measured the same way and taken off the constructs.
# Usage: bench/lang/instructions.sh [path to qel-headless] [N, default 100000]
here=$(cd "$(dirname "$0")" && pwd)
qel=${1:-$here/../../build/qel-headless}
n=${2:-100000}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
count() {  # script text -> instructions of the whole run
  printf '%s\n' "$1" > "$tmp/s.qel"
  valgrind --tool=callgrind --callgrind-out-file="$tmp/cg" "$qel" "$tmp/s.qel" > /dev/null 2>&1
  awk '/^(summary|totals):/ { print $2; exit }' "$tmp/cg"
}
setup='Qel [] x: 1 b: [10 20 30] f: func [a] [a] fib: func [n] [either n < 2 [n] [(fib n - 1) + fib n - 2]]'
per_step() {  # loop body -> instructions per step
  a=$(count "$setup loop $n [$1]")
  b=$(count "$setup loop $((2 * n)) [$1]")
  awk "BEGIN { printf \"%.0f\", ($b - $a) / $n }"
}
empty=$(per_step "")
printf "%-24s %8s\n" construct instr
printf "%-24s %8s\n" "loop step (empty body)" "$empty"
for c in "x + 1" "f 1" "either x < 2 [1] [2]" "(1)" "b/2" "x: x + 1"; do
  printf "%-24s %8s\n" "$c" "$(awk "BEGIN { print $(per_step "$c") - $empty }")"
done
# The sum loop of sum.qel, per step.
a=$(count "Qel [] t: 0 repeat i $n [t: t + i]")
b=$(count "Qel [] t: 0 repeat i $((2 * n)) [t: t + i]")
printf "%-24s %8s\n" "repeat step t: t + i" "$(awk "BEGIN { printf \"%.0f\", ($b - $a) / $n }")"
# fib: fib 20 makes 21891 calls, fib 22 57313.
a=$(count "$setup fib 20")
b=$(count "$setup fib 22")
printf "%-24s %8s\n" "fib call" "$(awk "BEGIN { printf \"%.0f\", ($b - $a) / (57313 - 21891) }")"
