#!/usr/bin/env bash
# Measures the measurement cycle of the real programs and Varnel's memory.
#
#   scripts/timing.sh [--build DIR] [--cycles N] [--long-cycles N] [--keep]
#
#   --build DIR        build folder with the programs in DIR/bin (default: ./build;
#                      built with scripts/build.sh when the programs are missing)
#   --cycles N         cycles of the real-time run (default 300, at least 100)
#   --long-cycles N    cycles of the run against instant acquisitions (default 10000)
#   --keep             keep the temporary site folders
#
# Two runs, each in a fresh site folder with the card stand-in (16 insulators
# in 4 groups), a weather station stand-in and Varnel with its design values
# (1260 samples at 80 us, a pause of 20 ms in Text2):
#   1. real-time acquisitions: the mean cycle period against the sum of the
#      10 ms arming delay, the acquisition time and the Text2 pause, the
#      processing time per block, Varnel's CPU time per cycle, VmRSS after
#      100 cycles;
#   2. the card completing every acquisition at once (qda7100-sim --instant):
#      VmRSS after 100, 1000 and 10000 cycles, and the period without the
#      acquisition time.
# Cycles are counted and timed at the card's driver interface, from the card
# stand-in's trace (qda7100-sim --trace); scripts/timing/cycles.py says how.
# Each run first waits the 60 s after which Varnel starts its first cycle by
# itself.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build
CYCLES=300
LONG=10000
KEEP=0
while (($#)); do
  case $1 in
    --build) BUILD=$(realpath -m "$2"); shift 2 ;;
    --cycles) CYCLES=$2; shift 2 ;;
    --long-cycles) LONG=$2; shift 2 ;;
    --keep) KEEP=1; shift ;;
    -h|--help) sed -n '2,25p' "$0"; exit 0 ;;
    *) echo "timing.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
((CYCLES >= 100)) || { echo "timing.sh: --cycles must be at least 100" >&2; exit 2; }
BIN=$BUILD/bin
for p in Varnel qda7100-sim weather-station-sim component-register libKivo7100.so libMorlex.so; do
  if [[ ! -e $BIN/$p ]]; then "$ROOT/scripts/build.sh" "$BUILD" >/dev/null; break; fi
done

# Design values of the cycle (Varnel's load values): 10 ms arming, 1260
# samples per channel at 80 us, 20 ms pause.
ARMING_MS=10
SAMPLES=1260
INTERVAL_US=80
PAUSE_MS=20
ACQ_MS=$(python3 -c "print($SAMPLES * $INTERVAL_US / 1000)")
EXPECTED_MS=$(python3 -c "print($ARMING_MS + $ACQ_MS + $PAUSE_MS)")

export QT_QPA_PLATFORM=offscreen
SITES=()
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if ((KEEP == 0)); then for s in "${SITES[@]}"; do rm -rf "$s"; done; fi
}
trap cleanup EXIT

source "$ROOT/scripts/lib/site.sh"

# new_site CARD-OPTIONS...: a fresh site folder with its stand-ins running, in
# $SITE, which becomes the working folder.
new_site() {
  local site
  site=$(mktemp -d "${TMPDIR:-/tmp}/varnel-timing-XXXXXX")
  SITES+=("$site")
  site_enter "$site"
  site_prepare "$site/data.csv"
  site_start_card --trace "$site/card.trace" "$@"
  site_start_weather
}

run_cycles() {  # run_cycles SITE LABEL CYCLES RSS-AT
  COMPONENT_REGISTRY=$1/registry.ini \
    python3 "$ROOT/scripts/timing/cycles.py" --site "$1" --varnel "$BIN/Varnel" --device-dir "$1/dev" \
      --trace "$1/card.trace" --label "$2" --cycles "$3" --rss-at "$4" --pause-ms "$PAUSE_MS"
}

echo "timing.sh: design cycle = ${ARMING_MS} ms arming + ${ACQ_MS} ms acquisition ($SAMPLES x $INTERVAL_US us)" \
     "+ ${PAUSE_MS} ms pause = ${EXPECTED_MS} ms, plus the processing of the block"
echo "timing.sh: run 1, real-time acquisitions, $CYCLES cycles (first cycle 60 s after start-up)"
new_site
OUT1=$(run_cycles "$SITE" real-time "$CYCLES" 100)
echo "$OUT1"

echo "timing.sh: run 2, instant acquisitions, $LONG cycles (first cycle 60 s after start-up)"
new_site --instant
RSS_AT=100,1000
((LONG > 1000)) && RSS_AT=$RSS_AT,$((LONG / 2)),$LONG || RSS_AT=100,$LONG
OUT2=$(run_cycles "$SITE" instant "$LONG" "$RSS_AT")
echo "$OUT2"

python3 - "$OUT1" "$OUT2" "$ARMING_MS" "$ACQ_MS" "$PAUSE_MS" <<'PY'
import re, sys
out1, out2 = sys.argv[1], sys.argv[2]
arming, acq, pause = map(float, sys.argv[3:])
def result(out):
    return {k: float(v) for k, v in re.findall(r"(\w+)_ms=([0-9.]+)", out.split("result", 1)[1])}
r1, r2 = result(out1), result(out2)
print("timing.sh: summary")
print(f"  real-time: mean period {r1['period']:.2f} ms against {arming:g} ms arming + {acq:g} ms acquisition"
      f" + {pause:g} ms pause = {arming + acq + pause:.2f} ms;")
print(f"             measured {r1['arming']:.2f} + {r1['acquisition']:.2f} + {pause:g}"
      f" + processing {r1['processing']:.2f} ms per block;")
print(f"             {r1['period'] - (arming + acq + pause):+.2f} ms against that floor;"
      f" Varnel's CPU time {r1['cpu']:.2f} ms per cycle")
print(f"  instant:   mean period {r2['period']:.2f} ms against {arming:g} ms arming + {pause:g} ms pause"
      f" = {arming + pause:.2f} ms; processing {r2['processing']:.2f} ms per block;"
      f" Varnel's CPU time {r2['cpu']:.2f} ms per cycle")
PY
