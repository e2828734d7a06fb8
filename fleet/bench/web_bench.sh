#!/usr/bin/env bash
# Benchmark of varnel-web (a script, not a test): the time per request on a
# fleet of 100 site-years.
#
#   fleet/bench/web_bench.sh [--sites N] [--days N] [--runs N] [--work DIR] [--no-sqlite] [--keep]
#
# 1. The fleet: the collector's benchmark generates it (collect_bench.sh
#    --fleet-only --keep): --sites (default 100) sites x --days (default 365)
#    days of one-minute records inside PostgreSQL, the `records` rows of
#    every site and the channel rows of channel 1 (all 16 channels of 100
#    sites would be over 100 GB).  --work DIR reuses a folder kept before
#    (and keeps it); a database made by an older collector gets the indexes
#    of today's one first, as a collector started on it would make them.
# 2. That server is started again, and varnel-web on it, with an alarm rule
#    on the peak, so the fleet page also works out every site's stage now.
# 3. Each request is timed --runs times (default 5; best and median): the
#    fleet page and its JSON, a year's trend of one channel (600 buckets,
#    each with its smallest and largest record), a year of the weather, a
#    day of one channel, the site page (a day), a year's alarms of one
#    channel.
# 4. The same on one site-year in SQLite (all 16 channels), the site
#    folder's default database, imported by varnel-collect (--no-sqlite:
#    left out).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
SITES=100
DAYS=365
RUNS=5
WORK=""
SQLITE=1
KEEP=0
while (($#)); do
  case $1 in
    --sites) SITES=$2; shift 2 ;;
    --days) DAYS=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --work) WORK=$(realpath "$2"); KEEP=1; shift 2 ;;
    --no-sqlite) SQLITE=0; shift ;;
    --keep) KEEP=1; shift ;;
    -h|--help) sed -n '2,26p' "$0"; exit 0 ;;
    *) echo "web_bench: unknown option $1" >&2; exit 2 ;;
  esac
done

"$ROOT/scripts/build.sh" "$ROOT/build" -- varnel-web varnel-collect fleet-bench-gen >/dev/null
BIN=$ROOT/build/bin
PG_BIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)

if [[ -z $WORK ]]; then
  echo "web_bench: generating $SITES sites x $DAYS days with collect_bench.sh --fleet-only (this takes a while)"
  "$ROOT/fleet/bench/collect_bench.sh" --fleet-only --keep --sites "$SITES" --days "$DAYS" | tee /tmp/web_bench_gen.$$
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
  "-c listen_addresses='' -c unix_socket_directories='$WORK' -c shared_buffers=2GB -c work_mem=64MB" start >/dev/null

REPORT=$ROOT/build/web_bench_report.txt
: > "$REPORT"
say() { echo "$*" | tee -a "$REPORT"; }

mkdir -p "$WORK/web"
printf '[Rule peak current]\nQuantity=peak\ncaution=8\nwarning=10\ndanger=11.5\n' > "$WORK/web/varnel-web.ini"

# start_web DB: varnel-web on DB, its address in BASE.
start_web() {
  "$BIN/varnel-web" --site-dir "$WORK/web" --db "$1" --port 0 > "$WORK/web/web.log" 2>&1 &
  WEB_PID=$!
  for _ in $(seq 1 100); do grep -q 'serving http' "$WORK/web/web.log" && break; sleep 0.1; done
  BASE=$(grep -o 'http://[^ ]*/' "$WORK/web/web.log" | head -1)
  [[ -n $BASE ]] || { cat "$WORK/web/web.log" >&2; exit 1; }
}
stop_web() { kill -TERM "$WEB_PID"; wait "$WEB_PID" || true; WEB_PID=""; }

# time_requests NAME=PATH...: best and median of RUNS requests each.
time_requests() {
  python3 - "$BASE" "$RUNS" "$@" <<'PY' | tee -a "$REPORT"
import statistics, sys, time, urllib.request
base, runs = sys.argv[1], int(sys.argv[2])
for item in sys.argv[3:]:
    name, path = item.split('=', 1)
    times, size, status = [], 0, 0
    for _ in range(runs):
        t0 = time.perf_counter()
        with urllib.request.urlopen(base + path, timeout=600) as r:
            body = r.read()
            status = r.status
        times.append(time.perf_counter() - t0)
        size = len(body)
    print(f"  {name:<34} best {min(times) * 1000:8.1f} ms  median {statistics.median(times) * 1000:8.1f} ms"
          f"  ({status}, {size / 1024:.0f} KiB)")
PY
}

# The collector makes its schema's missing tables and indexes when it starts
# (on the bench-import site the generator made).
t0=$(date +%s.%N)
"$BIN/varnel-collect" --site-dir "$WORK/web" --site bench-import --db "$CONN" --time-zone Asia/Tokyo --once 2>/dev/null
say "schema of today's collector in place after $(python3 -c "print(f'{$(date +%s.%N) - $t0:.1f}')") s"
say "$(psql "$CONN" -qAt -F ' ' -c "SELECT 'sizes: tables', pg_size_pretty(sum(pg_table_size(c.oid)) FILTER (WHERE c.relkind = 'r')),
  '; keys', pg_size_pretty(sum(pg_relation_size(c.oid)) FILTER (WHERE c.relname LIKE '%pkey')),
  '; series indexes', pg_size_pretty(sum(pg_relation_size(c.oid)) FILTER (WHERE c.relname LIKE '%site_id_time%idx' OR c.relname LIKE '%site_id_channel_time%idx'))
  FROM pg_class c WHERE c.relname ~ '^(records|channel_records)_2'")"
SITE=$(psql "$CONN" -qAt -c "SELECT name FROM sites WHERE name LIKE 'gen-%' ORDER BY name OFFSET $((SITES / 2)) LIMIT 1")
ROWS=$(psql "$CONN" -qAt -c "SELECT (SELECT count(*) FROM records) + (SELECT count(*) FROM channel_records)")
say "== varnel-web on PostgreSQL: $SITES sites x $DAYS days ($ROWS rows), $(nproc) cores, $RUNS runs each"
say "   load before: $(uptime | sed 's/.*load average/load average/')"
start_web "$CONN"
time_requests "fleet page (/)=" "fleet JSON (/api/fleet)=api/fleet" \
  "year trend, 1 channel, peak=api/trend?site=$SITE&channels=1&quantities=peak&range=year" \
  "year trend, 1 channel, peak+rms=api/trend?site=$SITE&channels=1&quantities=peak,rms&range=year" \
  "year trend, 1 channel, 4 time pcts=api/trend?site=$SITE&channels=1&quantities=time_pct_1,time_pct_2,time_pct_3,time_pct_4&range=year" \
  "year of weather (3 quantities)=api/weather?site=$SITE&range=year" \
  "day trend, 1 channel=api/trend?site=$SITE&channels=1&range=day" \
  "fleet page line of a site (a day)=api/trend?site=$SITE&channels=any&quantities=peak&range=day&points=120" \
  "site page (a day)=site?site=$SITE&channels=1" \
  "year's alarms, 1 channel=api/alarms?site=$SITE&channels=1&range=year"
stop_web

if ((SQLITE)); then
  say "== varnel-web on SQLite: one site, $DAYS days of 16 channels"
  rm -rf "$WORK/site"
  mkdir -p "$WORK/site"
  "$BIN/fleet-bench-gen" "$DAYS" "$WORK/site/year.bdt" /dev/null /dev/null 1 Asia/Tokyo
  t0=$(date +%s.%N)
  "$BIN/varnel-collect" --site-dir "$WORK/site" --site one-site --db "$WORK/site/records.sqlite" \
    --time-zone Asia/Tokyo --channels 16 --import "$WORK/site/year.bdt" 2>/dev/null
  say "   imported in $(python3 -c "print(f'{$(date +%s.%N) - $t0:.0f}')") s; $(du -h "$WORK/site/records.sqlite" | cut -f1)"
  rm -f "$WORK/site/year.bdt"
  start_web "$WORK/site/records.sqlite"
  time_requests "fleet page (/)=" \
    "year trend, 1 channel, peak=api/trend?site=one-site&channels=1&quantities=peak&range=year" \
    "year trend, 1 channel, peak+rms=api/trend?site=one-site&channels=1&quantities=peak,rms&range=year" \
    "year trend, 16 channels, peak=api/trend?site=one-site&channels=all&quantities=peak&range=year" \
    "year of weather (3 quantities)=api/weather?site=one-site&range=year" \
    "site page (a day)=site?site=one-site" \
    "year's alarms, 1 channel=api/alarms?site=one-site&channels=1&range=year" \
    "year's alarms, 16 channels=api/alarms?site=one-site&range=year"
  stop_web
fi
say "   load after: $(uptime | sed 's/.*load average/load average/')"
echo "web_bench: report in $REPORT"
