#!/usr/bin/env bash
# Benchmark of varnel-collect (a script, not a test).
#
#   fleet/bench/collect_bench.sh [--days N] [--sites N] [--gen-channels N] [--fleet-only]
#                                [--channel-rows-only] [--keep]
#
# 1. Generates one year (--days, default 365) of one-minute records of one
#    16-channel site: a binary data file as the measurement program writes
#    it, and the same rows as CSV.
# 2. Imports the file with varnel-collect into SQLite and into PostgreSQL,
#    and loads the same rows with PostgreSQL's own COPY: rows per second of
#    each and their ratio to COPY (one run).
# 3. Generates a year of --sites (default 100) sites inside PostgreSQL
#    (records of all 16 channels' sites; channel rows for --gen-channels
#    channels of each, default 1, the one queried: 100 sites x 16 channels x
#    a year would be about 840 million channel rows and over 100 GB) and
#    times "daily maximum peak of one channel over the year" (--fleet-only:
#    this part alone; --channel-rows-only: without the sites' `records` rows,
#    which that query does not read), read from the key's index alone and,
#    for comparison, through the table's rows.
#
# A PostgreSQL server of its own runs in the work folder (Unix socket only).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
DAYS=365
SITES=100
GEN_CHANNELS=1
KEEP=0
FLEET_ONLY=0
CHANNEL_ROWS_ONLY=0
while (($#)); do
  case $1 in
    --days) DAYS=$2; shift 2 ;;
    --sites) SITES=$2; shift 2 ;;
    --gen-channels) GEN_CHANNELS=$2; shift 2 ;;
    --keep) KEEP=1; shift ;;
    --fleet-only) FLEET_ONLY=1; shift ;;
    --channel-rows-only) CHANNEL_ROWS_ONLY=1; shift ;;
    -h|--help) sed -n '2,26p' "$0"; exit 0 ;;
    *) echo "collect_bench: unknown option $1" >&2; exit 2 ;;
  esac
done

"$ROOT/scripts/build.sh" "$ROOT/build" -- varnel-collect fleet-bench-gen >/dev/null
BIN=$ROOT/build/bin
PG_BIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[[ -x $PG_BIN/initdb ]] || { echo "collect_bench: PostgreSQL is not installed (scripts/setup.sh)" >&2; exit 1; }

WORK=$(mktemp -d /var/tmp/fleet-bench.XXXXXX)
AS_PG=()
if [[ $(id -u) -eq 0 ]]; then AS_PG=(runuser -u postgres --); chown postgres: "$WORK"; fi
PGDATA=$WORK/pg
CONN="host=$WORK port=5432 user=postgres dbname=postgres"
cleanup() {
  "${AS_PG[@]}" "$PG_BIN/pg_ctl" -D "$PGDATA" -m fast -w stop >/dev/null 2>&1 || true
  if ((KEEP)); then echo "collect_bench: kept $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

now() { date +%s.%N; }
secs() { python3 -c "print(f'{$2 - $1:.1f}')"; }
rate() { python3 -c "print(f'{$1 / ($3 - $2):,.0f}')"; }
psql_q() { psql "$CONN" -v ON_ERROR_STOP=1 -qAt "$@"; }
REPORT=$WORK/report.txt
say() { echo "$*" | tee -a "$REPORT"; }

echo "collect_bench: work folder $WORK, $(nproc) cores"
"${AS_PG[@]}" "$PG_BIN/initdb" -D "$PGDATA" -U postgres -A trust -E UTF8 --locale=C >/dev/null
# The server's defaults but for buffers and WAL size fit for bulk loads; fsync on.
"${AS_PG[@]}" "$PG_BIN/pg_ctl" -D "$PGDATA" -l "$WORK/server.log" -w -o \
  "-c listen_addresses='' -c unix_socket_directories='$WORK' -c shared_buffers=2GB -c max_wal_size=8GB -c work_mem=64MB" \
  start >/dev/null

# The schema and the two sites of the single-site loads (ids 1 and 2).
mkdir -p "$WORK/site"
"$BIN/varnel-collect" --site-dir "$WORK/site" --site bench-import --db "$CONN" --time-zone Asia/Tokyo --once 2>/dev/null
COPY_SITE=$(psql_q -c "INSERT INTO sites (name, time_zone) VALUES ('bench-copy', 'Asia/Tokyo') RETURNING site_id")

QUERY_PG="SELECT date_trunc('day', time AT TIME ZONE 'Asia/Tokyo') AS day, max(peak) FROM channel_records
  WHERE site_id = %s AND channel = 1 AND time >= '2005-01-01 00:00+09' AND time < '2006-01-01 00:00+09'
  GROUP BY 1 ORDER BY 1"
time_query() {  # time_query SQL -> the best of three runs as the server timed them, and the rows
  local out
  out=$(printf '\\timing on\n%s;\n%s;\n%s;\n' "$1" "$1" "$1" | psql "$CONN" -qAt)
  local best rows
  best=$(grep -o 'Time: [0-9.]*' <<<"$out" | awk '{print $2}' | sort -n | head -1)
  rows=$(( $(grep -vc '^Time:' <<<"$out") / 3 ))
  echo "$(python3 -c "print(f'{$best / 1000:.3f}')") s ($rows days)"
}
RECORDS=$((DAYS * 1440))
if ((FLEET_ONLY == 0)); then
ROWS=$((RECORDS * 17))
say "== one site, $DAYS days of one-minute records, 16 channels: $RECORDS records = $ROWS rows (1 + 16 per record)"
t0=$(now)
"$BIN/fleet-bench-gen" "$DAYS" "$WORK/year.bdt" "$WORK/records.csv" "$WORK/channels.csv" "$COPY_SITE" Asia/Tokyo
t1=$(now)
say "generated the data file ($(du -h "$WORK/year.bdt" | cut -f1)) and its rows as CSV in $(secs "$t0" "$t1") s"

t0=$(now)
"$BIN/varnel-collect" --site-dir "$WORK/site" --site bench-import --db "$WORK/bench.sqlite" --time-zone Asia/Tokyo \
  --channels 16 --import "$WORK/year.bdt" 2>"$WORK/sqlite-import.log"
t1=$(now)
SQLITE_RATE=$(rate $ROWS "$t0" "$t1")
say "varnel-collect into SQLite:      $(secs "$t0" "$t1") s, $SQLITE_RATE rows/s"

t0=$(now)
"$BIN/varnel-collect" --site-dir "$WORK/site" --site bench-import --db "$CONN" --time-zone Asia/Tokyo \
  --channels 16 --import "$WORK/year.bdt" 2>"$WORK/pg-import.log"
t1=$(now)
PG_SECS=$(secs "$t0" "$t1")
PG_RATE=$(rate $ROWS "$t0" "$t1")
say "varnel-collect into PostgreSQL:  $PG_SECS s, $PG_RATE rows/s"

t0=$(now)
psql_q -c "\\copy records (site_id, time, channels, wind_speed, wind_direction, outside_temperature, outside_humidity, inside_temperature, inside_humidity, rain, max_wind_speed, threshold_1, threshold_2, threshold_3, threshold_4, forced_stop) FROM '$WORK/records.csv' CSV"
psql_q -c "\\copy channel_records (site_id, channel, time, fhc, f1c, flc, dcc, allc, rms, peak, time_pct_1, time_pct_2, time_pct_3, time_pct_4, half_cycle_pct_1, half_cycle_pct_2, half_cycle_pct_3, half_cycle_pct_4) FROM '$WORK/channels.csv' CSV"
t1=$(now)
COPY_SECS=$(secs "$t0" "$t1")
COPY_RATE=$(rate $ROWS "$t0" "$t1")
say "PostgreSQL COPY of the same rows: $COPY_SECS s, $COPY_RATE rows/s"
say "ratio to COPY: PostgreSQL import $(python3 -c "print(f'{$COPY_SECS / $PG_SECS:.2f}')"), SQLite import $(python3 -c "print(f'{${SQLITE_RATE//,/} / ${COPY_RATE//,/}:.2f}')")"
# Row by row, every column: what the import stored is what COPY loaded.
CHECK=$(psql_q -c "SELECT (SELECT count(*) FROM (SELECT time, channels, wind_speed, wind_direction, outside_temperature, outside_humidity, inside_temperature, inside_humidity, rain, max_wind_speed FROM records WHERE site_id = 1 EXCEPT ALL SELECT time, channels, wind_speed, wind_direction, outside_temperature, outside_humidity, inside_temperature, inside_humidity, rain, max_wind_speed FROM records WHERE site_id = $COPY_SITE) d) + (SELECT count(*) FROM (SELECT channel, time, fhc, f1c, flc, dcc, allc, rms, peak, time_pct_1, time_pct_2, time_pct_3, time_pct_4, half_cycle_pct_1, half_cycle_pct_2, half_cycle_pct_3, half_cycle_pct_4 FROM channel_records WHERE site_id = 1 EXCEPT ALL SELECT channel, time, fhc, f1c, flc, dcc, allc, rms, peak, time_pct_1, time_pct_2, time_pct_3, time_pct_4, half_cycle_pct_1, half_cycle_pct_2, half_cycle_pct_3, half_cycle_pct_4 FROM channel_records WHERE site_id = $COPY_SITE) d) = 0 AND (SELECT count(*) FROM records WHERE site_id = 1) = $RECORDS")
say "imported rows equal the COPY's: $CHECK"

say "daily maximum peak of one channel over the year, one site: PostgreSQL $(time_query "$(printf "$QUERY_PG" 1)")"
QUERY_SQLITE="SELECT (time + 32400) / 86400 AS day, max(peak) FROM channel_records WHERE site_id = 1 AND channel = 1
  AND time >= strftime('%s', '2004-12-31 15:00:00') AND time < strftime('%s', '2005-12-31 15:00:00') GROUP BY day"
out=$(printf '.timer on\n%s;\n%s;\n%s;\n' "$QUERY_SQLITE" "$QUERY_SQLITE" "$QUERY_SQLITE" | sqlite3 "$WORK/bench.sqlite")
best=$(grep -o 'Run Time: real [0-9.]*' <<<"$out" | awk '{print $4}' | sort -n | head -1)
say "  the same on SQLite: $best s ($(( $(grep -vc '^Run Time' <<<"$out") / 3 )) days)"
fi

say "== $SITES sites x $DAYS days generated inside PostgreSQL ($( ((CHANNEL_ROWS_ONLY)) && echo "no records rows" || echo "records of every site"), channel rows of $GEN_CHANNELS channel(s) each)"
# Monthly partitions (UTC) as the collector names them, for the year in Tokyo.
for ym in 2004-12 2005-01 2005-02 2005-03 2005-04 2005-05 2005-06 2005-07 2005-08 2005-09 2005-10 2005-11 2005-12 2006-01; do
  next=$(date -u -d "$ym-01 +1 month" +%Y-%m)
  for table in records channel_records snapshots; do
    psql_q -c "CREATE TABLE IF NOT EXISTS ${table}_${ym/-/_} PARTITION OF $table FOR VALUES FROM ('$ym-01 00:00+00') TO ('$next-01 00:00+00')"
  done
done
t0=$(now)
psql_q -c "INSERT INTO sites (name, time_zone) SELECT 'gen-' || lpad(g::text, 3, '0'), 'Asia/Tokyo' FROM generate_series(1, $SITES) g"
for ((d = 0; d < DAYS; d += 31)); do
  span="generate_series('2005-01-01 00:00+09'::timestamptz + interval '$d days', least('2005-01-01 00:00+09'::timestamptz + interval '$((d + 31)) days', '2005-01-01 00:00+09'::timestamptz + interval '$DAYS days') - interval '1 minute', interval '1 minute')"
  ((CHANNEL_ROWS_ONLY)) || psql_q -c "INSERT INTO records (site_id, time, channels, wind_speed, wind_direction, outside_temperature, outside_humidity, inside_temperature, inside_humidity, rain, max_wind_speed)
    SELECT s.site_id, t, 16, random() * 10, random() * 360, random() * 30, random() * 100, random() * 30, random() * 100, 0, random() * 20
    FROM $span t CROSS JOIN (SELECT site_id FROM sites WHERE name LIKE 'gen-%') s"
  psql_q -c "INSERT INTO channel_records (site_id, channel, time, fhc, f1c, flc, dcc, allc, rms, peak, time_pct_1, time_pct_2, time_pct_3, time_pct_4, half_cycle_pct_1, half_cycle_pct_2, half_cycle_pct_3, half_cycle_pct_4)
    SELECT s.site_id, c, t, random(), random(), random(), random(), random(), random(), random() * 12, random() * 100, random() * 50, random() * 10, random(), random() * 100, random() * 50, random() * 10, random()
    FROM $span t CROSS JOIN (SELECT site_id FROM sites WHERE name LIKE 'gen-%') s CROSS JOIN generate_series(1, $GEN_CHANNELS) c"
done
t1=$(now)
psql_q -c "VACUUM ANALYZE"
t2=$(now)
GEN_ROWS=$(psql_q -c "SELECT (SELECT count(*) FROM records) + (SELECT count(*) FROM channel_records)")
say "generated $GEN_ROWS rows in $(secs "$t0" "$t1") s, then VACUUM ANALYZE in $(secs "$t1" "$t2") s; database $(psql_q -c "SELECT pg_size_pretty(pg_database_size('postgres'))")"
MID=$(psql_q -c "SELECT site_id FROM sites WHERE name = 'gen-$(printf %03d $((SITES / 2)))'")
say "daily maximum peak of one channel over the year among $SITES sites: $(time_query "$(printf "$QUERY_PG" "$MID")")"
say "  the same through the table's rows (index-only scans off): $(PGOPTIONS="-c enable_indexonlyscan=off" time_query "$(printf "$QUERY_PG" "$MID")")"
say "  its plan: $(psql_q -c "EXPLAIN (ANALYZE, BUFFERS) $(printf "$QUERY_PG" "$MID")" | grep -E -m2 'Index.*Scan|Heap Fetches' | tr -s ' ' | head -2 | paste -sd ';')"
echo "collect_bench: report in $REPORT"
cp "$REPORT" "$ROOT/build/collect_bench_report.txt"
