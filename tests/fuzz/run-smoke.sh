#!/bin/sh
# Builds the fuzz targets with clang and runs them side by side, one process
# each: for 60 seconds (or $1 seconds) the lexer's (qel-fuzz-load), PARSE's
# (qel-fuzz-parse) and the evaluator's (qel-fuzz-eval); for half that time
# the inflater's (qel-fuzz-inflate), the base decoders' (qel-fuzz-debase) and
# the image decoders' (qel-fuzz-image); for 20 seconds the LZ stream's
# (qel-fuzz-lz) and the QELBIN decoder's (qel-fuzz-qelbin). Each fuzzer has
# its own corpus directory and its own log; the logs are printed one after
# the other once all have ended.
#
# Exits non-zero, naming the fuzzers concerned, when one finds a crash, a
# hang, a disagreement between the lexer's scan and load modes, or a run that
# raises an internal error or leaves its stacks behind; the input is then in
# $dir/<fuzzer>-crash-* (or -timeout-*, -oom-*). Known crashing inputs are
# kept apart, in tests/fuzz/crashers, never in the seeds.
#
# run-smoke.sh --build only builds the targets (./test starts it early, beside
# the test passes). Arguments -DNAME=VALUE go to the configuration of the
# fuzz build (-DQEL_UNITY=ON builds it as unity batches); one given once
# stays in that build's cache.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build_only=""
seconds=60
options=""
for arg in "$@"; do
  case "$arg" in
    --build) build_only=1 ;;
    -D*) options="$options $arg" ;;
    *) seconds=$arg ;;
  esac
done
half=$(( (seconds + 1) / 2 ))
dir=${QEL_FUZZ_BUILD:-$root/build-fuzz}
clangxx=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$clangxx" ]; then
  echo "run-smoke: clang++ not found" >&2
  exit 1
fi
launcher=""
command -v ccache >/dev/null 2>&1 && launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
# shellcheck disable=SC2086
cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$clangxx" $launcher $options >/dev/null
cmake --build "$dir" --target qel-fuzz-load qel-fuzz-parse qel-fuzz-eval qel-fuzz-inflate \
  qel-fuzz-debase qel-fuzz-image qel-fuzz-lz qel-fuzz-qelbin
[ -z "$build_only" ] || exit 0
cd "$dir"
mkdir -p corpus corpus-parse corpus-eval corpus-inflate corpus-debase corpus-image corpus-lz \
  corpus-qelbin
# Seeds: a few literals of every kind for the lexer (and for the QELBIN
# target, which loads source text and encodes it); generator choices for the
# evaluator; streams and images for their decoders.
find "$here/seeds" -maxdepth 1 -type f -exec cp {} corpus/ \;
find "$here/seeds" -maxdepth 1 -type f -exec cp {} corpus-qelbin/ \;
cp "$here"/seeds/eval/* corpus-eval/
cp "$here"/seeds-inflate/* corpus-inflate/
cp "$here"/seeds-image/* corpus-image/
export ASAN_OPTIONS=detect_leaks=0
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# fuzz NAME SECONDS MAX-LEN CORPUS: starts qel-fuzz-NAME in the background;
# its output goes to $logs/NAME, its exit status to $logs/NAME.status.
# An input counts as a hang after 30 seconds: the eight fuzzers share the
# machine's cores, and on two cores one evaluator input under the collector
# stress can take more than 10 seconds without hanging.
fuzz() {
  (
    status=0
    "./qel-fuzz-$1" -max_total_time="$2" -max_len="$3" -timeout=30 -print_final_stats=1 \
      -artifact_prefix="$1-" "$4" >"$logs/$1" 2>&1 || status=$?
    echo "$status" >"$logs/$1.status"
  ) &
}

fuzz load "$seconds" 4096 corpus
fuzz parse "$seconds" 4096 corpus-parse
fuzz eval "$seconds" 4096 corpus-eval
fuzz inflate "$half" 65536 corpus-inflate
fuzz debase "$half" 4096 corpus-debase
fuzz image "$half" 65536 corpus-image
fuzz lz 20 65536 corpus-lz
fuzz qelbin 20 4096 corpus-qelbin
wait

failed=""
for name in load parse eval inflate debase image lz qelbin; do
  status=$(cat "$logs/$name.status" 2>/dev/null || echo "no status")
  echo "=== qel-fuzz-$name (exit status $status)"
  cat "$logs/$name"
  [ "$status" = 0 ] || failed="$failed qel-fuzz-$name"
done
if [ -n "$failed" ]; then
  echo "run-smoke: failed:$failed (inputs in $dir)" >&2
  exit 1
fi
echo "run-smoke: every fuzzer ran its time without a finding"
