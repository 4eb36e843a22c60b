#!/bin/sh
# Runs programs of the kinds users write, each in Qel, Python 3 and Lua 5.4
# doing the same work and checking its own answer:
#   trees  recursion that allocates: binary trees of blocks built and walked
#   nbody  float arithmetic on object fields
#   text   text processing: a 20 MB log split into lines and fields, counted
#          in maps, sorted, the top printed
#   walk   a recursive walk over a decoded JSON document
#   hof    higher-order functions (map, filter, fold) over a million items
# The runs are interleaved (Qel, Python, Lua, again); each row gives the
# median CPU time (user + system) of each, its ratios, the median peak memory
# (MiB), and the share of the Qel program's evaluation steps that ran in the
# reference evaluator rather than in the compiled form (counted by a build
# made with QEL_COUNT_STEPS, build-steps/, which this script builds or brings
# up to date first; QEL_BENCH_STEPS=0 leaves the column out). With
# QEL_BENCH_INSTRUCTIONS=1 each row also gives the instructions of one whole
# run of each program in millions, counted by callgrind. The inputs are
# written by gen.py into $QEL_BENCH_DATA (default /tmp/qel-bench-programs),
# once. Fails when a program fails or the three disagree.
# Usage: bench/programs/run.sh [qel-headless] [runs, default 3] [program...]
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
qel=${1:-$root/build/qel-headless}
runs=${2:-3}
[ $# -gt 2 ] && shift 2 || set --
programs=${*:-trees nbody text walk hof}
# Debian's optimised Python (the python3 first on PATH may be a build without
# optimisations), or $QEL_BENCH_PYTHON.
py=${QEL_BENCH_PYTHON:-/usr/bin/python3}
lua=lua5.4
data=${QEL_BENCH_DATA:-/tmp/qel-bench-programs}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if [ ! -x "$qel" ]; then
  echo "run.sh: $qel not found (build first, or name the qel-headless to use)" >&2
  exit 1
fi
if [ ! -f "$data/done" ] || [ "$here/gen.py" -nt "$data/done" ]; then
  echo "writing the inputs into $data" >&2
  mkdir -p "$data" && "$py" "$here/gen.py" "$data" && touch "$data/done" || exit 1
fi
steps=
if [ "${QEL_BENCH_STEPS:-1}" != 0 ]; then
  steps=$root/build-steps/qel-headless
  "$root/tools/build" "$root/build-steps" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_COUNT_STEPS=ON \
    --target qel-headless 2> "$tmp/steps.log" || { cat "$tmp/steps.log" >&2; exit 1; }
fi

status=0
# once NAME COMMAND...: one run; appends its CPU seconds and peak KiB to
# $tmp/NAME.cpu and .kb, keeps its output in $tmp/NAME.out.
once() {
  name=$1; shift
  if ! /usr/bin/time -f "%U %S %M" -o "$tmp/time" "$@" > "$tmp/$name.out" 2> "$tmp/$name.err"; then
    echo "run.sh: $name failed: $(tail -n 3 "$tmp/$name.out" "$tmp/$name.err")" >&2
    status=1
  fi
  tail -n 1 "$tmp/time" | awk '{ print $1 + $2 }' >> "$tmp/$name.cpu"
  tail -n 1 "$tmp/time" | awk '{ print $3 }' >> "$tmp/$name.kb"
}
median() { sort -g "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
instructions() {  # command... -> millions of instructions of one run
  valgrind --tool=callgrind --callgrind-out-file="$tmp/cg" "$@" > /dev/null 2>&1
  awk '/^(summary|totals):/ { printf "%.0f", $2 / 1e6; exit }' "$tmp/cg"
  rm -f "$tmp/cg"
}

printf "%-6s %8s %8s %8s %7s %7s %8s %8s %8s %6s" program qel python lua qel/py qel/lua \
  "qel MiB" "py MiB" "lua MiB" "ref %"
[ -z "$QEL_BENCH_INSTRUCTIONS" ] || printf " %8s %8s %8s %7s" "Mi qel" "Mi py" "Mi lua" "qel/py"
printf "\n"
for p in $programs; do
  rm -f "$tmp"/*.cpu "$tmp"/*.kb
  q="$qel $here/$p.qel $data"
  y="$py $here/$p.py $data"
  l="$lua $here/$p.lua $data"
  i=0
  while [ $i -lt "$runs" ]; do
    once qel $q
    once py $y
    once lua $l
    i=$((i + 1))
  done
  for other in py lua; do
    if ! cmp -s "$tmp/qel.out" "$tmp/$other.out"; then
      echo "run.sh: $p: qel and $other disagree" >&2
      diff "$tmp/qel.out" "$tmp/$other.out" | head -n 5 >&2
      status=1
    fi
  done
  tq=$(median "$tmp/qel.cpu"); tp=$(median "$tmp/py.cpu"); tl=$(median "$tmp/lua.cpu")
  share=-
  if [ -n "$steps" ]; then
    "$steps" "$here/$p.qel" "$data" > /dev/null 2> "$tmp/steps"
    share=$(awk '/^qel steps:/ { c = $4; r = $6 } END { if (c + r > 0) printf "%.1f", 100 * r / (c + r); else print "-" }' "$tmp/steps")
  fi
  printf "%-6s %8.2f %8.2f %8.2f %7.2f %7.2f %8.0f %8.0f %8.0f %6s" "$p" "$tq" "$tp" "$tl" \
    "$(awk "BEGIN { print $tq / $tp }")" "$(awk "BEGIN { print $tq / $tl }")" \
    "$(awk "BEGIN { print $(median "$tmp/qel.kb") / 1024 }")" \
    "$(awk "BEGIN { print $(median "$tmp/py.kb") / 1024 }")" \
    "$(awk "BEGIN { print $(median "$tmp/lua.kb") / 1024 }")" "$share"
  if [ -n "$QEL_BENCH_INSTRUCTIONS" ]; then
    iq=$(instructions $q); ip=$(instructions $y); il=$(instructions $l)
    printf " %8s %8s %8s %7.2f" "$iq" "$ip" "$il" "$(awk "BEGIN { print $iq / $ip }")"
  fi
  printf "\n"
done
exit $status
