#!/bin/sh
# The core without a GUI backend module it can use: a copy of qel-headless in
# a directory of its own, first with no qel-backend.so beside it, then with
# a module from another build (the build's module with its build identity
# changed). GUI routines raise a clear script error naming the routine and
# why the module is not there, the clipboard holds nothing, and the rest of
# Qel works.
# Usage: backend_module_checks.sh QEL-HEADLESS (qel-backend.so beside it)
set -e
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$1" "$dir/qel-headless"
cat >"$dir/check.qel" <<'QEL'
Qel []
reason: any [get-env "REASON" ""]
foreach routine [fetch-all-screens init] [
	e: try [do reduce [in system/view/platform routine]]
	print [e/id e/arg1 to logic! find e/arg2 reason]
]
print mold read-clipboard
print mold write-clipboard "text"
print mold system/view/platform/make-null-handle
print 1 + 2
QEL
# check REASON: the script's output, the error naming REASON.
check() {
  out=$(env -u DISPLAY REASON="$1" "$dir/qel-headless" "$dir/check.qel" 2>&1)
  if [ "$out" != "$expected" ]; then
    printf 'with %s, expected:\n%s\ngot:\n%s\n' "$1" "$expected" "$out"
    exit 1
  fi
}
expected='view-unavailable fetch-all-screens true
view-unavailable init true
none
false
handle!
3'
check "qel-backend.so is neither in $dir/../lib/qel nor in $dir"
echo "without the backend module: ok"

# A module of the same table from another build: the same file with the
# random part of its identity changed, which leaves every offset as it was.
module=$(dirname "$1")/qel-backend.so
grep -qa 'qel-build-[0-9T]*-[0-9a-f]\{12\}' "$module" || { echo "no build identity in $module"; exit 1; }
perl -pe 's/(qel-build-[0-9T]+-)[0-9a-f]{12}/${1}000000000000/g' "$module" >"$dir/qel-backend.so"
check "comes from another build of qel"
echo "a module from another build: ok"
