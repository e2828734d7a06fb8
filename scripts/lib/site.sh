# A site folder with its stand-ins, as run.sh, timing.sh and screenshot.sh
# prepare it.  Sourced, not run.  The caller sets ROOT (the source tree) and
# BIN (the built programs) and declares the array PIDS, which gets the process
# id of every stand-in started here, for the caller to end them by.
#
#   site_enter DIR               create DIR, work in it, point the programs at it
#   site_prepare DATA-FILE [make_settings.py options]
#   site_start_card [qda7100-sim options]
#   site_start_weather [weather-station-sim options]

# site_wait_for FILE TEXT SECONDS: returns once FILE holds TEXT; after SECONDS
# says so on standard error and fails.
site_wait_for() {
  for _ in $(seq 1 $(($3 * 10))); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "$(basename "$0"): $1 never said '$2'" >&2
  return 1
}

# site_enter DIR: DIR (created when missing) becomes the working folder and
# SITE, and every program started afterwards finds the card's driver and the
# component registry of this site.
site_enter() {
  SITE=$1
  mkdir -p "$SITE"
  cd "$SITE" || return
  export QDA7100_DEVICE_DIR=$SITE/dev
  export COMPONENT_REGISTRY=$SITE/registry.ini
}

# site_prepare DATA-FILE [OPTION...]: the relay control registered, SETDT.DAT
# naming DATA-FILE unless the site has its settings already (OPTIONs go to
# make_settings.py), and Varnel.ini with the weather station's link.
site_prepare() {
  local data=$1
  shift
  "$BIN/component-register" /s "$BIN/libKivo7100.so"
  if [[ ! -f SETDT.DAT ]]; then
    # Waveform-save triggers at 10 mA: only the discharge bursts of the most
    # polluted insulators save waveforms, not every sweep.
    python3 "$ROOT/scripts/make_settings.py" SETDT.DAT --data-path "$data" --trigger-level 10 "$@"
  fi
  printf '[Serial]\nPort=%s\n' "$SITE/weather-tty" > Varnel.ini
}

# site_start_card [OPTION...]: the card stand-in with 16 insulators in 4
# groups, once it serves its device (log: card.log).
site_start_card() {
  "$BIN/qda7100-sim" --groups 4 "$@" > card.log 2>&1 &
  PIDS+=($!)
  site_wait_for card.log serving 10
}

# site_start_weather [OPTION...]: the weather station stand-in on the link
# that Varnel.ini names, once it runs (log: weather.log).
site_start_weather() {
  "$BIN/weather-station-sim" --link "$SITE/weather-tty" "$@" > weather.log 2>&1 &
  PIDS+=($!)
  site_wait_for weather.log weather-station-sim 10
}
