#!/bin/sh
# One long line pasted into the graphical console, in the display tests' X
# server (tests/gui_xvfb.sh): the clipboard set by xclip, Ctrl+V and Return
# sent with xdotool, timed from the keys to the file that the line writes.
# The line is `write %pasted.txt length? "..."` with a string of 100 KB, then
# 1 MB, of digits with no space (the text engine finds no place to break it,
# which costs the most). For each size: the wall time (median of 3 runs),
# and with valgrind (callgrind) the instructions from the keys to the file.
#   bench/console/paste.sh [BUILD-DIR]     (default: build)
#   PASTE_SIZES="100000 1000000" PASTE_RUNS=3 PASTE_INSTRUCTIONS=1 (defaults)
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
build=$(cd "$build" && pwd)
for tool in xclip xdotool; do
  command -v $tool >/dev/null || { echo "$tool is missing (tools/install-deps --test)"; exit 2; }
done
if [ -z "$QEL_PASTE_INNER" ]; then
  QEL_PASTE_INNER=1 exec "$here/../../tests/gui_xvfb.sh" "$0" "$build"
fi
qel=$build/qel
sizes=${PASTE_SIZES:-100000 1000000}
runs=${PASTE_RUNS:-3}
work=$(mktemp -d)
clip=
pid=
trap '[ -n "$clip" ] && kill $clip 2>/dev/null; [ -n "$pid" ] && kill $pid 2>/dev/null; rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir -p "$XDG_CONFIG_HOME/qel/Qel-Console"
printf 'Qel [\n\tPurpose: "Qel Console Configuration File"\n]\n\nwin-pos: (200, 200) win-size: 760x500 font-name: "DejaVu Sans Mono" font-size: 11\n' \
  >"$XDG_CONFIG_HOME/qel/Qel-Console/console-cfg.qel"
now() { date +%s.%N; }
# wait_for FILE SECONDS: true when the file came in time.
wait_for() {
  end=$(echo "$(now) + $2" | bc)
  while [ ! -s "$1" ]; do
    [ "$(echo "$(now) > $end" | bc)" = 1 ] && return 1
    sleep 0.02
  done
}
total() { callgrind_annotate "$1" 2>/dev/null | sed -n 's/^ *\([0-9,]*\) .*PROGRAM TOTALS.*/\1/p'; }

# paste SIZE [valgrind]: starts the console (under callgrind, counting
# from the keys on, with `valgrind`), pastes the line of SIZE characters and
# enters it; prints the seconds from the keys to the file.
paste() {
  rm -f ready.txt pasted.txt
  { printf 'write %%pasted.txt length? "'; yes 0123456789 | tr -d '\n' | head -c "$1"; printf '"'; } >line.txt
  xclip -selection clipboard -quiet -i line.txt >/dev/null 2>&1 &
  clip=$!
  if [ "$2" = valgrind ]; then
    valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$work/paste.out" "$qel" 2>/dev/null &
  else
    "$qel" 2>/dev/null &
  fi
  pid=$!
  wid=$(timeout 120 xdotool search --sync --onlyvisible --name "^Qel Console$" | head -1)
  xdotool windowfocus --sync "$wid"
  xdotool type 'write %ready.txt "r"'
  xdotool key Return
  wait_for ready.txt 120 || { echo "the console never ran a typed line" >&2; exit 1; }
  [ "$2" = valgrind ] && callgrind_control -i on $pid >/dev/null 2>&1
  t0=$(now)
  xdotool key ctrl+v Return
  wait_for pasted.txt 1800 || { echo "the pasted line never ran" >&2; exit 1; }
  printf '%.3f\n' "$(echo "$(now) - $t0" | bc)"
  if [ "$2" = valgrind ]; then
    callgrind_control -i off $pid >/dev/null 2>&1
    callgrind_control -d $pid >/dev/null 2>&1
  fi
  kill $pid $clip 2>/dev/null
  wait $pid 2>/dev/null
  pid=
  clip=
}

for size in $sizes; do
  times=
  i=0
  while [ $i -lt "$runs" ]; do
    times="$times $(paste "$size")"
    i=$((i + 1))
  done
  median=$(echo $times | tr ' ' '\n' | sort -g | sed -n "$(((runs + 1) / 2))p")
  line="a pasted line of $size characters, Ctrl+V and Return to its result: median $median s (of$times)"
  if [ "${PASTE_INSTRUCTIONS:-1}" = 1 ] && command -v valgrind >/dev/null; then
    paste "$size" valgrind >/dev/null
    line="$line; $(total "$work/paste.out.1") instructions"
  fi
  echo "$line"
done
