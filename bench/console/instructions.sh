#!/bin/sh
# Instructions (callgrind) the graphical console spends on the three roads
# that bench/console/run.sh times, counted on the same X server set-up
# (tests/gui_xvfb.sh): start-up until the window has shown its prompt, 20
# typed keys (10 letters and 10 Backspaces, counted from the first key to a
# second after the last) with 10,000 lines in the buffer, and a script that
# prints 20,000 lines of 80 characters (the whole process). Counts do not
# depend on the machine's load, as the times beside them do.
#   bench/console/instructions.sh [BUILD-DIR]     (default: build)
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
build=$(cd "$build" && pwd)
command -v valgrind >/dev/null || { echo "valgrind is missing"; exit 2; }
if [ -z "$QEL_INSTRUCTIONS_INNER" ]; then
  QEL_INSTRUCTIONS_INNER=1 exec "$here/../../tests/gui_xvfb.sh" "$0" "$build"
fi
qel=$build/qel
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir -p "$XDG_CONFIG_HOME/qel/Qel-Console"
printf 'Qel [\n\tPurpose: "Qel Console Configuration File"\n]\n\nwin-pos: (200, 200) win-size: 760x500 font-name: "DejaVu Sans Mono" font-size: 11\n' \
  >"$XDG_CONFIG_HOME/qel/Qel-Console/console-cfg.qel"
total() { callgrind_annotate "$1" 2>/dev/null | sed -n 's/^ *\([0-9,]*\) .*PROGRAM TOTALS.*/\1/p'; }
shown() { timeout 120 xdotool search --sync --onlyvisible --name "^Qel Console$" | head -1; }

# Start-up: the first window and its prompt, then two seconds of nothing.
valgrind --tool=callgrind --callgrind-out-file="$work/start" "$qel" 2>/dev/null &
pid=$!
shown >/dev/null
sleep 4
callgrind_control -d $pid >/dev/null 2>&1
kill $pid; wait $pid 2>/dev/null
echo "start-up to the first prompt:       $(total "$work/start.1") instructions"

# Typing: counted from the first key on.
printf 'Qel []\ngui-console-ctx/caret-rate: none\ngui-console-ctx/caret/rate: none\nrepeat i 10000 [print i]\n' >prep.qel
valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$work/keys" "$qel" --catch prep.qel 2>/dev/null &
pid=$!
xdotool windowfocus --sync "$(shown)"
sleep 8
callgrind_control -i on $pid >/dev/null 2>&1
for k in x x x x x x x x x x BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace; do
  xdotool key $k
  sleep 0.1
done
sleep 1
callgrind_control -i off $pid >/dev/null 2>&1
callgrind_control -d $pid >/dev/null 2>&1
kill $pid; wait $pid 2>/dev/null
echo "20 typed keys, painted:             $(total "$work/keys.1") instructions"

# Output: the whole process.
printf 'Qel []\nline: copy/part "0123456789 The quick brown fox jumps over the lazy dog; pack my box with five dozen" 80\nloop 20000 [print line]\nquit\n' >lines.qel
# (--catch: in the console window, not as a command-line program.)
valgrind --tool=callgrind --callgrind-out-file="$work/lines" "$qel" --catch lines.qel 2>/dev/null
echo "20,000 printed lines (the process): $(total "$work/lines") instructions"
