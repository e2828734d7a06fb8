#!/usr/bin/env bash
# Benchmark of varnel-web (a script, not a test): the time per request on a
# fleet of 100 site-years, for this tree's build and, with --baseline, the
# landed release's beside it on the same data.
#
#   fleet/bench/web_bench.sh [--build DIR] [--no-build] [--baseline BIN_DIR] [--sites N] [--days N]
#                            [--site-channels N] [--history-years N] [--runs N] [--work DIR]
#                            [--no-sqlite] [--keep]
#
# --build DIR: the build of this tree (default ROOT/build; made there with
# scripts/build.sh unless --no-build).  --baseline BIN_DIR: the bin folder
# of the landed build (its varnel-collect and varnel-web).
#
# 1. The fleet: the collector's benchmark generates it (collect_bench.sh
#    --fleet-only --keep): --sites (default 100) sites x --days (default 365)
#    days of one-minute records inside PostgreSQL, the `records` rows of
#    every site, the channel rows of channel 1 of every site and of all
#    --site-channels (default 16) channels of the site queried (gen-050 of
#    100; all 16 channels of 100 sites would be about 840 million rows).
#    With --baseline its schema is the landed collector's.  --work DIR
#    reuses a folder kept before (and keeps it).
# 2. The landed varnel-web on it (with an alarm rule on the peak, so the
#    fleet page also works out every site's stage now), each request timed
#    --runs times (default 5; best and median).
# 3. This tree's varnel-collect opens the database once: it upgrades it
#    (the summaries filled from the rows); then VACUUM ANALYZE of the
#    summaries (as autovacuum would do soon after), and this tree's
#    varnel-web on the same requests.  The landed and the new answers are
#    compared: each series' largest and smallest value, at the same time.
# 4. The fleet's past: summaries only (no raw rows) of --history-years
#    (default 9; 0 leaves it out) earlier years of the same sites, made in
#    SQL (the peak of the channels that have rows, and the weather), so that
#    the summaries hold (1 + N) x --sites site-years; this tree's varnel-web
#    on the fleet page, years of the past and the year of raw rows.
# 5. One site-year of 16 channels in SQLite, the site folder's default
#    database, imported by each varnel-collect into a file of its own, and
#    each varnel-web on its file (--no-sqlite: left out).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
SITES=100
DAYS=365
RUNS=5
WORK=""
SQLITE=1
KEEP=0
BUILD=$ROOT/build
BUILD_IT=1
BASELINE=""
SITE_CHANNELS=16
HISTORY=9
while (($#)); do
  case $1 in
    --sites) SITES=$2; shift 2 ;;
    --days) DAYS=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --work) WORK=$(realpath "$2"); KEEP=1; shift 2 ;;
    --no-sqlite) SQLITE=0; shift ;;
    --keep) KEEP=1; shift ;;
    --build) BUILD=$(realpath -m "$2"); shift 2 ;;
    --no-build) BUILD_IT=0; shift ;;
    --baseline) BASELINE=$(realpath "$2"); shift 2 ;;
    --site-channels) SITE_CHANNELS=$2; shift 2 ;;
    --history-years) HISTORY=$2; shift 2 ;;
    -h|--help) sed -n '2,40p' "$0"; exit 0 ;;
    *) echo "web_bench: unknown option $1" >&2; exit 2 ;;
  esac
done

((BUILD_IT)) && "$ROOT/scripts/build.sh" "$BUILD" -- varnel-web varnel-collect fleet-bench-gen >/dev/null
BIN=$BUILD/bin
for p in "$BIN/varnel-web" "$BIN/varnel-collect" ${BASELINE:+"$BASELINE/varnel-web" "$BASELINE/varnel-collect"}; do
  [[ -x $p ]] || { echo "web_bench: no $p" >&2; exit 1; }
done
PG_BIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
SITE=gen-$(printf %03d $((SITES / 2)))

if [[ -z $WORK ]]; then
  echo "web_bench: generating $SITES sites x $DAYS days with collect_bench.sh --fleet-only (this takes a while)"
  "$ROOT/fleet/bench/collect_bench.sh" --fleet-only --keep --no-build --build "$BUILD" ${BASELINE:+--baseline "$BASELINE"} \
    --sites "$SITES" --days "$DAYS" --site-channels "$SITE_CHANNELS" | tee /tmp/web_bench_gen.$$
  WORK=$(sed -n 's/^collect_bench: kept //p' /tmp/web_bench_gen.$$)
  rm -f /tmp/web_bench_gen.$$
  [[ -d $WORK/pg ]] || { echo "web_bench: the generator kept no database" >&2; exit 1; }
fi
AS_PG=()
if [[ $(id -u) -eq 0 ]]; then AS_PG=(runuser -u postgres --); fi
CONN="host=$WORK port=5432 user=postgres dbname=postgres"
WEB_PID=""
cleanup() {
  if [[ -n $WEB_PID ]]; then kill -TERM "$WEB_PID" 2>/dev/null || true; wait "$WEB_PID" 2>/dev/null || true; fi
  "${AS_PG[@]}" "$PG_BIN/pg_ctl" -D "$WORK/pg" -m fast -w stop >/dev/null 2>&1 || true
  if ((KEEP)); then echo "web_bench: kept $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
"${AS_PG[@]}" "$PG_BIN/pg_ctl" -D "$WORK/pg" -l "$WORK/server.log" -w -o \
  "-c listen_addresses='' -c unix_socket_directories='$WORK' -c shared_buffers=2GB -c max_wal_size=8GB -c work_mem=64MB" start >/dev/null

REPORT=$BUILD/web_bench_report.txt
: > "$REPORT"
say() { echo "$*" | tee -a "$REPORT"; }
load() { uptime | sed 's/.*load average: /load /'; }
now() { date +%s.%N; }
secs() { python3 -c "print(f'{$2 - $1:.1f}')"; }
psql_q() { psql "$CONN" -v ON_ERROR_STOP=1 -qAt "$@"; }
RESULTS=$WORK/web-results.txt
: > "$RESULTS"
rm -rf "$WORK/bodies"
mkdir -p "$WORK/web" "$WORK/bodies"
# The bench's rule: a third of all records at or above caution, so every
# hour reaches it.  The rare rule: about one record in 1,200 reaches it (the
# peaks are even in 0..12 mA), as real alarms are rare.
BENCH_RULE='[Rule peak current]\nQuantity=peak\ncaution=8\nwarning=10\ndanger=11.5\n'
RARE_RULE='[Rule peak current]\nQuantity=peak\ncaution=11.99\nwarning=11.995\ndanger=11.999\n'
printf "$BENCH_RULE" > "$WORK/web/varnel-web.ini"

# start_web BIN_DIR DB: that varnel-web on DB, its address in BASE.
start_web() {
  "$1/varnel-web" --site-dir "$WORK/web" --db "$2" --port 0 > "$WORK/web/web.log" 2>&1 &
  WEB_PID=$!
  for _ in $(seq 1 100); do grep -q 'serving http' "$WORK/web/web.log" && break; sleep 0.1; done
  BASE=$(grep -o 'http://[^ ]*/' "$WORK/web/web.log" | head -1)
  [[ -n $BASE ]] || { cat "$WORK/web/web.log" >&2; exit 1; }
}
stop_web() { kill -TERM "$WEB_PID"; wait "$WEB_PID" || true; WEB_PID=""; }

# time_rare_alarms WHO BIN_DIR: that varnel-web's year of alarms under the
# rare rule (section pg-rare).
time_rare_alarms() {
  printf "$RARE_RULE" > "$WORK/web/varnel-web.ini"
  start_web "$2" "$CONN"
  time_requests pg-rare "$1" "year's alarms, 1 channel, rare rule=api/alarms?site=$SITE&channels=1&range=year" \
    "year's alarms, 16 channels, rare rule=api/alarms?site=$SITE&range=year"
  stop_web
  printf "$BENCH_RULE" > "$WORK/web/varnel-web.ini"
}

# time_requests SECTION WHO NAME=PATH...: best and median of RUNS requests
# each, into RESULTS; the last answer of each into bodies/SECTION-WHO-N.
time_requests() {
  python3 - "$BASE" "$RUNS" "$RESULTS" "$WORK/bodies" "$@" <<'PY'
import statistics, sys, time, urllib.error, urllib.request
base, runs, results, bodies, section, who = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5], sys.argv[6]
with open(results, "a") as out:
    for n, item in enumerate(sys.argv[7:]):
        name, path = item.split('=', 1)
        times, body, status = [], b"", 0
        for _ in range(runs):
            t0 = time.perf_counter()
            try:
                with urllib.request.urlopen(base + path, timeout=900) as r:
                    body, status = r.read(), r.status
            except urllib.error.HTTPError as e:
                body, status = e.read(), e.code
            times.append(time.perf_counter() - t0)
        open(f"{bodies}/{section}-{who}-{n}", "wb").write(body)
        print(f"  {who:<6} {name:<44} best {min(times):7.3f} s  median {statistics.median(times):7.3f} s"
              f"  ({status}, {len(body) / 1024:.0f} KiB)", flush=True)
        out.write(f"{section}\t{who}\t{name}\t{min(times)}\t{statistics.median(times)}\t{status}\n")
        if status != 200:
            sys.exit(f"web_bench: {who} answered {status} to {path}: {body[:300]!r}")
PY
}

# side_by_side SECTION: the section's requests, landed and new, one line each.
side_by_side() {
  python3 - "$RESULTS" "$1" <<'PY' | tee -a "$REPORT"
import sys
rows, order = {}, []
for line in open(sys.argv[1]):
    section, who, name, best, median, status = line.rstrip("\n").split("\t")
    if section != sys.argv[2]: continue
    if name not in rows: order.append(name)
    rows.setdefault(name, {})[who] = (float(best), float(median))
def cell(v): return f"{v[0]:7.3f} / {v[1]:7.3f} s" if v else " " * 19
print(f"  {'request':<44} {'landed best / median':>21} {'new best / median':>21}")
for name in order:
    print(f"  {name:<44} {cell(rows[name].get('landed')):>21} {cell(rows[name].get('new')):>21}")
PY
}

# same_extremes SECTION N: landed and new answers agree on each series'
# largest and smallest value and its time (earliest on a tie) for the
# first N requests of the section.
same_extremes() {
  python3 - "$WORK/bodies" "$1" "$2" <<'PY' | tee -a "$REPORT"
import json, sys
bodies, section, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
def extremes(n, who):
    try: doc = json.load(open(f"{bodies}/{section}-{who}-{n}"))
    except (OSError, ValueError): return None
    if "series" not in doc: return None
    out = []
    for s in doc["series"]:
        mx = [p for p in s["max"] if p[1] is not None]
        mn = [p for p in s["min"] if p[1] is not None]
        out.append((s.get("channel"), s["quantity"],
                    max(mx, key=lambda p: (p[1], -p[0])) if mx else None,
                    min(mn, key=lambda p: (p[1], p[0])) if mn else None))
    return out
same = compared = 0
for n in range(count):
    a, b = extremes(n, "landed"), extremes(n, "new")
    if a is None or b is None: continue
    compared += 1
    if a == b: same += 1
    else:
        diff = [(x, y) for x, y in zip(a, b) if x != y][:3]
        print(f"  request {n}: landed and new differ: {diff}")
print(f"  landed and new give each series the same largest and smallest value at the same time: {same} of {compared} trend requests")
PY
}

VERSION=$(psql_q -c "SELECT max(version) FROM schema_version")
SITE_ID=$(psql_q -c "SELECT site_id FROM sites WHERE name = '$SITE'")
ROWS=$(psql_q -c "SELECT (SELECT count(*) FROM records) + (SELECT count(*) FROM channel_records)")
CHANNEL_COUNTS=$(psql_q -c "SELECT count(DISTINCT channel) FROM channel_records WHERE site_id = $SITE_ID AND time >= '2005-01-01 00:00+09' AND time < '2005-01-02 00:00+09'")
say "== varnel-web on PostgreSQL: $SITES sites x $DAYS days ($ROWS rows: records of every site, channel rows of channel 1 of every site and of $CHANNEL_COUNTS channels of $SITE, the site queried), $(nproc) cores, $RUNS runs each; schema version $VERSION"
say "   $(psql_q -F ' ' -c "SELECT 'sizes: tables', pg_size_pretty(sum(pg_table_size(c.oid)) FILTER (WHERE c.relkind = 'r')),
  '; keys', pg_size_pretty(sum(pg_relation_size(c.oid)) FILTER (WHERE c.relname LIKE '%pkey')),
  '; series indexes', pg_size_pretty(sum(pg_relation_size(c.oid)) FILTER (WHERE c.relname LIKE '%site_id_time%idx' OR c.relname LIKE '%site_id_channel_time%idx'))
  FROM pg_class c WHERE c.relname ~ '^(records|channel_records)_2'")"
PG_REQUESTS=("fleet page (/)=" "fleet JSON (/api/fleet)=api/fleet"
  "year trend, 1 channel, peak=api/trend?site=$SITE&channels=1&quantities=peak&range=year"
  "year trend, 1 channel, peak+rms=api/trend?site=$SITE&channels=1&quantities=peak,rms&range=year"
  "year trend, 1 channel, 4 time pcts=api/trend?site=$SITE&channels=1&quantities=time_pct_1,time_pct_2,time_pct_3,time_pct_4&range=year"
  "year of weather (3 quantities)=api/weather?site=$SITE&range=year"
  "year trend, 16 channels, peak=api/trend?site=$SITE&channels=all&quantities=peak&range=year"
  "month trend, 1 channel, peak=api/trend?site=$SITE&channels=1&quantities=peak&range=month"
  "day trend, 1 channel=api/trend?site=$SITE&channels=1&range=day"
  "fleet page line of a site (a day)=api/trend?site=$SITE&channels=any&quantities=peak&range=day&points=120"
  "site page (a day)=site?site=$SITE&channels=1"
  "year's alarms, 1 channel=api/alarms?site=$SITE&channels=1&range=year"
  "year's alarms, 16 channels=api/alarms?site=$SITE&range=year")

if [[ -n $BASELINE && $VERSION -lt 2 ]]; then
  # The landed collector's schema is there already (it made it); this start
  # checks that and adds nothing.
  "$BASELINE/varnel-collect" --site-dir "$WORK/web" --site bench-import --db "$CONN" --time-zone Asia/Tokyo --once 2>/dev/null
  say "   landed varnel-web, $(load) before"
  start_web "$BASELINE" "$CONN"
  time_requests pg landed "${PG_REQUESTS[@]}"
  stop_web
  time_rare_alarms landed "$BASELINE"
elif [[ -n $BASELINE ]]; then
  say "   the database is at version $VERSION already: the landed varnel-web cannot read it, left out"
fi

# This tree's collector upgrades the database on its first start.
t0=$(now)
"$BIN/varnel-collect" --site-dir "$WORK/web" --site bench-import --db "$CONN" --time-zone Asia/Tokyo --once 2>"$WORK/upgrade.log"
t1=$(now)
NEW_VERSION=$(psql_q -c "SELECT max(version) FROM schema_version")
if ((VERSION < NEW_VERSION)); then
  say "   new varnel-collect's first start upgraded version $VERSION to $NEW_VERSION in $(secs "$t0" "$t1") s ($(load) after)"
  psql_q -c "VACUUM ANALYZE summary_hours, summary_days"
  say "   then VACUUM ANALYZE of the summaries in $(secs "$t1" "$(now)") s"
else
  say "   new varnel-collect's start on version $VERSION: $(secs "$t0" "$t1") s"
fi
say "   summaries: $(psql_q -F ' ' -c "SELECT (SELECT count(*) FROM summary_hours), 'hourly rows,', (SELECT count(*) FROM summary_days), 'daily rows;', pg_size_pretty(pg_total_relation_size('summary_hours') + pg_total_relation_size('summary_days')), 'with their keys'")"
say "   new varnel-web, $(load) before"
start_web "$BIN" "$CONN"
time_requests pg new "${PG_REQUESTS[@]}"
stop_web
time_rare_alarms new "$BIN"
say "-- PostgreSQL, $SITES sites x $DAYS days (channel 1 of every site, $CHANNEL_COUNTS channels of $SITE), $(load)"
side_by_side pg
side_by_side pg-rare
[[ -n $BASELINE ]] && same_extremes pg ${#PG_REQUESTS[@]}

if ((HISTORY > 0)); then
  FIRST_YEAR=$((2005 - HISTORY))
  say "== the fleet's past: summaries of $FIRST_YEAR..2004 ($HISTORY years) of the $SITES sites, no raw rows: $((SITES * (HISTORY + 1))) site-years of summaries"
  if [[ $(psql_q -c "SELECT count(*) FROM (SELECT 1 FROM summary_days WHERE day < '2005-01-01' LIMIT 1) d") == 0 ]]; then
    # Per site: the peak of each channel that has rows (channel 1; all of the
    # site queried) and the eight weather quantities as channel 0.  Values
    # of the same scale as the raw rows', 60 values an hour and 1440 a day,
    # the smallest and largest at a minute inside the period.
    QUANTITIES="SELECT s.site_id, q.quantity, q.channel, q.scale FROM sites s CROSS JOIN LATERAL (
        SELECT 'peak'::text, c::smallint, 12.0::float8 FROM generate_series(1, (SELECT count(DISTINCT channel)::int
          FROM channel_records r WHERE r.site_id = s.site_id AND r.time >= '2005-01-01 00:00+09' AND r.time < '2005-01-02 00:00+09')) c
        UNION ALL SELECT w, 0::smallint, CASE w WHEN 'wind_direction' THEN 360 WHEN 'outside_humidity' THEN 100
          WHEN 'inside_humidity' THEN 100 WHEN 'rain' THEN 0 ELSE 30 END::float8
        FROM unnest(ARRAY['wind_speed', 'wind_direction', 'outside_temperature', 'outside_humidity',
          'inside_temperature', 'inside_humidity', 'rain', 'max_wind_speed']) w) q(quantity, channel, scale)
      WHERE s.name LIKE 'gen-%'"
    read -r NQ NPEAK < <(psql_q -F ' ' -c "CREATE TEMP TABLE q AS $QUANTITIES" -c "SELECT count(*), count(*) FILTER (WHERE channel > 0) FROM q")
    HOURS=$(psql_q -c "SELECT extract(epoch FROM '2005-01-01 00:00+09'::timestamptz - '$FIRST_YEAR-01-01 00:00+09'::timestamptz)::bigint / 3600")
    DAYS_PAST=$((HOURS / 24))
    say "   $NQ series ($NPEAK channel peaks, the rest weather) x $HOURS hours = $((NQ * HOURS)) hourly rows, x $DAYS_PAST days = $((NQ * DAYS_PAST)) daily rows; $(df -h --output=avail /var/tmp | tail -1 | tr -d ' ') free before"
    # Inserted without the tables' keys, which are then built again in one
    # pass each (a third of the time of inserting into them row by row).
    KEYS=$(psql_q -c "SELECT string_agg('ALTER TABLE ' || conrelid::regclass || ' ADD CONSTRAINT ' || conname || ' ' || pg_get_constraintdef(oid), '; ')
      FROM pg_constraint WHERE conrelid IN ('summary_hours'::regclass, 'summary_days'::regclass) AND contype = 'p'")
    t0=$(now)
    psql_q -c "ALTER TABLE summary_hours DROP CONSTRAINT summary_hours_pkey" -c "ALTER TABLE summary_days DROP CONSTRAINT summary_days_pkey"
    for ((y = FIRST_YEAR; y < 2005; ++y)); do
      psql_q -c "CREATE TEMP TABLE q AS $QUANTITIES" -c "INSERT INTO summary_hours (site_id, quantity, channel, hour, n, min_value, min_time, max_value, max_time, sum_value)
        SELECT site_id, quantity, channel, h, 60, lo::real, h + ta * interval '1 minute', (lo + d)::real, h + tb * interval '1 minute', 60 * (lo + d / 2)
        FROM (SELECT q.site_id, q.quantity, q.channel, h, random() * q.scale * 0.3 AS lo, random() * q.scale * 0.7 AS d,
                     floor(random() * 60) AS ta, floor(random() * 60) AS tb
              FROM q CROSS JOIN generate_series('$y-01-01 00:00+09'::timestamptz, '$((y + 1))-01-01 00:00+09'::timestamptz - interval '1 hour', interval '1 hour') h) g" \
        -c "INSERT INTO summary_days (site_id, quantity, channel, day, n, min_value, min_time, max_value, max_time, sum_value)
        SELECT site_id, quantity, channel, day, 1440, lo::real, (day::timestamp AT TIME ZONE 'Asia/Tokyo') + ta * interval '1 minute',
               (lo + d)::real, (day::timestamp AT TIME ZONE 'Asia/Tokyo') + tb * interval '1 minute', 1440 * (lo + d / 2)
        FROM (SELECT q.site_id, q.quantity, q.channel, day::date AS day, random() * q.scale * 0.1 AS lo, random() * q.scale * 0.9 AS d,
                     floor(random() * 1440) AS ta, floor(random() * 1440) AS tb
              FROM q CROSS JOIN generate_series('$y-01-01'::date, '$y-12-31'::date, interval '1 day') day) g"
      echo "   $y: $(secs "$t0" "$(now)") s so far ($(load))"
    done
    tk=$(now)
    PGOPTIONS="-c maintenance_work_mem=1GB" psql_q -c "$KEYS"
    t1=$(now)
    psql_q -c "VACUUM ANALYZE"
    t2=$(now)
    say "   generated in $(secs "$t0" "$tk") s, the keys built again in $(secs "$tk" "$t1") s, VACUUM ANALYZE in $(secs "$t1" "$t2") s; $(df -h --output=avail /var/tmp | tail -1 | tr -d ' ') free after"
  fi
  say "   summaries: $(psql_q -F ' ' -c "SELECT (SELECT count(*) FROM summary_hours), 'hourly rows,', (SELECT count(*) FROM summary_days), 'daily rows;', pg_size_pretty(pg_total_relation_size('summary_hours') + pg_total_relation_size('summary_days')), 'with their keys; database', pg_size_pretty(pg_database_size('postgres'))")"
  say "   new varnel-web, $(load) before"
  start_web "$BIN" "$CONN"
  PAST=$((FIRST_YEAR + HISTORY / 2))
  time_requests past new "fleet page (/)=" "fleet JSON (/api/fleet)=api/fleet" \
    "year $PAST, 16 channels, peak=api/trend?site=$SITE&channels=all&quantities=peak&from=$PAST-01-01&to=$PAST-12-31" \
    "year 2005, 16 channels, peak=api/trend?site=$SITE&channels=all&quantities=peak&range=year" \
    "year $PAST, 1 channel, peak=api/trend?site=$SITE&channels=1&quantities=peak&from=$PAST-01-01&to=$PAST-12-31" \
    "year 2005, 1 channel, peak=api/trend?site=$SITE&channels=1&quantities=peak&range=year" \
    "year $PAST of weather (3 quantities)=api/weather?site=$SITE&from=$PAST-01-01&to=$PAST-12-31" \
    "$((HISTORY + 1)) years, 1 channel, peak=api/trend?site=$SITE&channels=1&quantities=peak&from=$FIRST_YEAR-01-01&to=2005-12-31" \
    "$((HISTORY + 1)) years, 16 channels, peak=api/trend?site=$SITE&channels=all&quantities=peak&from=$FIRST_YEAR-01-01&to=2005-12-31" \
    "site page (a day)=site?site=$SITE&channels=1"
  stop_web
  say "-- PostgreSQL, $((SITES * (HISTORY + 1))) site-years of summaries ($SITES of raw rows), $(load)"
  side_by_side past
fi

if ((SQLITE)); then
  say "== varnel-web on SQLite: one site, $DAYS days of 16 channels, imported by each varnel-collect into its own file"
  rm -rf "$WORK/site"
  mkdir -p "$WORK/site"
  "$BIN/fleet-bench-gen" "$DAYS" "$WORK/site/year.bdt" /dev/null /dev/null 1 Asia/Tokyo
  WHO=(new)
  [[ -n $BASELINE ]] && WHO=(landed new)
  for who in "${WHO[@]}"; do
    bin=$BIN
    [[ $who == landed ]] && bin=$BASELINE
    db=$WORK/site/$who.sqlite
    t0=$(now)
    "$bin/varnel-collect" --site-dir "$WORK/site" --site one-site --db "$db" \
      --time-zone Asia/Tokyo --channels 16 --import "$WORK/site/year.bdt" 2>/dev/null
    say "   $who: imported in $(secs "$t0" "$(now)") s; $(du -h "$db" | cut -f1); $(load)"
  done
  rm -f "$WORK/site/year.bdt"
  SQLITE_REQUESTS=("fleet page (/)="
    "year trend, 1 channel, peak=api/trend?site=one-site&channels=1&quantities=peak&range=year"
    "year trend, 1 channel, peak+rms=api/trend?site=one-site&channels=1&quantities=peak,rms&range=year"
    "year of weather (3 quantities)=api/weather?site=one-site&range=year"
    "year trend, 16 channels, peak=api/trend?site=one-site&channels=all&quantities=peak&range=year"
    "month trend, 1 channel, peak=api/trend?site=one-site&channels=1&quantities=peak&range=month"
    "site page (a day)=site?site=one-site"
    "year's alarms, 1 channel=api/alarms?site=one-site&channels=1&range=year"
    "year's alarms, 16 channels=api/alarms?site=one-site&range=year")
  for who in "${WHO[@]}"; do
    bin=$BIN
    [[ $who == landed ]] && bin=$BASELINE
    start_web "$bin" "$WORK/site/$who.sqlite"
    time_requests sqlite "$who" "${SQLITE_REQUESTS[@]}"
    stop_web
  done
  say "-- SQLite, one site, $DAYS days of 16 channels, $(load)"
  side_by_side sqlite
  [[ -n $BASELINE ]] && same_extremes sqlite ${#SQLITE_REQUESTS[@]}
fi
say "   load after: $(load)"
echo "web_bench: report in $REPORT"
