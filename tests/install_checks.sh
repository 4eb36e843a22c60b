#!/bin/sh
# `cmake --install` to a temporary prefix: qel alone in bin/, its GUI backend
# module in lib/qel/. The installed qel, run as a command-line program,
# starts from the boot image it carries, opens a window: its module is found
# from its own location (nothing lies beside it), and prints what the window
# holds.
# Usage: install_checks.sh BUILD-DIR (under tests/gui_xvfb.sh)
set -e
# (where the files go and where qel finds them: the collector-stress mode
# would only slow it)
unset QEL_GC_STRESS
# A sanitized build lists the leaks its suppressions hid when it ends: that
# list is no report of ours, and the checks below read stderr whole.
LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}print_suppressions=0"
export LSAN_OPTIONS
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix" >/dev/null
in_bin=$(ls "$prefix/bin")
if [ "$in_bin" != qel ]; then
  echo "bin/ holds: $in_bin"
  exit 1
fi
if [ ! -f "$prefix/lib/qel/qel-backend.so" ]; then
  echo "no lib/qel/qel-backend.so under the prefix:"
  find "$prefix"
  exit 1
fi
# It starts from the boot image it carries inside (nothing lies beside it).
printf 'Qel []\n' >"$prefix/empty.qel"
why=$(QEL_BOOT_REPORT=1 "$prefix/bin/qel" "$prefix/empty.qel" </dev/null 2>&1 >/dev/null)
if [ "$why" != "boot image: taken" ]; then
  echo "the installed qel does not start from its image: $why"
  exit 1
fi
cat >"$prefix/s.qel" <<'QEL'
Qel []
view/no-wait [button "installed"]
print ["shown" system/view/screens/1/pane/1/pane/1/text]
unview/all
QEL
status=0
out=$("$prefix/bin/qel" "$prefix/s.qel" </dev/null 2>"$prefix/err") || status=$?
if [ "$status" != 0 ] || [ "$out" != "shown installed" ] || [ -s "$prefix/err" ]; then
  printf 'the installed qel: status %s, output:\n%s\nerrors:\n' "$status" "$out"
  cat "$prefix/err"
  exit 1
fi
echo "installed: qel in bin/, the module loaded from lib/qel/: ok"
