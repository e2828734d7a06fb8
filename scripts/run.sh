#!/usr/bin/env bash
# Sets up a fresh machine, builds, and runs the whole system in a site folder:
# the card stand-in with 16 insulators, the weather station stand-in on a
# pseudo-terminal, the measurement program Varnel and the watchdog Tessik,
# the collector varnel-collect, which stores every record in the site's
# SQLite file records.sqlite as it is written, and the dashboard varnel-web
# on that database (loopback only; it prints its address).
#
#   scripts/run.sh [--site DIR] [--duration SECONDS] [--binary] [--fast] [--web-port N]
#
#   --site DIR         site folder (default: ./site); kept between runs
#   --duration N       stop everything after N seconds (default: until Ctrl-C)
#   --binary           a new site stores binary records instead of CSV
#   --fast             weather day runs 60 times faster
#   --web-port N       port of varnel-web on 127.0.0.1 (default 8710)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SITE=$ROOT/site
DURATION=0
BINARY=""
SPEEDUP=1
WEB_PORT=8710
while (($#)); do
  case $1 in
    --site) SITE=$(realpath -m "$2"); shift 2 ;;
    --duration) DURATION=$2; shift 2 ;;
    --binary) BINARY=--binary; shift ;;
    --fast) SPEEDUP=60; shift ;;
    --web-port) WEB_PORT=$2; shift 2 ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

"$ROOT/scripts/setup.sh"
echo "run.sh: building"
"$ROOT/scripts/build.sh" "$ROOT/build" -- Varnel Tessik Morlex Kivo7100 component-register \
  qda7100-sim weather-station-sim varnel-data varnel-analyse varnel-collect varnel-web >/dev/null
BIN=$ROOT/build/bin

source "$ROOT/scripts/lib/site.sh"
site_enter "$SITE"
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then export QT_QPA_PLATFORM=offscreen; fi

# The programs run from the site folder, where the watchdog finds Varnel.
ln -sfn "$BIN/Varnel" Varnel
ln -sfn "$BIN/Tessik" Tessik

DATA=$SITE/気象・電流data.$([[ -n $BINARY ]] && echo bdt || echo csv)
site_prepare "$DATA" $BINARY

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

site_start_card
site_start_weather --speedup "$SPEEDUP"

"$SITE/Varnel" >> varnel.log 2>&1 &
PIDS+=($!)
TESSIK_AUTOSTART=3 "$SITE/Tessik" > tessik.log 2>&1 &
TESSIK_PID=$!
# The collector follows the data file named in SETDT.DAT; collect.ini in the
# site folder may point it at a central PostgreSQL server instead.
"$BIN/varnel-collect" --site-dir "$SITE" >> collect.log 2>&1 &
PIDS+=($!)
# The dashboard on the same database (read-only), on the loopback address.
WEB_DB=()
if grep -q '^Database=' collect.ini 2>/dev/null; then WEB_DB=(--db "$(sed -n 's/^Database=//p' collect.ini | head -1)"); fi
: > web.log
"$BIN/varnel-web" --site-dir "$SITE" "${WEB_DB[@]}" --port "$WEB_PORT" >> web.log 2>&1 &
PIDS+=($!)
WEB_URL="(not running: see web.log; the site runs without it)"
if site_wait_for web.log 'serving http' 10; then
  WEB_URL=$(grep -o 'serving http://[^ ]*/' web.log | tail -1 | cut -d' ' -f2)
fi

cat <<INFO
run.sh: the system runs in $SITE
  card stand-in     qda7100-sim (16 insulators, 4 groups)      log: card.log
  weather station   $(grep -o '/dev/pts/[0-9]*' weather.log | head -1) -> $SITE/weather-tty   log: weather.log
  measurement       Varnel (first cycle 60 s after start)        log: varnel.log
  watchdog          Tessik (restarts Varnel after 3 stale minutes) log: tessik.log
  collector         varnel-collect -> $(grep -q '^Database=' collect.ini 2>/dev/null && echo "the Database of collect.ini" || echo "$SITE/records.sqlite")   log: collect.log
  data file         $DATA (a record every minute)
  waveform files    $SITE/*Wev.dat
  dashboard         varnel-web  $WEB_URL   log: web.log (alarm rules: $SITE/varnel-web.ini)
  read them with    $BIN/varnel-data, $BIN/varnel-analyse, sqlite3 $SITE/records.sqlite
Press Ctrl-C to stop.
INFO

# Waiting on a background sleep lets Ctrl-C and SIGTERM stop everything at once.
if ((DURATION > 0)); then
  sleep "$DURATION" & wait $!
else
  while true; do sleep 3600 & wait $!; done
fi
