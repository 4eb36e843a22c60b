#!/bin/sh
# Checks of the Qel test runner itself: runner_checks.sh RUNNER FIXTURES
# Each fixture under tests/runner is run once as usual and once with --fresh;
# the runner must exit with the status given and print every text given
# (a text after "!" must not be printed).
runner=$1
dir=$2
failures=0

# check FIXTURE STATUS TEXT...
check() {
  file=$1
  want=$2
  shift 2
  for mode in "" --fresh; do
    out=$(env -u QEL_TEST_FRESH "$runner" $mode "$dir/$file" 2>&1)
    status=$?
    ok=1
    [ "$status" -eq "$want" ] || ok=0
    for text in "$@"; do
      case "$text" in
        !*) case "$out" in *"${text#!}"*) ok=0 ;; esac ;;
        *) case "$out" in *"$text"*) ;; *) ok=0 ;; esac ;;
      esac
    done
    if [ "$ok" -eq 0 ]; then
      failures=$((failures + 1))
      printf 'FAIL %s %s: wanted status %s and:\n' "$file" "$mode" "$want"
      for text in "$@"; do printf '  %s\n' "$text"; done
      printf 'got status %s:\n%s\n' "$status" "$out"
    fi
  done
}

check no-case.qel 1 "rejected: no case"
check code-after-last.qel 1 "rejected: line 3: code after the last expectation"
check empty-case.qel 1 "rejected: line 3: an expectation with no code before it"
check malformed.qel 1 \
  "line 2: not one of the expectation forms" \
  "line 4: not one of the expectation forms" \
  "line 6: not one of the expectation forms" \
  "line 8: an error expectation names a category and an id" \
  "line 10: not one of the expectation forms" \
  "line 11: an expectation after code on the same line" \
  "0 passed, 1 failed"
check no-cascade.qel 1 "no-cascade.qel:5: FAIL" "3 passed, 1 failed"
check earlier-cases.qel 0 "2 passed, 0 failed"
check one-runtime.qel 1 "one-runtime.qel:7: FAIL" "got:      2" "!fresh runtime" "1 passed, 1 failed"

[ "$failures" -eq 0 ] && echo "runner checks passed"
[ "$failures" -eq 0 ]
