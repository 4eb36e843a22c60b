#!/bin/sh
# The console engine running scripts named on the command line (qel-headless):
# their arguments and current directory, header and read failures, --catch,
# and the exit statuses, interrupts included.
#   scripts.sh QEL-HEADLESS
qel=$1
fail=0
# Statuses, arguments and signals of whole processes: the collector-stress
# mode would only slow them (the engine's code runs under it in the
# transcripts of run.sh, start-up in the process checks).
unset QEL_GC_STRESS
# A process that ended early makes writes to its input fail, not this script.
trap '' PIPE
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
cd "$tmp" || exit 1
mkdir sub
printf 'Qel [Title: "args"]\nprint ["args:" mold system/options/args]\nprint ["script:" mold system/options/script]\nprint ["raw:" mold system/script/args]\nprint ["dir:" mold find/tail what-dir %%sub/]\n' > sub/args.qel
printf 'print 1\n' > noheader.qel
printf 'Qel/System []\nprint 1\n' > system.qel
printf 'Qel [\nprint 1\n' > unloadable.qel
printf 'Qel []\nprint "before"\n1 / 0\nprint "after"\n' > error.qel
printf 'Qel []\nprint "in" halt print "not here"\n' > halt.qel
printf 'some text first\nQel [] print "found"\n' > late.qel
printf 'Qel []\nprint "started" loop 1e9 []\n' > loop.qel

# name, expected status, expected stdout, stderr pattern ("" for empty), stdin text, command...
run() {
  name=$1; want=$2; out_want=$3; err_want=$4; input=$5; shift 5
  out=$(printf '%s' "$input" | "$@" 2>"$tmp/err"); got=$?
  err=$(cat "$tmp/err")
  if [ "$got" != "$want" ]; then
    echo "FAIL $name: status $got, expected $want: $err"; fail=1
  elif [ "$out" != "$out_want" ]; then
    echo "FAIL $name: output:"; printf '%s\n' "$out"; echo "expected:"; printf '%s\n' "$out_want"; fail=1
  elif [ -z "$err_want" ] && [ -n "$err" ]; then
    echo "FAIL $name: unexpected stderr: $err"; fail=1
  elif [ -n "$err_want" ] && ! printf '%s' "$err" | grep -q "$err_want"; then
    echo "FAIL $name: stderr lacks '$err_want': $err"; fail=1
  else
    echo "ok   $name"
  fi
}
nl='
'
run "the script's own arguments and directory" 0 \
  "args: [\"27\" \"a b\" \"\"]${nl}script: %sub/args.qel${nl}raw: {27 \"a b\" \"\"}${nl}dir: %\"\"" "" "" \
  "$qel" sub/args.qel 27 "a b" ""
run "-- before the script, an option after it" 0 \
  "args: [\"--x\"]${nl}script: %sub/args.qel${nl}raw: \"--x\"${nl}dir: %\"\"" "" "" \
  "$qel" -- sub/args.qel --x
run "an unknown option before the script" 2 "" "unknown option: --foo" "" "$qel" --foo -- sub/args.qel
run "--catch keeps the prompt loop after the script" 0 \
  "args: []${nl}script: %sub/args.qel${nl}raw: \"\"${nl}dir: %\"\"${nl}>> == 2${nl}>> " "" "1 + 1$nl" \
  "$qel" --catch sub/args.qel
run "a script in a missing directory is reported, nothing else runs" 254 "" \
  "cannot open: %missing/s.qel" "1 + 1$nl" "$qel" missing/s.qel
run "with --catch it is reported and the prompt loop runs" 0 \
  "*** Access Error: cannot open: %missing/s.qel${nl}*** Where: read${nl}*** Near : none${nl}*** Stack: ${nl}>> == 2${nl}>> " \
  "" "1 + 1$nl" "$qel" --catch missing/s.qel
run "a directory is no script" 254 "" "cannot open: \"sub is a directory, not a script\"" "" "$qel" sub
run "no header" 254 "" "^\*\*\* Error: Qel header not found!$" "" "$qel" noheader.qel
run "a system header" 254 "" "^\*\*\* Error: contains Qel/System code which requires compilation!$" "" \
  "$qel" system.qel
run "a script that does not load" 254 "" "missing \] at" "" "$qel" unloadable.qel
run "an error ends the script with its report" 254 "before" "Math Error: attempt to divide by zero" "" \
  "$qel" error.qel
run "with --catch the error is reported and the loop runs" 0 \
  "before${nl}*** Math Error: attempt to divide by zero${nl}*** Where: /${nl}*** Near : 1 / 0 print \"after\"${nl}*** Stack: ${nl}>> " \
  "" "" "$qel" --catch error.qel
run "halt ends the script quietly" 0 "in${nl}(halted)" "" "" "$qel" halt.qel
run "the header is found after other text" 0 "found" "" "" "$qel" late.qel

# Interrupts from outside. wait_for: until the file holds the text (at most
# about 30 s, then the test fails saying what did not come), so that the
# signal comes while the evaluation runs.
wait_for() {
  i=0
  while ! grep -q "$2" "$1" 2>/dev/null; do
    [ $i -lt 600 ] || { echo "FAIL no \"$2\" in $1 after 30 s"; fail=1; return 1; }
    sleep 0.05; i=$((i + 1))
  done
}
wait_lines() {  # until the file has that many lines
  i=0
  while [ "$(wc -l < "$1")" -lt "$2" ]; do
    [ $i -lt 600 ] || { echo "FAIL fewer than $2 lines in $1 after 30 s"; fail=1; return 1; }
    sleep 0.05; i=$((i + 1))
  done
}
# (A background command of a shell script starts with SIGINT ignored, which
# qel keeps ignored: these start with it as a foreground command has it.)
signal_script() {  # name, signal, expected status
  env --default-signal=INT "$qel" loop.qel > "$tmp/sig.out" 2>&1 &
  pid=$!
  wait_for "$tmp/sig.out" started
  kill -"$2" $pid
  wait $pid; got=$?
  if [ "$got" = "$3" ]; then echo "ok   $1"; else echo "FAIL $1: status $got"; fail=1; fi
}
signal_script "SIGINT ends a script with status 130" INT 130
signal_script "SIGTERM ends a script with status 143" TERM 143
# Started in the background as a shell script starts it, SIGINT ignored:
# it stays ignored, and SIGTERM ends the script.
"$qel" loop.qel > "$tmp/sig.out" 2>&1 &
pid=$!
wait_for "$tmp/sig.out" started
kill -INT $pid
kill -TERM $pid
wait $pid; got=$?
if [ "$got" = 143 ]; then echo "ok   a SIGINT ignored at start stays ignored"; else echo "FAIL SIGINT ignored at start: status $got"; fail=1; fi

# Typed lines: Ctrl+C stops the evaluation and the next command runs; at the
# prompt it drops the lines gathered so far.
mkfifo "$tmp/in"
env --default-signal=INT "$qel" < "$tmp/in" > "$tmp/typed.out" 2>&1 &
pid=$!
exec 3>"$tmp/in"
printf 'print "started" forever []\n' >&3
wait_for "$tmp/typed.out" started
kill -INT $pid
wait_for "$tmp/typed.out" halted
printf '[1 2\n' >&3
wait_for "$tmp/typed.out" '\[    '
kill -INT $pid
wait_lines "$tmp/typed.out" 6
printf '3 + 4\n' >&3
exec 3>&-
wait $pid; got=$?
expected=">> started${nl}(halted)${nl}>> [    ${nl}>> == 7${nl}>> "
actual=$(sed -n '4,$p' "$tmp/typed.out")
if [ "$got" = 0 ] && [ "$actual" = "$expected" ]; then
  echo "ok   Ctrl+C while typed lines run and at the prompt"
else
  echo "FAIL Ctrl+C on typed lines: status $got:"; cat "$tmp/typed.out"; fail=1
fi

# An interrupt taken anywhere, the engine's own steps between two commands
# included, stops at most the running command: the session reads on. The
# test trigger requests one at the first slow check after each prompt; loops
# of every length move that check through every step of the engine's loop.
n=1
while [ $n -le 4200 ]; do printf 'loop %d []\n' $n; n=$((n + 1)); done > sweep.in
printf 'print "still reading"\n' >> sweep.in
QEL_HALT_AFTER=1 "$qel" < sweep.in > sweep.out 2>&1; got=$?
if [ "$got" = 0 ] && [ "$(tail -n 2 sweep.out | head -n 1)" = ">> still reading" ]; then
  echo "ok   interrupts between commands leave the session reading"
else
  echo "FAIL interrupts between commands: status $got:"; tail -n 3 sweep.out; fail=1
fi
exit $fail
