#!/bin/sh
# A long line pasted into the graphical console on the user's road, under
# tests/gui_xvfb.sh: the clipboard set by xclip, Ctrl+V and Return sent with
# xdotool to the console's window. A line of a megabyte runs within 30
# seconds (a tenth of that here when it is laid out a visible row at a
# time; many minutes when the text engine takes the whole line), and the
# console answers typed lines after it.
# Usage: console_paste.sh QEL
qel=$1
command -v xclip >/dev/null || { echo "xclip is missing (tools/install-deps --test)"; exit 77; }
dir=$(mktemp -d) || exit 1
clip=
pid=
trap '[ -n "$clip" ] && kill $clip 2>/dev/null; [ -n "$pid" ] && kill $pid 2>/dev/null; seen_err; rm -rf "$dir"' EXIT
. "$(dirname "$0")/checks.sh"

# One line of a million characters in a string, with no space: the text
# engine finds no place to break it, which costs the most.
{
  printf 'write %%pasted.txt length? "'
  yes 0123456789 | tr -d '\n' | head -c 1000000
  printf '"'
} >"$dir/line.txt"
xclip -selection clipboard -quiet -i "$dir/line.txt" >/dev/null 2>&1 &
clip=$!

(cd "$dir" && exec "$qel" </dev/null 2>"$dir/err") &
pid=$!
wid=$(timeout $((30 * slow)) xdotool search --sync --onlyvisible --name "^Qel Console$" | head -1)
if [ -z "$wid" ]; then
  echo "FAIL the console's window never showed: $(cat "$dir/err")"
  exit 1
fi
xdotool mousemove --window "$wid" 300 200
xdotool windowfocus --sync "$wid"
xdotool type --delay 20 'write %ready.txt "r"'
xdotool key Return
wait_file ready.txt 20 || { echo "FAIL the first typed line: $(cat "$dir/err")"; exit 1; }

start=$(date +%s)
xdotool key ctrl+v Return
if wait_file pasted.txt 30; then
  [ "$(cat "$dir/pasted.txt")" = 1000000 ] &&
    ok "a pasted line of a megabyte runs ($(($(date +%s) - start)) s)" ||
    bad "the pasted line's string: $(head -c 100 "$dir/pasted.txt")"
else
  bad "a pasted line of a megabyte has not run after 30 s: $(cat "$dir/err")"
fi

xdotool type --delay 20 'write %after.txt "a"'
xdotool key Return
wait_file after.txt 20 && ok "a line typed after it runs" || bad "the line typed after it: $(cat "$dir/err")"
exit $fail
