#!/bin/sh
# Runs the clipboard unit tests under a private X server; exits 77 (skipped)
# when no X server can be started.
tests="$1"
command -v xvfb-run >/dev/null 2>&1 || { echo "xvfb-run not found"; exit 77; }
xvfb-run -a -s "-screen 0 1024x768x24" true >/dev/null 2>&1 || { echo "no X server starts"; exit 77; }
NO_AT_BRIDGE=1 GDK_BACKEND=x11 exec xvfb-run -a -s "-screen 0 1024x768x24" \
  "$tests" --gtest_filter='ClipboardTest.*'
