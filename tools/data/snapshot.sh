#!/usr/bin/env bash
# Renders docs/snapshot.png: a peak-triggered waveform snapshot of one sweep
# over the card stand-in's sixteen insulators, drawn by `varnel-data plot`
# with the mA labels of a 330 ohm shunt.  The picture is deterministic.
#   tools/data/snapshot.sh [BUILD_DIR]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
cmake --build "$BUILD" --target varnel-data varnel-synthetic-wave >/dev/null
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
wave=$("$BUILD/bin/varnel-synthetic-wave" "$TMP" --channels 16)
"$BUILD/bin/varnel-data" plot --shunt 330 -o "$ROOT/docs/snapshot.png" "$wave" >/dev/null
echo "$ROOT/docs/snapshot.png from $(basename "$wave")"
