#!/bin/sh
# Runs qel-headless scripts with standard input from a file and compares what
# they print with the expected text.
#   run.sh QEL-HEADLESS DIR
# For each DIR/NAME.qel: NAME.in (or no input at all) gives standard input and
# NAME.out the expected output; NAME-eof.out, when present, is the output with
# standard input empty from the start.
qel=$1
dir=$2
status=0
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
check() {  # script input expected
  actual=$("$qel" "$1" < "$2"; echo "rc=$?")
  expected=$(cat "$3"; echo "rc=0")
  if [ "$actual" != "$expected" ]; then
    echo "FAIL: $1 < $2"
    printf '%s\n' "$expected" > "$tmp/expected"
    printf '%s\n' "$actual" > "$tmp/actual"
    diff "$tmp/expected" "$tmp/actual" | head -40
    status=1
  fi
}
for script in "$dir"/*.qel; do
  base=${script%.qel}
  input=/dev/null
  [ -f "$base.in" ] && input=$base.in
  check "$script" "$input" "$base.out"
  [ -f "$base-eof.out" ] && check "$script" /dev/null "$base-eof.out"
done
exit $status
