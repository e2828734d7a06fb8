#!/usr/bin/env bash
# Configures and builds the project.  build.sh [--asan] [BUILD_DIR]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
ASAN=OFF
if [[ ${1:-} == --asan ]]; then ASAN=ON; shift; fi
BUILD=${1:-$ROOT/build}
if [[ $ASAN == ON && -z ${1:-} ]]; then BUILD=$ROOT/build-asan; fi
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DLW_SANITIZE=$ASAN \
  -DCMAKE_BUILD_TYPE=$([[ $ASAN == ON ]] && echo Debug || echo RelWithDebInfo) >/dev/null
cmake --build "$BUILD" -j "$(nproc)"
