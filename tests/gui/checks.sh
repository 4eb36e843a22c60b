# What the console's display test scripts share; sourced after $dir is set.
# Under the collector stress (collecting at every allocation) the console's
# code runs many times slower: time limits are multiplied by $slow.
slow=1
[ -n "$QEL_GC_STRESS" ] && [ "$QEL_GC_STRESS" != 0 ] && slow=30
fail=0
# seen_err: copies $dir/err (the standard error of the process just run,
# kept there for the checks) to this script's standard error, where
# tests/gui_xvfb.sh looks for GTK and GLib warnings.
seen_err() { if [ -f "$dir/err" ]; then cat "$dir/err" >&2; fi; }
ok() { echo "ok   $1"; }
bad() { echo "FAIL $1"; fail=1; }
# wait_file NAME [SECONDS]: waits for $dir/NAME to be written (at most 20 s
# unless said); true when it came in time.
wait_file() {
  i=0
  while [ ! -s "$dir/$1" ] && [ $i -lt $((${2:-20} * 10 * slow)) ]; do sleep 0.1; i=$((i + 1)); done
  [ -s "$dir/$1" ]
}
