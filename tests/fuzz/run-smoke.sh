#!/bin/sh
# Builds the lexer's fuzz target with clang and runs it for 60 seconds
# (or $1 seconds). Exits non-zero when the fuzzer finds a crash, a hang or a
# disagreement between scan and load mode; the input is then in $dir/crash-*.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-60}
dir=${QEL_FUZZ_BUILD:-$root/build-fuzz}
clangxx=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$clangxx" ]; then
  echo "run-smoke: clang++ not found" >&2
  exit 1
fi
launcher=""
command -v ccache >/dev/null 2>&1 && launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$clangxx" $launcher >/dev/null
cmake --build "$dir" --target qel-fuzz-load
mkdir -p "$dir/corpus"
# Seeds: a few literals of every kind.
cp "$here"/seeds/* "$dir/corpus/" 2>/dev/null || true
cd "$dir"
ASAN_OPTIONS=detect_leaks=0 ./qel-fuzz-load -max_total_time="$seconds" -max_len=4096 \
  -timeout=10 -print_final_stats=1 corpus
