#!/bin/sh
# The graphical console as a whole process, under tests/gui_xvfb.sh: a first
# run and the file it saves, a session driven from inside (keys, mouse wheel,
# clipboard, menu bar, dialogs, long work; tests/gui/console/drive.qel),
# printed lines scrolled by the real wheel, start-up with scripts, a
# configuration with values that cannot be used, and a save that fails.
# Lines on standard input go to the text console. qel runs as it does
# started from a desktop launcher: no terminal, its standard input and
# output not a pipe or a file (from a shell a script is a command-line
# program, tests/cli/command_line.py).
# Usage: console_app.sh QEL ARTIFACT-DIR
qel=$1
artifacts=$2
here=$(cd "$(dirname "$0")" && pwd)
dir=$(mktemp -d) || exit 1
trap 'seen_err; rm -rf "$dir"' EXIT
cfg=$XDG_CONFIG_HOME/qel/Qel-Console/console-cfg.qel
mkdir -p "$artifacts"
# Under the collector stress only the first run is made, with longer limits.
. "$here/checks.sh"
# run NAME SECONDS COMMAND...: runs it in $dir with a time limit, as a
# launcher starts it; its exit status in $rc, its standard error in $dir/err.
run() {
  name=$1; limit=$2; shift 2
  limit=$((limit * slow))
  (cd "$dir" && timeout "$limit" "$@" </dev/null >/dev/null 2>"$dir/err")
  rc=$?
  seen_err
  [ "$rc" = 124 ] && bad "$name: still running after $limit s"
}
# wait_for PID SECONDS: waits for the process, killed after that long; its
# exit status in $rc.
wait_for() {
  (sleep $(($2 * slow)); kill "$1") >/dev/null 2>&1 &
  watchdog=$!
  wait "$1"
  rc=$?
  kill "$watchdog" 2>/dev/null
  wait "$watchdog" 2>/dev/null
  seen_err
}
# The window of a qel started in the background, focused for the keyboard.
window() {
  wid=$(timeout $((30 * slow)) xdotool search --sync --onlyvisible --name "^Qel Console$" | head -1)
  [ -n "$wid" ] || return 1
  xdotool mousemove --window "$wid" 100 100
  xdotool windowfocus --sync "$wid" 2>/dev/null
  return 0
}
# prompt_painted: waits until the window $wid shows its first prompt: three
# lines of dark text (the banner's two, then the prompt) on the light
# background of its text area, below the menu bar and left of the scroll bar.
prompt_painted() {
  /usr/bin/python3 - "$wid" $((30 * slow)) <<'PY'
import os, subprocess, sys, time
from PIL import ImageGrab
wid, limit = sys.argv[1], time.monotonic() + float(sys.argv[2])
def lines():
    out = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid],
                         capture_output=True, text=True).stdout
    g = dict(kv.split("=", 1) for kv in out.split())
    x, y, w, h = (int(g[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
    im = ImageGrab.grab(bbox=(x, y + 24, x + w - 20, y + h), xdisplay=os.environ["DISPLAY"]).convert("L")
    px, (iw, ih) = im.load(), im.size
    rows = [any(px[i, j] < 100 for i in range(0, iw, 2)) for j in range(ih)]
    return sum(1 for j in range(ih) if rows[j] and (j == 0 or not rows[j - 1]))
while time.monotonic() < limit:
    if lines() >= 3:
        sys.exit(0)
    time.sleep(0.05)
sys.exit(1)
PY
}
# session LINE SECONDS: qel with no script, LINE typed at its prompt once
# the prompt is painted; waits for the process, its exit status in $rc.
session() {
  (cd "$dir" && QEL_ARTIFACTS=$artifacts "$qel" </dev/null >/dev/null 2>"$dir/err") &
  pid=$!
  if window && prompt_painted; then
    xdotool type --delay 20 "$1"
    xdotool key Return
  fi
  wait_for $pid "$2"
}

# ---- a first run: typed keys, quit, and the defaults saved ------------------------------------
rm -rf "$XDG_CONFIG_HOME/qel"
session "quit" 30
expected=$(printf 'Qel [\n\tPurpose: "Qel Console Configuration File"\n]\n\nwin-pos: (200, 200)\nwin-size: 640x480\nfont-name: "Monospace"\nfont-size: 11\nfont-color: 0.0.0\nbackground: 252.252.252\nmouse-paste?: false\nmenu-bar?: true\ndark-mode?: no buffer-lines: 10000 history: ["quit"]')
if [ "$rc" = 0 ] && [ -f "$cfg" ] && [ "$(cat "$cfg")" = "$expected" ]; then
  ok "a first run saves the defaults (and the history)"
else
  bad "first run: status $rc, file: $(cat "$cfg" 2>&1)"
fi
[ "$slow" = 1 ] || exit $fail

# ---- a session driven from inside --------------------------------------------------------------
cp "$here/console/drive.qel" "$dir/"
session "do %drive.qel" 120
if [ -f "$dir/results.txt" ]; then cat "$dir/results.txt"; fi
if [ "$rc" != 0 ] || ! grep -q '^done$' "$dir/results.txt" 2>/dev/null || grep -q '^FAIL' "$dir/results.txt"; then
  bad "the driven session: status $rc, at step $(cat "$dir/step.txt"); stderr: $(cat "$dir/err")"
fi
[ -f "$artifacts/console-window.png" ] && ok "snapshot kept: $artifacts/console-window.png"

# ---- printing and scrolling, by the real wheel ------------------------------------------------
# A script prints 300 lines and stays (--catch); a probe face writes, at
# every tick of its timer, the first line shown, whether the prompt waits
# and a checksum of the whole window's pixels. The wheel scrolls three rows a notch; back at the end the
# window shows exactly what it showed before.
cat >"$dir/scroll.qel" <<'QEL'
Qel []
gui-console-ctx/caret-rate: none
gui-console-ctx/caret/rate: none
repeat i 300 [print ["line" i]]
t: gui-console-ctx/terminal
probe: make face! [type: 'base offset: 0x0 size: 1x1 rate: 20 actors: object [on-time: func [f e /local img][
	img: _gui-test 'snapshot gui-console-ctx/win
	write %view.txt mold reduce [pick t/lines t/top  t/ask?  checksum img/rgb 'crc32]
]]]
append gui-console-ctx/win/pane probe
QEL
# settled: waits until the prompt waits and the probe's report stays the
# same for a few ticks; the number of the first line shown in $first, the
# checksum in $sum.
settled() {
  n=0; last=; same=0
  while [ $n -lt $((100 * slow)) ]; do
    now=$(cat "$dir/view.txt" 2>/dev/null)
    if [ -n "$now" ] && [ "$now" = "$last" ]; then
      same=$((same + 1))
      if [ $same -ge 3 ]; then
        first=$(echo "$now" | sed -n 's/^\["line \([0-9]*\)" true .*/\1/p')
        sum=${now##* }
        [ -n "$first" ] && return 0
      fi
    else
      same=0
    fi
    last=$now
    sleep 0.2
    n=$((n + 1))
  done
  return 1
}
(cd "$dir" && "$qel" --catch scroll.qel 2>"$dir/err") &
pid=$!
if window && settled && [ "$first" -gt 200 ]; then
  end=$first; end_sum=$sum
  xdotool click 4
  settled && notch_sum=$sum && [ "$first" = $((end - 3)) ] && [ "$sum" != "$end_sum" ] &&
    ok "a wheel notch up scrolls the printed lines three rows" || bad "wheel up: from line $end: $(cat "$dir/view.txt")"
  xdotool click 4
  settled && [ "$first" = $((end - 6)) ] || bad "wheel up again: from line $end: $(cat "$dir/view.txt")"
  xdotool click 5
  settled && [ "$first" = $((end - 3)) ] && [ "$sum" = "$notch_sum" ] &&
    ok "a notch down shows again what the first notch up showed" || bad "wheel down: from line $end: $(cat "$dir/view.txt")"
  xdotool click 5
  settled && [ "$first" = "$end" ] && [ "$sum" = "$end_sum" ] &&
    ok "back at the end, the window shows the very pixels it showed" ||
    bad "wheel down again: from line $end: $(cat "$dir/view.txt")"
  xdotool type --delay 20 "quit"
  xdotool key Return
else
  bad "300 printed lines: $(cat "$dir/view.txt" "$dir/err" 2>&1)"
fi
wait_for $pid 30
[ "$rc" = 0 ] || bad "the printing session: status $rc"

# ---- start-up with a script --------------------------------------------------------------------
# Hidden until the first print; then the console stays open (here quit ends it).
cat >"$dir/prints.qel" <<'QEL'
Qel []
before: gui-console-ctx/win/visible?
print "hello"
write %prints.txt mold reduce [before gui-console-ctx/win/visible? last gui-console-ctx/terminal/lines]
quit
QEL
run "a script that prints" 30 "$qel" prints.qel
[ "$rc" = 0 ] && [ "$(cat "$dir/prints.txt" 2>&1)" = '[false true "hello"]' ] &&
  ok "a script's window stays hidden until the first print" ||
  bad "script that prints: status $rc: $(cat "$dir/prints.txt" "$dir/err" 2>&1)"
# Neither prints nor asks: never shown, and the process ends with 0.
printf 'Qel []\nwrite %%silent.txt mold gui-console-ctx/win/visible?\n' >"$dir/silent.qel"
run "a silent script" 30 "$qel" silent.qel
[ "$rc" = 0 ] && [ "$(cat "$dir/silent.txt" 2>&1)" = false ] && ok "a silent script never shows the window and exits 0" ||
  bad "silent script: status $rc: $(cat "$dir/silent.txt" "$dir/err" 2>&1)"
# --catch keeps the console open after the script, shown: the keys put
# in the queue are typed at its prompt.
cat >"$dir/catch.qel" <<'QEL'
Qel []
foreach k ["q" "u" "i" "t" "Return"] [_gui-test 'post-key reduce [gui-console-ctx/console k []]]
write %catch.txt "ran"
QEL
run "--catch" 30 "$qel" --catch catch.qel
[ "$rc" = 0 ] && [ -f "$dir/catch.txt" ] && grep -q '"quit"' "$cfg" && ok "--catch keeps the console open for typed lines" ||
  bad "--catch: status $rc: $(cat "$dir/err")"
# A script's error: reported in the window, then the prompt.
cat >"$dir/fails.qel" <<'QEL'
Qel []
foreach k ["d" "o" "space" "percent" "c" "h" "e" "c" "k" "period" "q" "e" "l" "Return"] [
	_gui-test 'post-key reduce [gui-console-ctx/console k []]
]
1 / 0
QEL
printf 'Qel []\nwrite %%fails.txt mold reduce [gui-console-ctx/win/visible? copy/part gui-console-ctx/terminal/lines 2]\nquit\n' >"$dir/check.qel"
run "a failing script" 30 "$qel" fails.qel
[ "$rc" = 0 ] && grep -q '^\[true \["\*\*\* Math Error: attempt to divide by zero" "\*\*\* Where: /"\]\]$' "$dir/fails.txt" 2>/dev/null &&
  ok "a script's error shows in the window, and the prompt follows" ||
  bad "failing script: status $rc: $(cat "$dir/fails.txt" "$dir/err" 2>&1)"
# A failing script from a shell (its output to a file): the report on
# standard error and status 254, no window that waits for a prompt.
printf 'Qel []\nprint "before"\n1 / 0\n' >"$dir/fails2.qel"
(cd "$dir" && timeout $((30 * slow)) "$qel" fails2.qel >"$dir/out" 2>"$dir/err")
rc=$?
seen_err
[ "$rc" = 254 ] && [ "$(cat "$dir/out")" = before ] && grep -q '^\*\*\* Math Error: attempt to divide by zero' "$dir/err" &&
  ok "from a shell, a script's error ends the process with 254" ||
  bad "failing script from a shell: status $rc: $(cat "$dir/err")"

# ---- a configuration with values that cannot be used ----------------------------------------
{
  printf 'Qel [Purpose: "x"]\nfont-size: "11" mouse-paste?: 1 history: ['
  i=1; while [ $i -le 150 ]; do printf '"%d" ' $i; i=$((i + 1)); done
  printf ']\n'
} >"$cfg"
cat >"$dir/bad.qel" <<'QEL'
Qel []
c: gui-console-ctx/cfg
write %bad.txt mold reduce [c/font-size c/mouse-paste? length? c/history copy/part gui-console-ctx/terminal/lines 2]
quit
QEL
run "bad settings" 30 "$qel" bad.qel
want='[11 false 150 [{Console configuration: font-size "11" cannot be used; 11 is used instead} {Console configuration: mouse-paste? 1 cannot be used; false is used instead}]]'
[ "$rc" = 0 ] && [ "$(cat "$dir/bad.txt" 2>&1)" = "$want" ] && ok "settings that cannot be used fall back, each with a message" ||
  bad "bad settings: status $rc: $(cat "$dir/bad.txt" "$dir/err" 2>&1)"
n=$(grep -o '"[0-9]*"' "$cfg" | wc -l)
grep -q 'font-size: 11' "$cfg" && [ "$n" = 100 ] && ok "the save keeps the 100 newest history entries" ||
  bad "saved after bad settings: $n entries: $(cat "$cfg")"

# ---- a configuration that lacks keys ---------------------------------------------------------
# The keys added from the defaults are saved a line each, as a first run's.
printf 'Qel []\nwin-pos: (300, 300)\n' >"$cfg"
printf 'Qel []\nquit\n' >"$dir/quit.qel"
run "missing keys" 30 "$qel" quit.qel
lines=$(sed -n '/^win-pos:/,$p' "$cfg")
expected=$(printf 'win-pos: (300, 300)\nwin-size: 640x480\nfont-name: "Monospace"\nfont-size: 11\nfont-color: 0.0.0\nbackground: 252.252.252\nmouse-paste?: false\nmenu-bar?: true\ndark-mode?: no buffer-lines: 10000 history: []')
[ "$rc" = 0 ] && [ "$lines" = "$expected" ] && ok "keys added to a configuration are saved a line each" ||
  bad "missing keys: status $rc, file: $(cat "$cfg")"

# ---- a save that fails -------------------------------------------------------------------------
# The configuration directory lies under a file: nothing can be made there.
: >"$dir/notadir"
printf 'Qel []\nquit\n' >"$dir/quit.qel"
(cd "$dir" && XDG_CONFIG_HOME=$dir/notadir timeout $((20 * slow)) "$qel" quit.qel </dev/null >/dev/null 2>"$dir/err")
rc=$?
seen_err
# (less the leak checker's list of suppressions in a sanitized build)
lines=$(sed '/^-----/,/^-----/d; /^$/d' "$dir/err" | wc -l)
[ "$rc" = 0 ] && [ "$lines" = 1 ] && grep -q "^\*\*\* The console's settings were not saved: " "$dir/err" &&
  ok "a failed save is reported once, and quit ends the process" ||
  bad "failed save: status $rc, stderr: $(cat "$dir/err")"

# ---- lines on standard input: the text console, with no note (which only a
# console on a terminal gets, tests/cli/command_line.py) ---------------------------------------
out=$(cd "$dir" && echo 'print 1 + 2' | timeout $((20 * slow)) "$qel" 2>"$dir/err")
[ ! -s "$dir/err" ] && printf '%s' "$out" | grep -q '^>> 3$' &&
  ok "lines on standard input go to the text console" || bad "lines on standard input: $out / $(cat "$dir/err")"
exit $fail
