#!/bin/sh
# Start-up from damaged boot data ends with status 1 and the message.
fail=0
check() {  # probe, expected message
  err=$("$1" 2>&1 >/dev/null); got=$?
  if [ "$got" != 1 ] || [ "$err" != "$2" ]; then
    echo "FAIL $1: status $got, stderr '$err'"; fail=1
  else
    echo "ok   $2"
  fi
}
check "$1" "Error: Not a Qelbin file!"
check "$2" "Error: Qelbin compressed data corrupted!"
check "$3" "Error: Qelbin boot data corrupted!"
exit $fail
