#!/usr/bin/env bash
# Configures and builds the project: a Release build (the one the package
# ships), or with --asan a Debug build with AddressSanitizer and
# UndefinedBehaviorSanitizer.  Warnings in project code are errors here.
#   build.sh [--asan] [BUILD_DIR] [-- TARGET...]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
ASAN=OFF
if [[ ${1:-} == --asan ]]; then ASAN=ON; shift; fi
BUILD=$ROOT/build
[[ $ASAN == ON ]] && BUILD=$ROOT/build-asan
if [[ $# -gt 0 && $1 != -- ]]; then BUILD=$1; shift; fi
[[ ${1:-} == -- ]] && shift
TARGETS=()
for t in "$@"; do TARGETS+=(--target "$t"); done
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DLW_SANITIZE=$ASAN -DLW_WERROR=ON \
  -DCMAKE_BUILD_TYPE=$([[ $ASAN == ON ]] && echo Debug || echo Release) >/dev/null
cmake --build "$BUILD" -j "$(nproc)" "${TARGETS[@]}"
