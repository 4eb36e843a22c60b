#!/bin/sh
# The graphical console on the user's road, under tests/gui_xvfb.sh: real
# keys and clicks (xdotool, through the X server, GDK and GTK) on its
# prompt, its menu bar, its context menu and the font dialog. Each step
# types a line that writes a file, and waits for the file: the keys after
# the step reached the console.
# Usage: console_road.sh QEL
qel=$1
dir=$(mktemp -d) || exit 1
trap 'seen_err; rm -rf "$dir"' EXIT
. "$(dirname "$0")/checks.sh"
# own_window MIN MAX: waits for a window of the console's own that bears
# the program's name (a dialog, untitled; a menu's popup) and is MIN to MAX
# pixels wide; answers its id, or nothing after 20 s.
own_window() {
  i=0
  while [ $i -lt $((200 * slow)) ]; do
    for w in $(xdotool search --onlyvisible --name "^qel$" 2>/dev/null); do
      width=$(xdotool getwindowgeometry "$w" 2>/dev/null | sed -n 's/^ *Geometry: \([0-9]*\)x.*/\1/p')
      [ -n "$width" ] && [ "$width" -ge "$1" ] && [ "$width" -le "$2" ] && echo "$w" && return
    done
    sleep 0.1
    i=$((i + 1))
  done
}
# line TEXT: typed at the prompt, then Return.
line() {
  xdotool type --delay 20 "$1"
  xdotool key Return
}

(cd "$dir" && "$qel" </dev/null 2>"$dir/err") &
pid=$!
wid=$(timeout $((30 * slow)) xdotool search --sync --onlyvisible --name "^Qel Console$" | head -1)
if [ -z "$wid" ]; then
  kill $pid
  echo "FAIL the console's window never showed: $(cat "$dir/err")"
  exit 1
fi
xdotool mousemove --window "$wid" 300 200
xdotool windowfocus --sync "$wid"
line 'write %ready.txt "r"'
wait_file ready.txt || bad "the first typed line"

# ---- Tab completes and keeps the focus; Shift+Tab too ------------------------------------------
xdotool type --delay 20 'wri'
xdotool key Tab
line ' %tab.txt "t"'
wait_file tab.txt && ok "Tab completes the word and the keys after it reach the console" ||
  bad "after Tab: $(cat "$dir/err")"
xdotool key shift+Tab Tab
line 'write %shift-tab.txt "s"'
wait_file shift-tab.txt && ok "Shift+Tab and Tab on an empty line leave the focus in the console" ||
  bad "after Shift+Tab"

# Under the collector stress (collecting at every allocation) each typed
# key takes long: only the keys above are typed there.
if [ "$slow" != 1 ]; then
  kill $pid
  exit $fail
fi

# ---- the menu bar opens with the mouse; keys move and Return chooses -------------------------
xdotool mousemove --window "$wid" 18 10 click 1
xdotool key Right Right Down Return
line 'write %menu.txt mold gui-console-ctx/terminal/lines'
wait_file menu.txt && grep -q 'Ctrl + L' "$dir/menu.txt" && ok "Help > Keyboard Shortcuts chosen by a click and keys" ||
  bad "the menu bar: $(cat "$dir/menu.txt" 2>&1 | head -c 300)"

# ---- the context menu: a click on Copy, and keys, each opened by a right click ---------------
line 'print "zqz"'
xdotool key alt+a
xdotool mousemove --window "$wid" 300 200 click 3
if [ -n "$(own_window 20 299)" ]; then
  xdotool mousemove_relative 20 12 click 1
  line 'write %clip.txt read-clipboard'
  wait_file clip.txt && grep -q 'zqz' "$dir/clip.txt" && ok "a click on the context menu's Copy reaches the console" ||
    bad "a click on Copy: $(cat "$dir/clip.txt" 2>&1 | head -c 300)"
else
  bad "the context menu never showed"
fi
line 'print "qzq"'
xdotool mousemove --window "$wid" 300 200 click 3
xdotool key Down Down Down Return
xdotool mousemove --window "$wid" 300 200 click 3
xdotool key Down Return
line 'write %clip2.txt read-clipboard'
wait_file clip2.txt && grep -q 'qzq' "$dir/clip2.txt" && ok "the context menu's Select All and Copy chosen by keys" ||
  bad "the context menu by keys: $(cat "$dir/clip2.txt" 2>&1 | head -c 300)"
# Escape closes it, and the keys are the console's again
xdotool mousemove --window "$wid" 300 200 click 3
xdotool key Escape
line 'write %escape.txt "e"'
wait_file escape.txt && ok "Escape closes the context menu" || bad "after the context menu's Escape"

# ---- Options > Choose Font...: the dialog shows; Escape answers none --------------------------
xdotool mousemove --window "$wid" 18 10 click 1
xdotool key Right Down Return
dialog=$(own_window 300 2000)
if [ -n "$dialog" ]; then
  xdotool windowfocus --sync "$dialog"
  xdotool key Escape
  # (typed keys wait until the dialog has gone: while it shows it takes them)
  i=0
  while xdotool search --onlyvisible --name "^qel$" 2>/dev/null | grep -qx "$dialog" && [ $i -lt $((200 * slow)) ]; do
    sleep 0.1
    i=$((i + 1))
  done
  xdotool windowfocus --sync "$wid"
  line 'write %font.txt "f"'
  wait_file font.txt && ok "the font dialog shows, and Escape closes it" || bad "after the font dialog: $(cat "$dir/err")"
else
  bad "no font dialog: $(cat "$dir/err")"
fi

# ---- File > Quit ends the process -------------------------------------------------------------
xdotool mousemove --window "$wid" 18 10 click 1
xdotool key Down Down Return
(sleep $((20 * slow)); kill $pid) >/dev/null 2>&1 &
watchdog=$!
wait $pid
rc=$?
kill $watchdog 2>/dev/null
[ "$rc" = 0 ] && ok "File > Quit ends the console" || bad "File > Quit: status $rc: $(cat "$dir/err")"
exit $fail
