#!/bin/sh
# The graphical console driven on the user's road, under tests/gui_xvfb.sh:
# keys, the wheel, clicks and the window's size sent as X events with
# xdotool (tests/gui/console/road.qel says what each step sends and checks).
# Usage: console_window.sh QEL
qel=$1
here=$(cd "$(dirname "$0")" && pwd)
dir=$(mktemp -d) || exit 1
# (its standard error, kept in $dir/err, is copied to ours at the end:
# tests/gui_xvfb.sh looks there for GTK and GLib warnings)
trap 'cat "$dir/err" >&2 2>/dev/null; rm -rf "$dir"' EXIT
cp "$here/console/road.qel" "$dir/"
(cd "$dir" && "$qel" 2>"$dir/err") &
pid=$!
wid=$(timeout 60 xdotool search --sync --onlyvisible --name "^Qel Console$" | head -1)
if [ -z "$wid" ]; then
  echo "FAIL the console window never showed: $(cat "$dir/err")"
  kill $pid 2>/dev/null
  exit 1
fi
echo "$wid" >"$dir/wid.txt"
xdotool mousemove --window "$wid" 100 100
xdotool windowfocus --sync "$wid" 2>/dev/null
xdotool type --delay 20 "do %road.qel"
xdotool key Return
# The session ends by itself (quit); a step that hangs is stopped (after
# three times as long under the collector stress, which slows every step).
limit=${ROAD_LIMIT:-300}
[ -n "$QEL_GC_STRESS" ] && [ "$QEL_GC_STRESS" != 0 ] && limit=$((limit * 3))
(sleep $limit; kill $pid) >/dev/null 2>&1 &
watchdog=$!
wait $pid
rc=$?
kill $watchdog 2>/dev/null
[ -f "$dir/results.txt" ] && cat "$dir/results.txt"
if [ "$rc" != 0 ] || ! grep -q '^done$' "$dir/results.txt" 2>/dev/null || grep -q '^FAIL' "$dir/results.txt"; then
  echo "FAIL the session: status $rc, at step $(cat "$dir/step.txt" 2>/dev/null); stderr: $(cat "$dir/err")"
  exit 1
fi
exit 0
