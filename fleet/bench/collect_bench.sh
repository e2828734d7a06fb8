#!/usr/bin/env bash
# Benchmark of varnel-collect (a script, not a test).
#
#   fleet/bench/collect_bench.sh [--build DIR] [--no-build] [--baseline BIN_DIR] [--runs N]
#                                [--days N] [--sites N] [--gen-channels N] [--site-channels N]
#                                [--sqlite-runs N] [--no-fleet] [--fleet-only] [--channel-rows-only] [--keep]
#
# --build DIR: the build of this tree to measure (default ROOT/build; made
# there with scripts/build.sh unless --no-build).  --baseline BIN_DIR: the
# bin folder of another build (the landed release), measured on the same
# data beside it.
#
# 1. Generates one year (--days, default 365) of one-minute records of one
#    16-channel site: a binary data file as the measurement program writes
#    it, and the same rows as CSV.
# 2. Imports the file with each varnel-collect into PostgreSQL and into
#    SQLite, and loads the same rows with PostgreSQL's own COPY: rows per
#    second of each and each import's ratio to COPY.  Every load starts from
#    the same state: a database (file) of its own, made by its collector,
#    with the year's monthly partitions already there and a checkpoint just
#    before.  --runs rounds (default 3; --sqlite-runs of the SQLite loads,
#    default the same), the order of the loads turned by one each round;
#    best and median.  Each collector's stored rows are
#    checked, column by column, against COPY's of the same CSV.
# 3. Unless --no-fleet: generates a year of --sites (default 100) sites
#    inside PostgreSQL (records of all 16 channels' sites; channel rows for
#    --gen-channels channels of each, default 1, and --site-channels of the
#    site queried, gen-NNN at half the count, default the same: 100 sites x
#    16 channels x a year would be about 840 million channel rows and over
#    100 GB), its schema made by the baseline's collector when one is given
#    (a database for that release's dashboard, which this tree's collector
#    then upgrades), and times "daily maximum peak of one channel over the
#    year" (--fleet-only: this part alone; --channel-rows-only: without the
#    sites' `records` rows, which that query does not read), read from the
#    key's index alone and, for comparison, through the table's rows.
#
# A PostgreSQL server of its own runs in the work folder (Unix socket only).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
DAYS=365
SITES=100
GEN_CHANNELS=1
SITE_CHANNELS=""
KEEP=0
FLEET_ONLY=0
NO_FLEET=0
CHANNEL_ROWS_ONLY=0
BUILD=$ROOT/build
BUILD_IT=1
BASELINE=""
RUNS=3
SQLITE_RUNS=""
while (($#)); do
  case $1 in
    --days) DAYS=$2; shift 2 ;;
    --sites) SITES=$2; shift 2 ;;
    --gen-channels) GEN_CHANNELS=$2; shift 2 ;;
    --site-channels) SITE_CHANNELS=$2; shift 2 ;;
    --keep) KEEP=1; shift ;;
    --fleet-only) FLEET_ONLY=1; shift ;;
    --no-fleet) NO_FLEET=1; shift ;;
    --channel-rows-only) CHANNEL_ROWS_ONLY=1; shift ;;
    --build) BUILD=$(realpath -m "$2"); shift 2 ;;
    --no-build) BUILD_IT=0; shift ;;
    --baseline) BASELINE=$(realpath "$2"); shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --sqlite-runs) SQLITE_RUNS=$2; shift 2 ;;
    -h|--help) sed -n '2,38p' "$0"; exit 0 ;;
    *) echo "collect_bench: unknown option $1" >&2; exit 2 ;;
  esac
done
SITE_CHANNELS=${SITE_CHANNELS:-$GEN_CHANNELS}
SQLITE_RUNS=${SQLITE_RUNS:-$RUNS}

((BUILD_IT)) && "$ROOT/scripts/build.sh" "$BUILD" -- varnel-collect fleet-bench-gen >/dev/null
BIN=$BUILD/bin
[[ -x $BIN/varnel-collect && -x $BIN/fleet-bench-gen ]] || { echo "collect_bench: no varnel-collect in $BIN" >&2; exit 1; }
[[ -z $BASELINE || -x $BASELINE/varnel-collect ]] || { echo "collect_bench: no varnel-collect in $BASELINE" >&2; exit 1; }
PG_BIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[[ -x $PG_BIN/initdb ]] || { echo "collect_bench: PostgreSQL is not installed (scripts/setup.sh)" >&2; exit 1; }

WORK=$(mktemp -d /var/tmp/fleet-bench.XXXXXX)
AS_PG=()
if [[ $(id -u) -eq 0 ]]; then AS_PG=(runuser -u postgres --); chown postgres: "$WORK"; fi
PGDATA=$WORK/pg
conn() { echo "host=$WORK port=5432 user=postgres dbname=${1:-postgres}"; }
CONN=$(conn)
cleanup() {
  "${AS_PG[@]}" "$PG_BIN/pg_ctl" -D "$PGDATA" -m fast -w stop >/dev/null 2>&1 || true
  if ((KEEP)); then echo "collect_bench: kept $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

now() { date +%s.%N; }
secs() { python3 -c "print(f'{$2 - $1:.1f}')"; }
psql_q() { psql "$CONN" -v ON_ERROR_STOP=1 -qAt "$@"; }
psql_db() { local db=$1; shift; psql "$(conn "$db")" -v ON_ERROR_STOP=1 -qAt "$@"; }
REPORT=$WORK/report.txt
say() { echo "$*" | tee -a "$REPORT"; }
load() { uptime | sed 's/.*load average: /load /'; }

echo "collect_bench: work folder $WORK, $(nproc) cores"
"${AS_PG[@]}" "$PG_BIN/initdb" -D "$PGDATA" -U postgres -A trust -E UTF8 --locale=C >/dev/null
# The server's defaults but for buffers and WAL size fit for bulk loads; fsync on.
"${AS_PG[@]}" "$PG_BIN/pg_ctl" -D "$PGDATA" -l "$WORK/server.log" -w -o \
  "-c listen_addresses='' -c unix_socket_directories='$WORK' -c shared_buffers=2GB -c max_wal_size=8GB -c work_mem=64MB" \
  start >/dev/null

# The UTC months (as "YYYY-MM NEXT-MM") of DAYS days from 2005-01-01 00:00
# in Tokyo: the collector's monthly partitions of them.
months() {
  local ym last next
  ym=2004-12
  last=$(date -u -d "2005-01-01 00:00 +09:00 +$DAYS days -1 minute" +%Y-%m)
  while :; do
    next=$(date -u -d "$ym-01 +1 month" +%Y-%m)
    echo "$ym $next"
    [[ $ym == "$last" ]] && break
    ym=$next
  done
}
# The partitions of `records`, `channel_records` and `snapshots` for those
# months, named as the collector names them.
partitions_sql() {
  local ym next sql=""
  while read -r ym next; do
    for table in ${1:-records channel_records snapshots}; do
      sql+="CREATE TABLE IF NOT EXISTS ${table}_${ym/-/_} PARTITION OF $table FOR VALUES FROM ('$ym-01 00:00+00') TO ('$next-01 00:00+00');"
    done
  done < <(months)
  echo "$sql"
}

QUERY_PG="SELECT date_trunc('day', time AT TIME ZONE 'Asia/Tokyo') AS day, max(peak) FROM channel_records
  WHERE site_id = %s AND channel = 1 AND time >= '2005-01-01 00:00+09' AND time < '2006-01-01 00:00+09'
  GROUP BY 1 ORDER BY 1"
time_query() {  # time_query SQL [DB] -> the best of three runs as the server timed them, and the rows
  local out
  out=$(printf '\\timing on\n%s;\n%s;\n%s;\n' "$1" "$1" "$1" | psql "$(conn "${2:-postgres}")" -qAt)
  local best rows
  best=$(grep -o 'Time: [0-9.]*' <<<"$out" | awk '{print $2}' | sort -n | head -1)
  rows=$(( $(grep -vc '^Time:' <<<"$out") / 3 ))
  echo "$(python3 -c "print(f'{$best / 1000:.3f}')") s ($rows days)"
}

COPY_RECORDS="\\copy records (site_id, time, channels, wind_speed, wind_direction, outside_temperature, outside_humidity, inside_temperature, inside_humidity, rain, max_wind_speed, threshold_1, threshold_2, threshold_3, threshold_4, forced_stop) FROM '$WORK/records.csv' CSV"
COPY_CHANNELS="\\copy channel_records (site_id, channel, time, fhc, f1c, flc, dcc, allc, rms, peak, time_pct_1, time_pct_2, time_pct_3, time_pct_4, half_cycle_pct_1, half_cycle_pct_2, half_cycle_pct_3, half_cycle_pct_4) FROM '$WORK/channels.csv' CSV"
# Row by row, every column: site 1 (the collector's) holds what COPY loaded into site 2.
SAME_ROWS="SELECT (SELECT count(*) FROM (SELECT time, channels, wind_speed, wind_direction, outside_temperature, outside_humidity, inside_temperature, inside_humidity, rain, max_wind_speed FROM records WHERE site_id = 1 EXCEPT ALL SELECT time, channels, wind_speed, wind_direction, outside_temperature, outside_humidity, inside_temperature, inside_humidity, rain, max_wind_speed FROM records WHERE site_id = 2) d) + (SELECT count(*) FROM (SELECT channel, time, fhc, f1c, flc, dcc, allc, rms, peak, time_pct_1, time_pct_2, time_pct_3, time_pct_4, half_cycle_pct_1, half_cycle_pct_2, half_cycle_pct_3, half_cycle_pct_4 FROM channel_records WHERE site_id = 1 EXCEPT ALL SELECT channel, time, fhc, f1c, flc, dcc, allc, rms, peak, time_pct_1, time_pct_2, time_pct_3, time_pct_4, half_cycle_pct_1, half_cycle_pct_2, half_cycle_pct_3, half_cycle_pct_4 FROM channel_records WHERE site_id = 2) d) = 0"

RECORDS=$((DAYS * 1440))
if ((FLEET_ONLY == 0)); then
ROWS=$((RECORDS * 17))
say "== one site, $DAYS days of one-minute records, 16 channels: $RECORDS records = $ROWS rows (1 + 16 per record)"
t0=$(now)
# The CSV's rows are of site 2, "bench-copy" in every database below (site 1
# is the collector's "bench-import").
"$BIN/fleet-bench-gen" "$DAYS" "$WORK/year.bdt" "$WORK/records.csv" "$WORK/channels.csv" 2 Asia/Tokyo
t1=$(now)
say "generated the data file ($(du -h "$WORK/year.bdt" | cut -f1)) and its rows as CSV in $(secs "$t0" "$t1") s"
say "   $RUNS rounds of the PostgreSQL loads, $SQLITE_RUNS of the SQLite ones, the order of the loads turned by one each round; $(load) before"
mkdir -p "$WORK/site"
PARTITIONS=$(partitions_sql)
TIMES=$WORK/times.txt
: > "$TIMES"

# Loads: "copy" (PostgreSQL's COPY, into tables of this tree's collector),
# "pg:new", "pg:landed", "sqlite:new", "sqlite:landed".
COLLECTORS=(new)
[[ -n $BASELINE ]] && COLLECTORS=(landed new)
collector_of() { [[ $1 == landed ]] && echo "$BASELINE/varnel-collect" || echo "$BIN/varnel-collect"; }
PG_LOADS=(copy)
SQLITE_LOADS=()
for c in "${COLLECTORS[@]}"; do PG_LOADS+=("pg:$c"); SQLITE_LOADS+=("sqlite:$c"); done

# run_load LOAD ROUND LAST: one load from a fresh database; its seconds into TIMES.
run_load() {
  local load=$1 round=$2 last=$3 who db file t0 t1
  who=${load#*:}
  [[ $load == copy ]] && who=new
  local collect
  collect=$(collector_of "$who")
  case $load in
    copy|pg:*)
      db=bench_${load/:/_}_$round
      psql_q -c "CREATE DATABASE $db"
      "$collect" --site-dir "$WORK/site" --site bench-import --db "$(conn "$db")" --time-zone Asia/Tokyo --once 2>/dev/null
      psql_db "$db" -c "INSERT INTO sites (name, time_zone) VALUES ('bench-copy', 'Asia/Tokyo')" -c "$PARTITIONS"
      psql_db "$db" -c "CHECKPOINT"
      sync
      t0=$(now)
      if [[ $load == copy ]]; then
        psql_db "$db" -c "$COPY_RECORDS" -c "$COPY_CHANNELS"
      else
        "$collect" --site-dir "$WORK/site" --site bench-import --db "$(conn "$db")" --time-zone Asia/Tokyo \
          --channels 16 --import "$WORK/year.bdt" 2>"$WORK/import-$load-$round.log"
      fi
      t1=$(now)
      if [[ $load != copy ]] && ((last)); then
        psql_db "$db" -c "$COPY_RECORDS" -c "$COPY_CHANNELS"
        say "   $load: stored rows equal COPY's of the same CSV, column by column: $(psql_db "$db" -c "$SAME_ROWS AND (SELECT count(*) FROM records WHERE site_id = 1) = $RECORDS")"
        if [[ $who == new ]]; then
          say "   $load: daily maximum peak of one channel over the year (raw rows): $(time_query "$(printf "$QUERY_PG" 1)" "$db")"
          say "   $load: summaries $(psql_db "$db" -F ' ' -c "SELECT (SELECT count(*) FROM summary_hours), 'hourly rows,', (SELECT count(*) FROM summary_days), 'daily rows'")"
        fi
      fi
      psql_q -c "DROP DATABASE $db"
      ;;
    sqlite:*)
      file=$WORK/$who-$round.sqlite
      rm -f "$file"*
      "$collect" --site-dir "$WORK/site" --site bench-import --db "$file" --time-zone Asia/Tokyo --once 2>/dev/null
      sync
      t0=$(now)
      "$collect" --site-dir "$WORK/site" --site bench-import --db "$file" --time-zone Asia/Tokyo \
        --channels 16 --import "$WORK/year.bdt" 2>"$WORK/import-$load-$round.log"
      t1=$(now)
      if ((last)); then
        say "   $load: $(sqlite3 "$file" "SELECT count(*) FROM records") records, $(du -h "$file" | cut -f1)"
        local q="SELECT (time + 32400) / 86400 AS day, max(peak) FROM channel_records WHERE site_id = 1 AND channel = 1
          AND time >= strftime('%s', '2004-12-31 15:00:00') AND time < strftime('%s', '2005-12-31 15:00:00') GROUP BY day"
        local out best
        out=$(printf '.timer on\n%s;\n%s;\n%s;\n' "$q" "$q" "$q" | sqlite3 "$file")
        best=$(grep -o 'Run Time: real [0-9.]*' <<<"$out" | awk '{print $4}' | sort -n | head -1)
        say "   $load: daily maximum peak of one channel over the year (raw rows): $best s ($(( $(grep -vc '^Run Time' <<<"$out") / 3 )) days)"
      fi
      rm -f "$file"*
      ;;
  esac
  echo "$load $round $(python3 -c "print($t1 - $t0)")" >> "$TIMES"
  echo "   round $round $load: $(secs "$t0" "$t1") s ($(load))"
}

for ((round = 1; round <= RUNS || round <= SQLITE_RUNS; ++round)); do
  if ((round <= RUNS)); then
    n=${#PG_LOADS[@]}
    for ((i = 0; i < n; ++i)); do run_load "${PG_LOADS[$(((i + round - 1) % n))]}" "$round" $((round == RUNS)); done
  fi
  if ((round <= SQLITE_RUNS)); then
    n=${#SQLITE_LOADS[@]}
    for ((i = 0; i < n; ++i)); do run_load "${SQLITE_LOADS[$(((i + round - 1) % n))]}" "$round" $((round == SQLITE_RUNS)); done
  fi
done
say "   $(load) after"
python3 - "$TIMES" "$ROWS" <<'PY' | tee -a "$REPORT"
import statistics, sys
rows = int(sys.argv[2])
times = {}
for line in open(sys.argv[1]):
    load, _, s = line.split()
    times.setdefault(load, []).append(float(s))
names = {"copy": "PostgreSQL COPY of the same rows", "pg:landed": "landed varnel-collect into PostgreSQL",
         "pg:new": "new varnel-collect into PostgreSQL", "sqlite:landed": "landed varnel-collect into SQLite",
         "sqlite:new": "new varnel-collect into SQLite"}
copy = times.get("copy")
print(f"  {'load':<40} {'best s':>8} {'median s':>9} {'best rows/s':>12} {'median rows/s':>14}  ratio to COPY (best; median)")
for load in ["copy", "pg:landed", "pg:new", "sqlite:landed", "sqlite:new"]:
    if load not in times: continue
    t = times[load]
    best, med = min(t), statistics.median(t)
    ratio = f"{min(copy) / best:.2f}; {statistics.median(copy) / med:.2f}" if copy and load != "copy" else ""
    print(f"  {names[load]:<40} {best:8.1f} {med:9.1f} {rows / best:12,.0f} {rows / med:14,.0f}  {ratio}")
PY
fi

if ((NO_FLEET == 0)); then
say "== $SITES sites x $DAYS days generated inside PostgreSQL ($( ((CHANNEL_ROWS_ONLY)) && echo "no records rows" || echo "records of every site"), channel rows of $GEN_CHANNELS channel(s) each, $SITE_CHANNELS of the site queried)"
MID_NAME=gen-$(printf %03d $((SITES / 2)))
# The schema: the baseline's collector's when given (the fleet of that release).
SCHEMA_COLLECT=$BIN/varnel-collect
[[ -n $BASELINE ]] && SCHEMA_COLLECT=$BASELINE/varnel-collect
mkdir -p "$WORK/site"
"$SCHEMA_COLLECT" --site-dir "$WORK/site" --site bench-import --db "$CONN" --time-zone Asia/Tokyo --once 2>/dev/null
say "   schema made by $SCHEMA_COLLECT: version $(psql_q -c "SELECT max(version) FROM schema_version")"
# Each month's rows go into a table of their own, which then becomes that
# month's partition: attaching it builds the partition's indexes (the
# collector's key, covering and BRIN indexes, as defined on the parent) in
# one pass each, about three times as fast as inserting into them row by
# row.  The rows stay in the order of time, every site's record of a minute
# beside the others', as the collectors' inserts leave them.
psql_q -c "$(partitions_sql snapshots)"
TABLES=(channel_records)
((CHANNEL_ROWS_ONLY)) || TABLES=(records channel_records)
t0=$(now)
psql_q -c "INSERT INTO sites (name, time_zone) SELECT 'gen-' || lpad(g::text, 3, '0'), 'Asia/Tokyo' FROM generate_series(1, $SITES) g"
START="'2005-01-01 00:00+09'::timestamptz"
END="($START + interval '$DAYS days')"
# gen_rows TABLE: its rows, month by month; the two tables in two sessions.
gen_rows() {
  local ym next p span
  while read -r ym next; do
    p=${ym/-/_}
    span="generate_series(greatest($START, '$ym-01 00:00+00'), least($END, '$next-01 00:00+00') - interval '1 minute', interval '1 minute')"
    psql_q -c "CREATE TABLE ${1}_$p (LIKE $1 INCLUDING DEFAULTS)"
    if [[ $1 == records ]]; then
      psql_q -c "INSERT INTO records_$p (site_id, time, channels, wind_speed, wind_direction, outside_temperature, outside_humidity, inside_temperature, inside_humidity, rain, max_wind_speed)
        SELECT s.site_id, t, 16, random() * 10, random() * 360, random() * 30, random() * 100, random() * 30, random() * 100, 0, random() * 20
        FROM $span t CROSS JOIN (SELECT site_id FROM sites WHERE name LIKE 'gen-%' ORDER BY site_id) s"
    else
      psql_q -c "INSERT INTO channel_records_$p (site_id, channel, time, fhc, f1c, flc, dcc, allc, rms, peak, time_pct_1, time_pct_2, time_pct_3, time_pct_4, half_cycle_pct_1, half_cycle_pct_2, half_cycle_pct_3, half_cycle_pct_4)
        SELECT s.site_id, c, t, random(), random(), random(), random(), random(), random(), random() * 12, random() * 100, random() * 50, random() * 10, random(), random() * 100, random() * 50, random() * 10, random()
        FROM $span t CROSS JOIN (SELECT site_id, CASE WHEN name = '$MID_NAME' THEN $SITE_CHANNELS ELSE $GEN_CHANNELS END AS channels
          FROM sites WHERE name LIKE 'gen-%' ORDER BY site_id) s CROSS JOIN LATERAL generate_series(1, s.channels) c"
    fi
    echo "   $1 $ym: rows in $(secs "$t0" "$(now)") s so far ($(load))"
  done < <(months)
}
# attach TABLE: its monthly tables become its partitions.
attach() {
  local ym next
  while read -r ym next; do
    PGOPTIONS="-c maintenance_work_mem=1GB" psql_q -c "ALTER TABLE $1 ATTACH PARTITION ${1}_${ym/-/_} FOR VALUES FROM ('$ym-01 00:00+00') TO ('$next-01 00:00+00')"
    echo "   $1 $ym: attached, $(secs "$ta" "$(now)") s so far ($(load))"
  done < <(months)
}
PIDS=()
for table in "${TABLES[@]}"; do gen_rows "$table" & PIDS+=($!); done
for pid in "${PIDS[@]}"; do wait "$pid"; done
ta=$(now)
PIDS=()
for table in "${TABLES[@]}"; do attach "$table" & PIDS+=($!); done
for pid in "${PIDS[@]}"; do wait "$pid"; done
((CHANNEL_ROWS_ONLY)) && psql_q -c "$(partitions_sql records)"
say "   rows in $(secs "$t0" "$ta") s, partitions attached (their indexes built) in $(secs "$ta" "$(now)") s"
t1=$(now)
psql_q -c "VACUUM ANALYZE"
t2=$(now)
GEN_ROWS=$(psql_q -c "SELECT (SELECT count(*) FROM records) + (SELECT count(*) FROM channel_records)")
say "generated $GEN_ROWS rows in $(secs "$t0" "$t1") s, then VACUUM ANALYZE in $(secs "$t1" "$t2") s; database $(psql_q -c "SELECT pg_size_pretty(pg_database_size('postgres'))")"
MID=$(psql_q -c "SELECT site_id FROM sites WHERE name = '$MID_NAME'")
say "daily maximum peak of one channel over the year among $SITES sites: $(time_query "$(printf "$QUERY_PG" "$MID")")"
say "  the same through the table's rows (index-only scans off): $(PGOPTIONS="-c enable_indexonlyscan=off" time_query "$(printf "$QUERY_PG" "$MID")")"
say "  its plan: $(psql_q -c "EXPLAIN (ANALYZE, BUFFERS) $(printf "$QUERY_PG" "$MID")" | grep -E -m2 'Index.*Scan|Heap Fetches' | tr -s ' ' | head -2 | paste -sd ';')"
fi
echo "collect_bench: report in $REPORT"
cp "$REPORT" "$BUILD/collect_bench_report.txt" 2>/dev/null || true
