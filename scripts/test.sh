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

"$ROOT/scripts/build.sh" "$ROOT/build"
(cd "$ROOT/build" && ctest --output-on-failure -j "$JOBS" --timeout 600)

if [[ ${1:-} != --quick ]]; then
  "$ROOT/scripts/build.sh" --asan
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
  export LSAN_OPTIONS=suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  (cd "$ROOT/build-asan" && ctest --output-on-failure -j "$JOBS" --timeout 900 -LE no-asan)
fi
