#!/bin/sh
# An error that nothing catches while a window is up: its report goes to
# standard error, an error box shows it, and once the box is closed (Return,
# through the X server) the process exits with 254.
# Usage (under tests/gui_xvfb.sh): error_box.sh QEL
qel=$1
# A whole process: the collector-stress mode would only slow its start-up
# (minutes under the sanitizers); the GUI scripts of qel-test-runner run the
# windows under it.
unset QEL_GC_STRESS
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
cat >"$dir/script.qel" <<'QEL'
Qel []
view/no-wait [button "x"]
1 / 0
QEL
# Started as a launcher starts it (no terminal, output not to a pipe or a
# file): from a shell the report alone ends the process
# (tests/cli/command_line.py).
( "$qel" "$dir/script.qel" </dev/null >/dev/null 2>"$dir/err"; echo $? >"$dir/rc" ) &
if ! timeout 120 xdotool search --sync --name "Qel: error" >/dev/null; then
  echo "no error box"
  cat "$dir/err"
  exit 1
fi
# Return closes the box: pressed again while the process lives on, since a
# key that comes before the box takes the focus is lost
i=0
while [ ! -s "$dir/rc" ] && [ $i -lt 120 ]; do
  xdotool key Return
  i=$((i + 1))
  sleep 0.5
done
wait
rc=$(cat "$dir/rc" 2>/dev/null)
fail=0
[ "$rc" = 254 ] || { echo "exit status $rc, not 254"; fail=1; }
grep -q '^\*\*\* Math Error: attempt to divide by zero' "$dir/err" || { echo "no report on standard error:"; cat "$dir/err"; fail=1; }
exit $fail
