#!/bin/sh
# C++ memory sized by script data, refused by the OS under an address-space
# limit, raises the internal no-memory error that try catches, instead of
# ending the process: a stream read without end, the captured output of a
# process, a file written from a huge value. (Under the sanitizers, whose
# shadow memory takes more address space than any limit allows, nothing is
# checked.)
qel=$1
build=${2:-plain}
[ "$build" = sanitized ] && { echo "skipped under the sanitizers"; exit 0; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cat > "$tmp/s.qel" <<'QEL'
Qel []
r: try [read/binary %/dev/zero]
print ["read" r/id]
b: copy #{}
r: try [call/wait/output "head -c 800000000 /dev/zero" b]
print ["call" r/id]
s: make string! 100000000
append/dup s "x" 100000000
r: try [write/lines %/dev/null reduce [s s s s s]]
print ["write" r/id]
print "done"
QEL
# The memory region is reserved (4 GiB of address space) before anything
# runs, and the interpreter thread's stack 1 GiB: the limit leaves some 300 MB above both.
out=$(ulimit -v 5600000; "$qel" "$tmp/s.qel" 2>&1); status=$?
want="read no-memory
call no-memory
write no-memory
done"
if [ "$status" != 0 ] || [ "$out" != "$want" ]; then
  echo "FAIL: status $status, output:"; echo "$out"; exit 1
fi
echo ok
