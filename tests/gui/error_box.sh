#!/bin/sh
# An error that nothing catches while a window is up: its report goes to
# standard error, an error box shows it, and once the box is closed (Return,
# through the X server) the process exits with 254.
# Usage (under tests/gui_xvfb.sh): error_box.sh QEL
qel=$1
# A whole process: the collector-stress mode would only slow it (minutes
# under the sanitizers); the GUI scripts of qel-test-runner run the windows
# under it.
unset QEL_GC_STRESS
dir=$(mktemp -d) || exit 1
# (its standard error, kept in $dir/err, is copied to ours at the end:
# tests/gui_xvfb.sh looks there for GTK and GLib warnings)
trap 'cat "$dir/err" >&2 2>/dev/null; rm -rf "$dir"' EXIT
cat >"$dir/script.qel" <<'QEL'
Qel []
view/no-wait [button "x"]
1 / 0
QEL
# Started as a launcher starts it (no terminal, output not to a pipe or a
# file): from a shell the report alone ends the process
# (tests/cli/command_line.py).
"$qel" "$dir/script.qel" </dev/null >/dev/null 2>"$dir/err" &
pid=$!
wid=$(timeout 120 xdotool search --sync --onlyvisible --name "Qel: error" | head -1)
if [ -z "$wid" ]; then
  echo "no error box"
  cat "$dir/err"
  kill $pid 2>/dev/null
  exit 1
fi
# Return closes the box, once it has the keyboard's focus (a key that comes
# before would go elsewhere); the process then ends (a watchdog ends it if
# it does not).
xdotool windowfocus --sync "$wid"
xdotool key Return
(sleep 120; kill $pid) >/dev/null 2>&1 &
watchdog=$!
wait $pid
rc=$?
kill "$watchdog" 2>/dev/null
fail=0
[ "$rc" = 254 ] || { echo "exit status $rc, not 254"; fail=1; }
grep -q '^\*\*\* Math Error: attempt to divide by zero' "$dir/err" || { echo "no report on standard error:"; cat "$dir/err"; fail=1; }
exit $fail
