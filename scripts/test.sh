#!/usr/bin/env bash
# Sets up a fresh machine, builds, and runs every test; then the same suite
# built with AddressSanitizer and UndefinedBehaviorSanitizer.
#   scripts/test.sh            both runs
#   scripts/test.sh --quick    the normal build only
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"

export QT_QPA_PLATFORM=offscreen
JOBS=$(nproc)
# The slow end-to-end tests mostly wait for the clock (a record a minute), so
# more of them run side by side than there are cores.
SLOW_JOBS=$((JOBS * 2))

# The quick tests, then the slow ones, in the build folder $1 with time-out
# $2 seconds.
run_suite() {
  local dir=$1 timeout=$2
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" --timeout "$timeout" -LE slow &&
    ctest --output-on-failure -j "$SLOW_JOBS" --timeout "$timeout" -L slow)
}

"$ROOT/scripts/build.sh" "$ROOT/build"
run_suite "$ROOT/build" 600

if [[ ${1:-} != --quick ]]; then
  "$ROOT/scripts/build.sh" --asan
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
  export LSAN_OPTIONS=suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_suite "$ROOT/build-asan" 900
fi
