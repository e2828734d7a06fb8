#!/usr/bin/env bash
# Takes a picture of the running measurement window under Xvfb, against the
# stand-ins, after its first cycles: docs/varnel-window.png.
#   scripts/screenshot.sh [OUTPUT.png]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=$(realpath -m "${1:-$ROOT/docs/varnel-window.png}")
BIN=$ROOT/build/bin
"$ROOT/scripts/setup.sh"  # Xvfb and ImageMagick's import and convert
source "$ROOT/scripts/lib/site.sh"
SITE=$(mktemp -d /tmp/varnel-shot-XXXXXX)
PIDS=()
end_all() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$SITE"
}
trap end_all EXIT
site_enter "$SITE"
export DISPLAY=:97
unset QT_QPA_PLATFORM
Xvfb :97 -screen 0 1700x1000x24 >/dev/null 2>&1 &
PIDS+=($!)
site_prepare "$SITE/気象・電流data.csv"
site_start_card
site_start_weather
"$BIN/Varnel" > varnel.log 2>&1 &
PIDS+=($!)
# The first cycle starts a minute after start-up; then a few sweeps.
sleep "${SHOT_WAIT:-75}"
import -window root -crop 1700x1000+0+0 "$OUT"
convert "$OUT" -trim +repage "$OUT"  # the window without the empty screen around it
echo "screenshot: $OUT"
