#!/usr/bin/env bash
# Takes a picture of the running measurement window under Xvfb, against the
# stand-ins, after its first cycles: docs/varnel-window.png.
#   scripts/screenshot.sh [OUTPUT.png]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=$(realpath -m "${1:-$ROOT/docs/varnel-window.png}")
BIN=$ROOT/build/bin
SITE=$(mktemp -d /tmp/varnel-shot-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$SITE"' EXIT
cd "$SITE"
export QDA7100_DEVICE_DIR=$SITE/dev COMPONENT_REGISTRY=$SITE/registry.ini DISPLAY=:97
unset QT_QPA_PLATFORM
Xvfb :97 -screen 0 1700x1000x24 >/dev/null 2>&1 &
"$BIN/component-register" /s "$BIN/libKivo7100.so"
python3 "$ROOT/scripts/make_settings.py" SETDT.DAT --data-path "$SITE/気象・電流data.csv" --trigger-level 10
printf '[Serial]\nPort=%s\n' "$SITE/tty" > Varnel.ini
"$BIN/qda7100-sim" --groups 4 > card.log 2>&1 &
"$BIN/weather-station-sim" --link "$SITE/tty" > weather.log 2>&1 &
sleep 1
"$BIN/Varnel" > varnel.log 2>&1 &
# The first cycle starts a minute after start-up; then a few sweeps.
sleep "${SHOT_WAIT:-75}"
import -window root -crop 1700x1000+0+0 "$OUT"
convert "$OUT" -trim +repage "$OUT"  # the window without the empty screen around it
echo "screenshot: $OUT"
