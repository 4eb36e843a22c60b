#!/bin/sh
# Exit statuses and fault reports of whole processes.
# The checks of qel are independent processes, each a whole start-up: they
# run side by side, and every verdict is printed, in order, once all have
# ended. The probe's faults and signals run one after another, in the
# foreground.
qel=$1
probe=$2
# qel without a display: the text console (with a display it would be the
# graphical one; tests/gui/console_app.sh checks that road).
unset DISPLAY WAYLAND_DISPLAY
build=${3:-plain}   # "sanitized": the sanitizers report faults themselves
fail=0
results=$(mktemp -d)
tmp=$(mktemp -d)
trap 'rm -rf "$results" "$tmp"' EXIT
n=0
# next: names the file of the next verdict, in $slot.
next() {
  n=$((n + 1))
  slot=$results/$(printf '%03d' $n)
}
verdict() {  # name, expected status, expected text on stderr (or ""), command...
  name=$1; want=$2; text=$3; shift 3
  err=$("$@" 2>&1 >/dev/null); got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL $name: status $got, expected $want"
  elif [ -n "$text" ] && ! printf '%s' "$err" | grep -q "$text"; then
    echo "FAIL $name: stderr lacks '$text': $err"
  else
    echo "ok   $name"
  fi
}
check() {  # as verdict, in the background
  next
  verdict "$@" >"$slot" 2>&1 &
}
check_here() {  # as verdict, in the foreground
  next
  verdict "$@" >"$slot" 2>&1
}
# Under the collector stress, start-up itself is checked here (the stress
# otherwise begins where start-up ends): the one stressed boot of the suite.
if [ -n "$QEL_GC_STRESS" ] && [ "$QEL_GC_STRESS" != 0 ]; then
  check "qel starts under the collector stress (from the library) and exits 0" 0 \
    "boot image: not taken: the environment asks for start-up from the library" \
    env QEL_GC_STRESS=boot QEL_BOOT_REPORT=1 "$qel"
else
  check "qel starts and exits 0" 0 "" "$qel"
fi
mkdir "$tmp/dir"
printf 'Qel [Title: "fails"]\nprint "before"\n1 / 0\nprint "after"\n' > "$tmp/fail.qel"
check "an uncaught error exits 254" 254 "\*\*\* Math Error: attempt to divide by zero" "$qel" "$tmp/fail.qel"
next
(
  out=$("$qel" "$tmp/fail.qel" 2>/dev/null)
  if [ "$out" = "before" ]; then echo "ok   the script stops at the error"; else echo "FAIL script output: $out"; fi
) >"$slot" 2>&1 &
printf 'print "no header"\n' > "$tmp/noheader.qel"
check "a script without header exits 254" 254 "Qel header not found!" "$qel" "$tmp/noheader.qel"
check "a missing script exits 254" 254 "\*\*\* Access Error: cannot open: %.*/missing.qel" "$qel" "$tmp/missing.qel"
check "a directory given as the script exits 254" 254 "cannot open: .*/dir is a directory, not a script" "$qel" "$tmp/dir"
check "a script under a file, not a directory, exits 254" 254 "cannot open:" "$qel" "$tmp/fail.qel/x.qel"
if [ "$(id -u)" != 0 ]; then
  printf 'Qel []\nprint 1\n' > "$tmp/unreadable.qel"; chmod 000 "$tmp/unreadable.qel"
  check "an unreadable script exits 254" 254 "cannot open: %.*unreadable.qel" "$qel" "$tmp/unreadable.qel"
fi
# An error whose argument cannot be written whole is reported itself, cut.
printf 'Qel []\ns: copy "unset %sz z/" append/dup s "(" 2000 append/dup s ")" 2000\ndo s\n' "'" > "$tmp/deep.qel"
check "an error with an argument too deep to write" 254 "\.\.\. has no value at z" "$qel" "$tmp/deep.qel"
# Filling the whole memory region with ever smaller blocks, the last ones
# outside any try, leaves no room for more: whether the error that says so
# still fits or not, the report comes, and the exit. It runs without the
# collector stress: a collection at every one of the millions of
# allocations, each over a heap that grows to the whole region, would take
# hours.
printf 'Qel []\nb: copy []\nforeach n [100000 10000 1000 100 10] [attempt [forever [append/only b make block! n]]]\nforever [append/only b make block! 1]\nprint "not reached"\n' > "$tmp/full.qel"
check "a full memory region is reported, not a crash" 254 "not enough memory" env -u QEL_GC_STRESS "$qel" "$tmp/full.qel"
# The interactive loop shows a result too deep to show whole (cut at the
# console's width), and goes on.
next
(
  out=$(printf 'b: [] loop 2000 [b: reduce [b]]\n1 + 1\n' | "$qel" 2>&1); got=$?
  if [ "$got" = 0 ] && printf '%s' "$out" | grep -q "== \[\[\[.*\.\.\." &&
     printf '%s' "$out" | grep -q "== 2"; then
    echo "ok   the prompt survives a result too deep to show"
  else
    echo "FAIL prompt after a too deep result: status $got: $out"
  fi
) >"$slot" 2>&1 &
check_here "probe ok" 0 "" "$probe" ok
if [ "$build" = plain ]; then
check_here "segmentation fault" 32 "\*\*\* Runtime Error 32: segmentation fault" "$probe" segv
check_here "integer divide" 13 "\*\*\* Runtime Error 13: integer divide by zero" "$probe" divide
check_here "stack overflow" 19 "\*\*\* Runtime Error 19: stack error or overflow" "$probe" stack
fi
check_here "an interrupt ends the process with status 130" 130 "" "$probe" interrupt
check_here "a termination request ends it with status 143" 143 "" "$probe" terminate
[ "$build" = plain ] && check_here "report has an address line" 32 "\*\*\* at: [0-9A-F]\{8\}h" "$probe" segv
wait
for f in "$results"/*; do
  cat "$f"
  grep -q '^FAIL' "$f" && fail=1
done
exit $fail
