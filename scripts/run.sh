#!/usr/bin/env bash
# Sets up a fresh machine, builds, and runs the whole system in a site folder:
# the card stand-in with 16 insulators, the weather station stand-in on a
# pseudo-terminal, the measurement program Varnel and the watchdog Tessik,
# and the collector varnel-collect, which stores every record in the site's
# SQLite file records.sqlite as it is written.
#
#   scripts/run.sh [--site DIR] [--duration SECONDS] [--binary] [--fast]
#
#   --site DIR         site folder (default: ./site); kept between runs
#   --duration N       stop everything after N seconds (default: until Ctrl-C)
#   --binary           a new site stores binary records instead of CSV
#   --fast             weather day runs 60 times faster
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SITE=$ROOT/site
DURATION=0
BINARY=""
SPEEDUP=1
while (($#)); do
  case $1 in
    --site) SITE=$(realpath -m "$2"); shift 2 ;;
    --duration) DURATION=$2; shift 2 ;;
    --binary) BINARY=--binary; shift ;;
    --fast) SPEEDUP=60; shift ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

"$ROOT/scripts/setup.sh"
echo "run.sh: building"
"$ROOT/scripts/build.sh" "$ROOT/build" -- Varnel Tessik Morlex Kivo7100 component-register \
  qda7100-sim weather-station-sim varnel-data varnel-analyse varnel-collect >/dev/null
BIN=$ROOT/build/bin

mkdir -p "$SITE"
cd "$SITE"
export QDA7100_DEVICE_DIR=$SITE/dev
export COMPONENT_REGISTRY=$SITE/registry.ini
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then export QT_QPA_PLATFORM=offscreen; fi

# The programs run from the site folder, where the watchdog finds Varnel.
ln -sfn "$BIN/Varnel" Varnel
ln -sfn "$BIN/Tessik" Tessik
"$BIN/component-register" /s "$BIN/libKivo7100.so"

DATA=$SITE/気象・電流data.$([[ -n $BINARY ]] && echo bdt || echo csv)
if [[ ! -f SETDT.DAT ]]; then
  # Waveform-save triggers at 10 mA: only the discharge bursts of the most
  # polluted insulators save waveforms, not every sweep.
  python3 "$ROOT/scripts/make_settings.py" SETDT.DAT --data-path "$DATA" --trigger-level 10 $BINARY
fi
printf '[Serial]\nPort=%s\n' "$SITE/weather-tty" > Varnel.ini

PIDS=()
TESSIK_PID=""
# A Varnel that Tessik started is no child of this script.  It is ended by
# the process id in Varnel.lock, and only while that process holds the
# site's lock and works in this site folder.
end_site_varnel() {
  local pid
  pid=$(head -c 20 Varnel.lock 2>/dev/null | tr -dc '0-9') || true
  [[ -n $pid ]] || return 0
  if flock -n Varnel.lock true 2>/dev/null; then return 0; fi
  [[ $(readlink -f "/proc/$pid/cwd" 2>/dev/null) == "$(realpath "$SITE")" ]] || return 0
  kill -TERM "$pid" 2>/dev/null || true
}
stop_all() {
  trap - INT TERM EXIT
  echo "run.sh: stopping"
  # The watchdog first, so that it starts nothing more.
  if [[ -n $TESSIK_PID ]]; then kill -TERM "$TESSIK_PID" 2>/dev/null || true; wait "$TESSIK_PID" 2>/dev/null || true; fi
  end_site_varnel
  for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop_all INT TERM EXIT

wait_for() {  # wait_for FILE TEXT SECONDS
  for _ in $(seq 1 $(( $3 * 10 ))); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "run.sh: $1 never said '$2'" >&2; return 1
}

"$BIN/qda7100-sim" --groups 4 > card.log 2>&1 &
PIDS+=($!)
wait_for card.log serving 10
"$BIN/weather-station-sim" --link "$SITE/weather-tty" --speedup "$SPEEDUP" > weather.log 2>&1 &
PIDS+=($!)
wait_for weather.log weather-station-sim 10

"$SITE/Varnel" >> varnel.log 2>&1 &
PIDS+=($!)
TESSIK_AUTOSTART=3 "$SITE/Tessik" > tessik.log 2>&1 &
TESSIK_PID=$!
# The collector follows the data file named in SETDT.DAT; collect.ini in the
# site folder may point it at a central PostgreSQL server instead.
"$BIN/varnel-collect" --site-dir "$SITE" >> collect.log 2>&1 &
PIDS+=($!)

cat <<INFO
run.sh: the system runs in $SITE
  card stand-in     qda7100-sim (16 insulators, 4 groups)      log: card.log
  weather station   $(grep -o '/dev/pts/[0-9]*' weather.log | head -1) -> $SITE/weather-tty   log: weather.log
  measurement       Varnel (first cycle 60 s after start)        log: varnel.log
  watchdog          Tessik (restarts Varnel after 3 stale minutes) log: tessik.log
  collector         varnel-collect -> $(grep -q '^Database=' collect.ini 2>/dev/null && echo "the Database of collect.ini" || echo "$SITE/records.sqlite")   log: collect.log
  data file         $DATA (a record every minute)
  waveform files    $SITE/*Wev.dat
  read them with    $BIN/varnel-data, $BIN/varnel-analyse, sqlite3 $SITE/records.sqlite
Press Ctrl-C to stop.
INFO

# Waiting on a background sleep lets Ctrl-C and SIGTERM stop everything at once.
if ((DURATION > 0)); then
  sleep "$DURATION" & wait $!
else
  while true; do sleep 3600 & wait $!; done
fi
