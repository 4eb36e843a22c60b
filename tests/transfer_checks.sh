#!/bin/sh
# Transfers at the top level of a script and of the interactive loop: a
# return, exit, break or throw that no frame takes is reported like any
# uncaught error, never ends the process another way.
qel=$1
fail=0
tmp=$(mktemp -d)
run() {  # name, expected status, expected stdout, stderr pattern (or ""), script body
  name=$1; want=$2; out_want=$3; err_want=$4
  printf 'Qel []\n%s\n' "$5" > "$tmp/s.qel"
  out=$("$qel" "$tmp/s.qel" 2>"$tmp/err"); got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL $name: status $got, expected $want: $(cat "$tmp/err")"; fail=1
  elif [ "$out" != "$out_want" ]; then
    echo "FAIL $name: output '$out', expected '$out_want'"; fail=1
  elif [ -n "$err_want" ] && ! grep -q "$err_want" "$tmp/err"; then
    echo "FAIL $name: stderr lacks '$err_want': $(cat "$tmp/err")"; fail=1
  else
    echo "ok   $name"
  fi
}
run "exit from an object body inside do leaves the function" 0 "unset" "" \
    'h: func [] [do [make object! [a: exit]] 5] print mold h'
run "exit outside any function is an uncaught error" 254 "1" "return or exit not in function" \
    'print 1 exit print 2'
run "exit from an object body outside any function" 254 "" "return or exit not in function" \
    'make object! [a: exit] print 2'
run "do of exit ends the script quietly" 0 "1" "" \
    'print 1 do [make object! [a: exit]] print 2'
run "break from a comparator outside any loop" 254 "" "no loop to break" \
    'sort/compare [3 1 2] func [a b] [make object! [a: break]] print 2'
run "throw with no catch" 254 "" "no catch for throw: 9" \
    'sort/compare [3 1 2] func [a b] [throw 9] print 2'
printf 'Qel []\nprint "in"\nmake object! [a: exit]\nprint "not here"\n' > "$tmp/inner.qel"
run "exit from an object body in a script run by do" 254 "in" "return or exit not in function" \
    "h: func [] [do %$tmp/inner.qel 5] print mold h"
out=$(printf 'h: func [] [do [make object! [a: return 7]] 5] h\nmake object! [a: exit]\n1 + 1\n' | "$qel" 2>&1); got=$?
if [ "$got" = 0 ] && printf '%s' "$out" | grep -q "== 7" &&
   printf '%s' "$out" | grep -q "return or exit not in function" && printf '%s' "$out" | grep -q "== 2"; then
  echo "ok   the prompt reports a stray exit and goes on"
else
  echo "FAIL prompt: status $got: $out"; fail=1
fi
rm -rf "$tmp"
exit $fail
