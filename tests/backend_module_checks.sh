#!/bin/sh
# The core without its GUI backend module: a copy of qel-headless in a
# directory of its own (no qel-backend.so beside it). GUI routines raise a
# clear script error naming the routine and the missing module, the
# clipboard holds nothing, and the rest of Qel works.
# Usage: backend_module_checks.sh QEL-HEADLESS
set -e
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$1" "$dir/qel-headless"
cat >"$dir/check.qel" <<'QEL'
Qel []
foreach routine [fetch-all-screens init] [
	e: try [do reduce [in system/view/platform routine]]
	print [e/id e/arg1 to logic! find e/arg2 "qel-backend.so: cannot open"]
]
print mold read-clipboard
print mold write-clipboard "text"
print mold system/view/platform/make-null-handle
print 1 + 2
QEL
out=$(env -u DISPLAY "$dir/qel-headless" "$dir/check.qel" 2>&1)
expected='view-unavailable fetch-all-screens true
view-unavailable init true
none
false
handle!
3'
if [ "$out" != "$expected" ]; then
  printf 'expected:\n%s\ngot:\n%s\n' "$expected" "$out"
  exit 1
fi
echo "without the backend module: ok"
