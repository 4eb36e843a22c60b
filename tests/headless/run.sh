#!/bin/sh
# Runs qel-headless with standard input from a file and compares what it
# prints with the expected text.
#   run.sh QEL-HEADLESS DIR
# For each DIR/NAME.qel: NAME.in (or no input at all) gives standard input and
# NAME.out the expected output; NAME-eof.out, when present, is the output with
# standard input empty from the start.
# For each DIR/NAME.in without a NAME.qel: the prompt loop reads NAME.in;
# NAME.env, when present, holds VAR=value words for its environment. The
# banner's version is written "VERSION" in NAME.out; the loop runs in a
# temporary directory, written "TMP".
qel=$1
dir=$2
status=0
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
compare() {  # what, expected file, actual text
  expected=$(cat "$2"; echo "rc=0")
  if [ "$3" != "$expected" ]; then
    echo "FAIL: $1"
    printf '%s\n' "$expected" > "$tmp/expected"
    printf '%s\n' "$3" > "$tmp/actual"
    diff "$tmp/expected" "$tmp/actual" | head -40
    status=1
  fi
}
check() {  # script input expected
  compare "$1 < $2" "$3" "$("$qel" "$1" < "$2"; echo "rc=$?")"
}
for script in "$dir"/*.qel; do
  base=${script%.qel}
  input=/dev/null
  [ -f "$base.in" ] && input=$base.in
  check "$script" "$input" "$base.out"
  [ -f "$base-eof.out" ] && check "$script" /dev/null "$base-eof.out"
done
for input in "$dir"/*.in; do
  base=${input%.in}
  [ -f "$base.qel" ] && continue
  vars=
  [ -f "$base.env" ] && vars=$(cat "$base.env")
  actual=$(cd "$tmp" && env $vars "$qel" < "$input" > "$tmp/out"; rc=$?
           sed -e 's/^--== Qel .* ==-- $/--== Qel VERSION ==-- /' -e "s|$tmp|TMP|g" "$tmp/out"; echo "rc=$rc")
  compare "prompt loop < $input" "$base.out" "$actual"
done
exit $status
