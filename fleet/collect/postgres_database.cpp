// PostgreSQL engine through libpq: one server for many sites.
//
// `records`, `channel_records` and `snapshots` are partitioned by month of
// their `time` (timestamptz; month bounds in UTC).  A batch's months get
// their partitions before its transaction, under an advisory lock, so that
// collectors of many sites never race to create the same partition.  A
// batch's rows go in with COPY into temporary tables of the connection, and
// from there in one statement into the tables (records not stored before,
// their channels, and the hourly and daily summaries of what was added).
#include <libpq-fe.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <functional>
#include <ctime>
#include <set>
#include <utility>

#include "database.h"
#include "pg_copy.h"
#include "pg_result.h"
#include "indicators.h"
#include "schema.h"
#include "site_zone.h"
#include "summaries.h"

namespace varnel::fleet {

namespace {

// Advisory lock key that serialises schema changes of all collectors.
constexpr long long kSchemaLock = 7100'0001;

// An array literal of text elements, built column by column.
class ArrayText {
 public:
  void Add(std::string_view element) {
    text_ += text_.empty() ? "{" : ",";
    text_ += element;
  }
  void AddNull() { Add("NULL"); }
  void Add(float v) {
    if (std::isnan(v)) return Add("NaN");
    if (std::isinf(v)) return Add(v > 0 ? "Infinity" : "-Infinity");
    char buf[32];
    // The shortest text that reads back as the same single.
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    Add(std::string_view(buf, static_cast<std::size_t>(end - buf)));
  }
  void Add(long long v) { Add(std::string_view(std::to_string(v))); }
  // A quoted element (texts with blanks, commas or quotes).
  void AddQuoted(std::string_view s) {
    std::string q = "\"";
    for (char c : s) {
      if (c == '"' || c == '\\') q += '\\';
      q += c;
    }
    Add(std::string_view(q + "\""));
  }
  std::string Done() const { return text_.empty() ? "{}" : text_ + "}"; }

 private:
  std::string text_;
};

std::string IsoUtcMonthStart(int year, int month) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-01 00:00:00+00", year, month);
  return buf;
}

// The start of the UTC month that holds `epoch`, and of the one after it.
int64_t MonthStart(int64_t epoch) { return MonthStartBefore(epoch, 0); }
int64_t NextMonthStart(int64_t monthStart) { return MonthStartBefore(monthStart + 40 * 86400, 0); }

// UTC year and month of an instant.
std::pair<int, int> UtcMonth(int64_t epochSeconds) {
  const std::time_t t = static_cast<std::time_t>(epochSeconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1};
}

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * bytes.size());
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// Step 1 is the schema of the releases before schema versions, as they made
// it: its IF NOT EXISTS forms leave a database of theirs unchanged (or add
// the covering indexes of the releases before those), and the step then
// only stamps it.
std::string TablesSql() {
  using namespace schema;
  return "CREATE TABLE IF NOT EXISTS sites (site_id serial PRIMARY KEY, name text NOT NULL UNIQUE, "
         "time_zone text NOT NULL);"
         "CREATE TABLE IF NOT EXISTS records (site_id integer NOT NULL REFERENCES sites, "
         "time timestamptz NOT NULL, channels smallint NOT NULL, " +
         Defs(kWeatherColumns, "real") + ", " + Defs(kThresholdColumns, "real") +
         ", forced_stop boolean NOT NULL DEFAULT false, PRIMARY KEY (site_id, time)) PARTITION BY RANGE (time);"
         "CREATE INDEX IF NOT EXISTS records_time ON records USING brin (time);"
         // A site's records lie scattered among those of every other site
         // that sent a record in the same minute: a year of one site's
         // weather read through the table touches a page per record.  This
         // index holds the weather in site and time order, so a year's trend
         // is an index-only scan of a few thousand pages.
         "CREATE INDEX IF NOT EXISTS records_series ON records (site_id, time) INCLUDE (" +
         Join(kWeatherColumns) + ");"
         "CREATE TABLE IF NOT EXISTS channel_records (site_id integer NOT NULL, channel smallint NOT NULL, "
         "time timestamptz NOT NULL, " +
         Defs(kChannelColumns, "real") +
         // The peak rides in the key's index: trends and alarms on a channel's
         // peak read the index alone (an index-only scan).
         ", PRIMARY KEY (site_id, channel, time) INCLUDE (peak)) PARTITION BY RANGE (time);"
         "CREATE INDEX IF NOT EXISTS channel_records_time ON channel_records USING brin (time);"
         // Every quantity of a channel in site, channel and time order, for
         // the same reason: trends of any quantity and alarms on it read the
         // index alone.
         "CREATE INDEX IF NOT EXISTS channel_records_series ON channel_records (site_id, channel, time) INCLUDE (" +
         Join(kChannelColumns) + ");"
         "CREATE TABLE IF NOT EXISTS snapshots (site_id integer NOT NULL REFERENCES sites, "
         "time timestamptz NOT NULL, name text NOT NULL, kind text NOT NULL CHECK (kind IN ('scheduled', 'peak')), "
         "trigger_channel smallint, trigger_peak_ma real, channels smallint NOT NULL, peak_counts smallint[] NOT NULL, "
         "peaks_ma real[] NOT NULL, file_size bigint NOT NULL, file_mtime_ns bigint NOT NULL, data bytea, "
         "PRIMARY KEY (site_id, time, name)) PARTITION BY RANGE (time);"
         "CREATE TABLE IF NOT EXISTS positions (site_id integer NOT NULL REFERENCES sites, stream text NOT NULL, "
         "path text NOT NULL, device bigint NOT NULL, inode bigint NOT NULL, head_hash bigint NOT NULL, "
         "tail_hash bigint NOT NULL, byte_offset bigint NOT NULL, header text NOT NULL, "
         "updated timestamptz NOT NULL DEFAULT now(), PRIMARY KEY (site_id, stream));";
}

// Step 2: the summary tables (filled from the rows already there by
// BackfillSummaries).
std::string SummaryTablesSql() {
  using namespace schema;
  std::string sql;
  for (const auto& [table, period] : {std::pair{kSummaryHours, "hour timestamptz"}, std::pair{kSummaryDays, "day date"}}) {
    const std::string periodName = std::string(period).substr(0, std::string(period).find(' '));
    sql += std::string("CREATE TABLE ") + table +
           " (site_id integer NOT NULL, quantity text NOT NULL, channel smallint NOT NULL, " +
           period + " NOT NULL, n integer NOT NULL, min_value real NOT NULL, min_time timestamptz NOT NULL, "
           "max_value real NOT NULL, max_time timestamptz NOT NULL, sum_value double precision NOT NULL, "
           // The extremes ride in the key's index: a chart reads the index
           // alone (an index-only scan), not a page per period.
           "PRIMARY KEY (site_id, quantity, channel, " + periodName +
           ") INCLUDE (min_value, min_time, max_value, max_time));";
  }
  // One row: raw rows before `horizon` were dropped (retention).
  return sql +
         ";CREATE TABLE raw_horizon (id integer PRIMARY KEY CHECK (id = 1), horizon timestamptz NOT NULL);";
}

// Step 3: the insulators' condition, the daily indicators filled from the
// rows already there as the collector works them out (the default wet
// level of 85 %; a record stands for the time since the one before it, at
// most an hour, the longest save interval; the dew point by Magnus'
// formula of condition.cpp).
std::string ConditionTablesSql() {
  const std::string dewPoint =
      "243.12 * (ln(h / 100) + 17.62 * t / (243.12 + t)) / (17.62 - (ln(h / 100) + 17.62 * t / (243.12 + t)))";
  return "CREATE TABLE daily_indicators (site_id integer NOT NULL, channel smallint NOT NULL, day date NOT NULL, "
         "n integer NOT NULL, wet_n integer NOT NULL, peak_max real, wet_peak_max real, wet_peak_time timestamptz, "
         "charge_mc double precision NOT NULL, dew_depression_min real, PRIMARY KEY (site_id, channel, day));"
         "CREATE TABLE insulators (site_id integer NOT NULL REFERENCES sites, channel smallint NOT NULL, "
         "name text NOT NULL, type text NOT NULL, critical_peak_ma real, PRIMARY KEY (site_id, channel));"
         "CREATE TABLE maintenance (site_id integer NOT NULL REFERENCES sites, channel smallint NOT NULL, "
         "time timestamptz NOT NULL, kind text NOT NULL CHECK (kind IN ('washing', 'inspection', 'replacement')), "
         "note text NOT NULL, entered timestamptz NOT NULL DEFAULT now(), PRIMARY KEY (site_id, channel, time, kind));"
         "ALTER TABLE snapshots ADD COLUMN harmonics_ma real[];"
         "INSERT INTO daily_indicators SELECT site_id, channel, day, count(*), count(*) FILTER (WHERE wet), max(peak), "
         "max(peak) FILTER (WHERE wet), (array_agg(time ORDER BY peak DESC, time) FILTER (WHERE wet AND peak IS NOT "
         "NULL))[1], coalesce(sum(allc * secs), 0), NULL FROM (SELECT c.site_id, c.channel, c.time, "
         "(c.time AT TIME ZONE s.time_zone)::date AS day, c.peak, c.allc, coalesce(r.outside_humidity >= 85, false) AS wet, "
         "least(coalesce(extract(epoch FROM c.time - lag(c.time) OVER (PARTITION BY c.site_id, c.channel ORDER BY "
         "c.time)), 0), 3600) AS secs FROM channel_records c JOIN records r ON r.site_id = c.site_id AND r.time = c.time "
         "JOIN sites s ON s.site_id = c.site_id) x GROUP BY site_id, channel, day;"
         "INSERT INTO daily_indicators SELECT site_id, 0, day, count(*), count(*) FILTER (WHERE h >= 85), NULL, NULL, "
         "NULL, 0, min(CASE WHEN h > 0 AND h <= 100 AND t IS NOT NULL THEN greatest(0, t - (" + dewPoint +
         ")) END) FROM (SELECT r.site_id, (r.time AT TIME ZONE s.time_zone)::date AS day, r.outside_temperature::float8 AS t, "
         "r.outside_humidity::float8 AS h FROM records r JOIN sites s ON s.site_id = r.site_id) x GROUP BY site_id, day;";
}

// The steps from an empty database to schema::kSchemaVersion.  A later
// release appends one ({2, "...", "ALTER TABLE records ADD COLUMN ...;"}:
// a column added to a partitioned table reaches its monthly partitions) and
// the same number to sqlite_database.cpp's list.
const std::vector<schema::SchemaStep>& Steps() {
  static const std::vector<schema::SchemaStep> kSteps{
      {1, "sites, records, channel_records, snapshots and positions", TablesSql()},
      {2, "hourly and daily summaries", SummaryTablesSql()},
      {3, "daily indicators, insulators, maintenance and snapshot harmonics", ConditionTablesSql()},
  };
  return kSteps;
}

// One row per step applied.  Made with the first step applied: a database
// of the releases before versions has none.
constexpr const char* kVersionTableSql =
    "CREATE TABLE IF NOT EXISTS schema_version (version integer PRIMARY KEY, "
    "applied timestamptz NOT NULL DEFAULT now(), description text NOT NULL)";

constexpr std::array<const char*, 3> kPartitioned{"records", "channel_records", "snapshots"};

class PostgresDatabase final : public Database {
 public:
  explicit PostgresDatabase(std::string connection) : connection_(std::move(connection)) {}
  ~PostgresDatabase() override { Close(); }

  std::string Describe() const override {
    return PgDescribe(connection_);
  }

  void Open() override {
    Close();
    // Bounded waits: a server or network that is gone fails the connect
    // within its timeout, and keepalives notice a link that died mid-way.
    const char* keys[] = {"connect_timeout", "keepalives_idle", "keepalives_interval", "keepalives_count",
                          "application_name", "dbname", nullptr};
    const char* values[] = {"10", "30", "10", "3", "varnel-collect", connection_.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
      const std::string why = conn_ ? PQerrorMessage(conn_) : "out of memory";
      Close();
      throw DbError("PostgreSQL: cannot connect: " + PgTrim(why));
    }
    try {
      Exec("SET client_min_messages = warning");
      Upgrade();
      LoadPartitions();
      MakeBatchTables();
    } catch (...) {
      Close();
      throw;
    }
  }

  void Close() override {
    if (conn_) PQfinish(conn_);
    conn_ = nullptr;
    partitions_.clear();
  }

  bool IsOpen() const override { return conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK; }

  int64_t DropRawBefore(int64_t horizon) override {
    Exec("BEGIN");
    try {
      Exec("SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLock) + ")");
      const int64_t now = std::max(horizon, Horizon().value_or(horizon));
      Exec("INSERT INTO raw_horizon (id, horizon) VALUES (1, to_timestamp($1)) "
           "ON CONFLICT (id) DO UPDATE SET horizon = excluded.horizon",
           {std::to_string(now)});
      // Every month that ends at or before the horizon, of the raw tables.
      std::vector<std::string> dropped;
      PgResult months = Exec("SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid "
                             "WHERE i.inhparent IN ('records'::regclass, 'channel_records'::regclass) "
                             "AND substring(pg_get_expr(c.relpartbound, c.oid) from 'TO \\(''([^'']*)''\\)')::timestamptz "
                             "<= to_timestamp($1)",
                             {std::to_string(now)});
      for (int i = 0; i < months.Rows(); ++i) dropped.push_back(months.Text(i, 0));
      for (const std::string& name : dropped) Exec("DROP TABLE " + name);
      Exec("COMMIT");
      for (const std::string& name : dropped) partitions_.erase(name);
      return now;
    } catch (...) {
      if (IsOpen()) PQclear(PQexec(conn_, "ROLLBACK"));
      throw;
    }
  }

  bool AddEvent(int64_t site, const MaintenanceEvent& e) override {
    PgResult r = Exec("INSERT INTO maintenance (site_id, channel, time, kind, note) VALUES ($1, $2, $3, $4, $5) "
                      "ON CONFLICT DO NOTHING RETURNING 1",
                      {std::to_string(site), std::to_string(e.channel), IsoLocalText(e.time),
                       MaintenanceKindName(e.kind), e.note});
    return r.Rows() > 0;
  }

  int64_t RegisterSite(const std::string& name, const std::string& timeZone) override {
    PgResult r = Exec("INSERT INTO sites (name, time_zone) VALUES ($1, $2) ON CONFLICT (name) DO UPDATE "
                    "SET time_zone = excluded.time_zone RETURNING site_id",
                    {name, timeZone});
    return r.Int(0, 0);
  }

  std::optional<FilePosition> LoadPosition(int64_t site, const std::string& stream) override {
    PgResult r = Exec("SELECT path, device, inode, head_hash, tail_hash, byte_offset, header FROM positions "
                    "WHERE site_id = $1 AND stream = $2",
                    {std::to_string(site), stream});
    if (r.Rows() == 0) return std::nullopt;
    FilePosition p;
    p.path = r.Text(0, 0);
    p.device = static_cast<uint64_t>(r.Int(0, 1));
    p.inode = static_cast<uint64_t>(r.Int(0, 2));
    p.headHash = static_cast<uint64_t>(r.Int(0, 3));
    p.tailHash = static_cast<uint64_t>(r.Int(0, 4));
    p.offset = static_cast<uint64_t>(r.Int(0, 5));
    p.header = r.Text(0, 6);
    return p;
  }

  std::map<std::string, SnapshotStamp> LoadSnapshotStamps(int64_t site) override {
    PgResult r = Exec("SELECT name, file_size, file_mtime_ns FROM snapshots WHERE site_id = $1", {std::to_string(site)});
    std::map<std::string, SnapshotStamp> out;
    for (int i = 0; i < r.Rows(); ++i)
      out[r.Text(i, 0)] = {static_cast<uint64_t>(r.Int(i, 1)), static_cast<int64_t>(r.Int(i, 2))};
    return out;
  }

  CommitResult Commit(int64_t site, const Batch& batch) override {
    CommitResult result;
    // Records before the horizon are left out before their months get
    // partitions (those months' partitions were dropped).
    std::vector<StoredRecord> kept;
    const std::vector<StoredRecord>* records = &batch.records;
    if (const std::optional<int64_t> horizon = Horizon()) {
      for (const StoredRecord& r : batch.records)
        if (r.time.epochSeconds >= *horizon) kept.push_back(r);
      result.recordsBeforeHorizon = batch.records.size() - kept.size();
      records = &kept;
    }
    EnsurePartitions(*records, batch.snapshots);
    Exec("BEGIN");
    try {
      std::vector<const StoredRecord*> added;
      result.recordsAdded = InsertRecords(site, *records, added);
      SaveIndicators(site, added, batch);
      result.snapshotsAdded = InsertSnapshots(site, batch.snapshots);
      if (batch.insulators) SaveInsulators(site, *batch.insulators);
      if (batch.position) SavePosition(site, batch.stream, *batch.position);
      Exec("COMMIT");
      return result;
    } catch (...) {
      if (IsOpen()) PQclear(PQexec(conn_, "ROLLBACK"));
      throw;
    }
  }

 private:
  // Every step the database lacks and the new version, in one transaction
  // under the schema lock: collectors of other sites starting meanwhile wait
  // and then find it upgraded; a failure leaves it as it was (the caller
  // closes the connection, which rolls the transaction back).  A database
  // of this version is only read: no DDL at every start.
  void Upgrade() {
    Exec("BEGIN");
    Exec("SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLock) + ")");
    const auto pending = schema::PendingSteps(Steps(), PgSchemaVersion(conn_), Describe());
    if (!pending.empty()) Exec(kVersionTableSql);
    for (const schema::SchemaStep* step : pending) {
      Exec(step->sql);
      if (step->number == 2) BackfillSummaries();
      Exec("INSERT INTO schema_version (version, description) VALUES ($1, $2)",
           {std::to_string(step->number), step->description});
    }
    Exec("COMMIT");
  }

  // The summaries of the rows stored before they were kept, in the
  // upgrade's transaction, worked out as a commit works them out: each
  // site's rows are read out by COPY a month at a time (memory stays
  // bounded on a database of years) and their summaries copied in.
  void BackfillSummaries() {
    PgResult sites = Exec("SELECT s.site_id, s.time_zone, extract(epoch from min(r.time))::bigint, "
                          "extract(epoch from max(r.time))::bigint FROM sites s JOIN records r ON r.site_id = s.site_id "
                          "GROUP BY s.site_id, s.time_zone ORDER BY s.site_id");
    for (int i = 0; i < sites.Rows(); ++i) {
      const int64_t site = sites.Int(i, 0);
      const SiteZone zone = SiteZone::Named(sites.Text(i, 1)).value_or(*SiteZone::Named("UTC"));
      for (int64_t from = MonthStart(sites.Int(i, 2)); from <= sites.Int(i, 3); from = NextMonthStart(from)) {
        const std::string where = " WHERE site_id = " + std::to_string(site) + " AND time >= to_timestamp(" +
                                  std::to_string(from) + ") AND time < to_timestamp(" +
                                  std::to_string(NextMonthStart(from)) + ")";
        SummaryAccumulator summaries;
        LocalDays days{zone};
        using namespace schema;
        PgCopyOut(Conn(), "SELECT 0::smallint, extract(epoch from time)::bigint, " + Join(kWeatherColumns) + " FROM records" +
                    where,
                [&](const PgBinaryRow& row) { AddStoredRow(summaries, days, row, 0); });
        PgCopyOut(Conn(), "SELECT channel, extract(epoch from time)::bigint, " + Join(kChannelColumns) + " FROM channel_records" +
                    where,
                [&](const PgBinaryRow& row) { AddStoredRow(summaries, days, row, kWeatherColumns.size()); });
        SaveSummaries(site, summaries);
      }
    }
  }

  // The local day of a time, looked up once per quarter of an hour: every
  // zone's offset is a multiple of 15 minutes, so a quarter never holds a
  // local midnight inside it.
  struct LocalDays {
    const SiteZone& zone;
    int64_t quarter = INT64_MIN;
    int64_t day = 0;
    int64_t Of(int64_t time, SummaryAccumulator& summaries) {
      const int64_t q = time >= 0 ? time / 900 : (time - 899) / 900;
      if (q != quarter) {
        quarter = q;
        day = summaries.Day(IsoLocalText(zone.At(time)).substr(0, 10));
      }
      return day;
    }
  };

  // A row read back: channel (smallint), epoch seconds (bigint), then the
  // quantities (real) from quantity number `firstQuantity` on (summaries.h).
  static void AddStoredRow(SummaryAccumulator& summaries, LocalDays& days, const PgBinaryRow& f,
                           std::size_t firstQuantity) {
    if (f.size() < 3 || !f[0] || !f[1] || f[0]->size() != 2 || f[1]->size() != 8) return;
    const int channel = static_cast<int16_t>(PgBigEndian(*f[0]));
    const int64_t time = static_cast<int64_t>(PgBigEndian(*f[1]));
    const int64_t day = days.Of(time, summaries);
    for (std::size_t k = 2; k < f.size(); ++k) {
      if (!f[k] || f[k]->size() != 4) continue;
      const float v = PgBinaryFloat(*f[k]);
      summaries.AddAt(firstQuantity + k - 2, channel, time, day, AsReal(v));
    }
  }

  std::optional<int64_t> Horizon() {
    PgResult r = Exec("SELECT extract(epoch from horizon)::bigint FROM raw_horizon WHERE id = 1");
    if (r.Rows() == 0) return std::nullopt;
    return r.Int(0, 0);
  }

  PGconn* Conn() {
    if (!conn_) throw DbError("PostgreSQL: not connected");
    return conn_;
  }

  PgResult Exec(const std::string& sql, const std::vector<std::string>& params = {}) {
    return PgExec(Conn(), sql, params);
  }

  void LoadPartitions() {
    PgResult r = Exec("SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid "
                    "WHERE i.inhparent IN ('records'::regclass, 'channel_records'::regclass, "
                    "'snapshots'::regclass)");
    for (int i = 0; i < r.Rows(); ++i) partitions_.insert(r.Text(i, 0));
  }

  static std::string PartitionName(const char* table, int year, int month) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s_%04d_%02d", table, year, month);
    return buf;
  }

  void EnsurePartitions(const std::vector<StoredRecord>& records, const std::vector<StoredSnapshot>& snapshots) {
    std::set<std::pair<int, int>> months;
    for (const StoredRecord& r : records) months.insert(UtcMonth(r.time.epochSeconds));
    for (const StoredSnapshot& s : snapshots) months.insert(UtcMonth(s.time.epochSeconds));
    std::string sql;
    std::vector<std::string> made;
    for (const auto& [year, month] : months) {
      const auto [nextYear, nextMonth] = month == 12 ? std::pair{year + 1, 1} : std::pair{year, month + 1};
      for (const char* table : kPartitioned) {
        const std::string name = PartitionName(table, year, month);
        if (partitions_.count(name)) continue;
        sql += "CREATE TABLE IF NOT EXISTS " + name + " PARTITION OF " + table + " FOR VALUES FROM ('" +
               IsoUtcMonthStart(year, month) + "') TO ('" + IsoUtcMonthStart(nextYear, nextMonth) + "');";
        made.push_back(name);
      }
    }
    if (sql.empty()) return;
    Exec("BEGIN");
    try {
      Exec("SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLock) + ")");
      Exec(sql);
      Exec("COMMIT");
    } catch (...) {
      if (IsOpen()) PQclear(PQexec(conn_, "ROLLBACK"));
      throw;
    }
    partitions_.insert(made.begin(), made.end());
  }

  // Temporary tables of this connection that take a batch's rows by COPY;
  // emptied by every commit.
  void MakeBatchTables() {
    using namespace schema;
    // The columns of the tables they feed, in the same order (one text of
    // COPY serves both).  The records keyed by time: the statement that
    // moves them joins on it, and the planner knows nothing else of them.
    Exec("CREATE TEMP TABLE batch_records (site_id integer NOT NULL, time timestamptz PRIMARY KEY, "
         "channels smallint NOT NULL, " + Defs(kWeatherColumns, "real") + ", " + Defs(kThresholdColumns, "real") +
         ", forced_stop boolean NOT NULL) ON COMMIT DELETE ROWS;"
         "CREATE TEMP TABLE batch_channels (site_id integer NOT NULL, time timestamptz NOT NULL, "
         "channel smallint NOT NULL, " + Defs(kChannelColumns, "real") + ") ON COMMIT DELETE ROWS");
  }

  // The statement that moves a copied batch into the tables: the records
  // not stored before and the channels of those only; the times (epoch
  // seconds) of the records added.
  static const std::string& MoveBatchSql() {
    static const std::string kSql = [] {
      using namespace schema;
      return "WITH added AS (INSERT INTO records (site_id, time, channels, " + Join(kWeatherColumns) + ", " +
             Join(kThresholdColumns) + ", forced_stop) SELECT site_id, time, channels, " + Join(kWeatherColumns) +
             ", " + Join(kThresholdColumns) + ", forced_stop FROM batch_records ON CONFLICT DO NOTHING RETURNING time), "
             "chan AS (INSERT INTO channel_records (site_id, time, channel, " + Join(kChannelColumns) +
             ") SELECT c.site_id, c.time, c.channel, " + Join(kChannelColumns, "c.") +
             " FROM batch_channels c JOIN added a ON a.time = c.time ON CONFLICT DO NOTHING) "
             "SELECT extract(epoch from time)::bigint FROM added";
    }();
    return kSql;
  }

  // The value a `real` column keeps.
  static double AsReal(float v) { return static_cast<double>(v); }

  // The summaries of the records added (the values as `real` keeps them)
  // take in the stored rows of the periods they span, which they then
  // replace: every row goes in by COPY, without a look-up of each key.
  // The stored rows are locked first, so that another writer of the same
  // site waits and then fails on the key (and tries again) rather than
  // losing either's values.
  void SaveSummaries(int64_t site, SummaryAccumulator& summaries) {
    if (summaries.Size() == 0) return;
    const std::string siteId = std::to_string(site);
    int64_t firstHour = INT64_MAX, lastHour = INT64_MIN;
    for (const auto& [key, cell] : summaries.Hours()) {
      firstHour = std::min(firstHour, std::get<2>(key));
      lastHour = std::max(lastHour, std::get<2>(key));
    }
    std::string firstDay = "9999-12-31", lastDay = "0000-01-01";
    for (const auto& [key, cell] : summaries.Days()) {
      firstDay = std::min(firstDay, std::get<2>(key));
      lastDay = std::max(lastDay, std::get<2>(key));
    }
    const std::string hours = " FROM " + std::string(schema::kSummaryHours) +
                              " WHERE site_id = $1 AND hour >= to_timestamp($2) AND hour <= to_timestamp($3)";
    const std::string days =
        " FROM " + std::string(schema::kSummaryDays) + " WHERE site_id = $1 AND day >= $2::date AND day <= $3::date";
    const std::vector<std::string> hourRange{siteId, std::to_string(firstHour), std::to_string(lastHour)};
    const std::vector<std::string> dayRange{siteId, firstDay, lastDay};
    const std::string stored = ", n, min_value, extract(epoch from min_time)::bigint, max_value, "
                               "extract(epoch from max_time)::bigint, sum_value";
    PgResult h = Exec("SELECT quantity, channel, extract(epoch from hour)::bigint" + stored + hours + " FOR UPDATE",
                      hourRange);
    for (int i = 0; i < h.Rows(); ++i)
      summaries.MergeHour(h.Text(i, 0), static_cast<int>(h.Int(i, 1)), h.Int(i, 2), StoredCell(h, i, 3));
    PgResult d = Exec("SELECT quantity, channel, day::text" + stored + days + " FOR UPDATE", dayRange);
    for (int i = 0; i < d.Rows(); ++i)
      summaries.MergeDay(d.Text(i, 0), static_cast<int>(d.Int(i, 1)), d.Text(i, 2), StoredCell(d, i, 3));
    if (h.Rows() > 0) Exec("DELETE" + hours, hourRange);
    if (d.Rows() > 0) Exec("DELETE" + days, dayRange);

    auto cell = [](std::string& out, const SummaryCell& c) {
      out += '\t' + std::to_string(c.n);
      PgCopyReal(out, static_cast<float>(c.minValue));
      out += '\t' + UtcText(c.minTime);
      PgCopyReal(out, static_cast<float>(c.maxValue));
      out += '\t' + UtcText(c.maxTime) + '\t';
      char buf[32];
      out.append(buf, std::to_chars(buf, buf + sizeof buf, c.sum).ptr);
      out += '\n';
    };
    const std::string columns = std::string(", ") + schema::kSummaryValues + ") FROM STDIN";
    {
      // Hundreds of hours of every series: in the binary form.
      PgCopyIn copy(Conn(), std::string("COPY ") + schema::kSummaryHours + " (site_id, quantity, channel, hour, " +
                                schema::kSummaryValues + ") FROM STDIN (FORMAT binary)");
      PgBinaryHeader(copy.text);
      for (const auto& [key, c] : summaries.Hours()) {
        const auto& [quantity, channel, start] = key;
        PgBinaryFields(copy.text, 10);
        PgBinaryInt4(copy.text, static_cast<int32_t>(site));
        PgBinaryText(copy.text, quantity);
        PgBinaryInt2(copy.text, static_cast<int16_t>(channel));
        PgBinaryTime(copy.text, start);
        PgBinaryInt4(copy.text, static_cast<int32_t>(c.n));
        PgBinaryReal(copy.text, static_cast<float>(c.minValue));
        PgBinaryTime(copy.text, c.minTime);
        PgBinaryReal(copy.text, static_cast<float>(c.maxValue));
        PgBinaryTime(copy.text, c.maxTime);
        PgBinaryDouble(copy.text, c.sum);
        copy.RowDone();
      }
      PgBinaryTrailer(copy.text);
      copy.Finish();
    }
    PgCopyIn copy(Conn(), std::string("COPY ") + schema::kSummaryDays + " (site_id, quantity, channel, day" + columns);
    for (const auto& [key, c] : summaries.Days()) {
      const auto& [quantity, channel, day] = key;
      copy.text += siteId + '\t' + std::string(quantity) + '\t' + std::to_string(channel) + '\t' + day;
      cell(copy.text, c);
      copy.RowDone();
    }
    copy.Finish();
  }

  // n, min_value, min_time, max_value, max_time, sum_value from column `at`.
  static SummaryCell StoredCell(const PgResult& r, int row, int at) {
    SummaryCell c;
    c.n = r.Int(row, at);
    c.minValue = std::stod(r.Text(row, at + 1));
    c.minTime = r.Int(row, at + 2);
    c.maxValue = std::stod(r.Text(row, at + 3));
    c.maxTime = r.Int(row, at + 4);
    c.sum = std::stod(r.Text(row, at + 5));
    return c;
  }

  static std::string UtcText(int64_t epoch) { return IsoLocalText({epoch, 0}); }

  std::size_t InsertRecords(int64_t site, const std::vector<StoredRecord>& records,
                            std::vector<const StoredRecord*>& added) {
    if (records.empty()) return 0;
    const std::string siteId = std::to_string(site);
    // A time that comes twice in one batch keeps its first record, as a
    // record stored before keeps its own.
    std::set<int64_t> times;
    std::vector<const StoredRecord*> unique;
    for (const StoredRecord& s : records)
      if (times.insert(s.time.epochSeconds).second) unique.push_back(&s);
    // No record of the site in the batch's span (new records, an import of
    // months not stored yet): all are new and go straight in.  A record
    // stored meanwhile by another program makes the COPY fail on the key;
    // the collector then tries again and finds it here.
    const bool allNew = Exec("SELECT NOT EXISTS (SELECT 1 FROM records WHERE site_id = $1 AND time >= to_timestamp($2) "
                             "AND time <= to_timestamp($3))",
                             {siteId, std::to_string(*times.begin()), std::to_string(*times.rbegin())})
                            .Text(0, 0) == "t";
    using namespace schema;
    {
      PgCopyIn rec(Conn(), std::string("COPY ") + (allNew ? "records" : "batch_records") + " (site_id, time, channels, " +
                                 Join(kWeatherColumns) + ", " + Join(kThresholdColumns) + ", forced_stop) FROM STDIN");
      for (const StoredRecord* s : unique) {
        const DataRecord& r = s->record;
        rec.text += siteId + '\t' + IsoLocalText(s->time) + '\t' + std::to_string(r.channels);
        for (int k = 0; k < store::kWeatherValueCount; ++k) PgCopyReal(rec.text, r.values[store::WeatherIndex(k)]);
        for (std::size_t j = 0; j < 4; ++j) {
          if (r.thresholds)
            PgCopyReal(rec.text, (*r.thresholds)[j]);
          else
            rec.text += "\t\\N";
        }
        rec.text += r.forcedStop ? "\tt\n" : "\tf\n";
        rec.RowDone();
      }
      rec.Finish();
    }
    // The summaries of a batch of new records are worked out while the
    // server stores the rows.
    SummaryAccumulator summaries;
    {
      // The bulk of a batch goes in COPY's binary form: the server reads
      // no digits and no dates.
      PgCopyIn chan(Conn(), std::string("COPY ") + (allNew ? "channel_records" : "batch_channels") +
                                  " (site_id, time, channel, " + Join(kChannelColumns) + ") FROM STDIN (FORMAT binary)");
      PgBinaryHeader(chan.text);
      constexpr int16_t kFields = 3 + store::kComponentsPerChannel + store::kPeakValuesPerChannel;
      for (const StoredRecord* s : unique) {
        const DataRecord& r = s->record;
        for (int ch = 0; ch < r.channels; ++ch) {
          PgBinaryFields(chan.text, kFields);
          PgBinaryInt4(chan.text, static_cast<int32_t>(site));
          PgBinaryTime(chan.text, s->time.epochSeconds);
          PgBinaryInt2(chan.text, static_cast<int16_t>(ch + 1));
          for (int k = 0; k < store::kComponentsPerChannel; ++k)
            PgBinaryReal(chan.text, r.values[store::ComponentIndex(ch, k)]);
          for (int k = 0; k < store::kPeakValuesPerChannel; ++k)
            PgBinaryReal(chan.text, r.values[store::PeakIndex(ch, k)]);
        }
        chan.RowDone();
        if (allNew) {
          AddRecord(summaries, *s);
          added.push_back(s);
        }
      }
      PgBinaryTrailer(chan.text);
      chan.Finish();
    }
    if (!allNew) {
      PgResult r = Exec(MoveBatchSql());
      std::set<int64_t> stored;
      for (int i = 0; i < r.Rows(); ++i) stored.insert(r.Int(i, 0));
      for (const StoredRecord* s : unique)
        if (stored.count(s->time.epochSeconds)) {
          AddRecord(summaries, *s);
          added.push_back(s);
        }
    }
    SaveSummaries(site, summaries);
    return added.size();
  }

  // The daily indicators of the records a commit added, merged into the
  // stored days in one statement.
  void SaveIndicators(int64_t site, const std::vector<const StoredRecord*>& added, const Batch& batch) {
    if (added.empty()) return;
    const StoredRecord* first = *std::min_element(added.begin(), added.end(), [](auto* a, auto* b) {
      return a->time.epochSeconds < b->time.epochSeconds;
    });
    PgResult before = Exec("SELECT extract(epoch from max(time))::bigint FROM records WHERE site_id = $1 AND "
                           "time < to_timestamp($2)",
                           {std::to_string(site), std::to_string(first->time.epochSeconds)});
    std::optional<int64_t> previous;
    if (before.Rows() > 0 && !before.IsNull(0, 0)) previous = before.Int(0, 0);
    IndicatorAccumulator indicators({batch.wetHumidityPct, batch.recordSeconds, false});
    indicators.AddAll(added, previous);
    ArrayText channels, days, n, wetN, peak, wetPeak, wetTime, charge, dew;
    auto real = [](ArrayText& a, const std::optional<double>& v) {
      if (v) a.Add(static_cast<float>(*v)); else a.AddNull();
    };
    for (const auto& [key, c] : indicators.Cells()) {
      channels.Add(static_cast<long long>(key.first));
      days.Add(key.second);
      n.Add(static_cast<long long>(c.n));
      wetN.Add(static_cast<long long>(c.wetN));
      real(peak, c.peakMax);
      real(wetPeak, c.wetPeakMax);
      if (c.wetPeakMax) wetTime.Add(static_cast<long long>(c.wetPeakTime)); else wetTime.AddNull();
      char buf[32];
      charge.Add(std::string_view(buf, static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, c.chargeMc).ptr - buf)));
      real(dew, c.dewDepressionMin);
    }
    Exec(std::string("INSERT INTO daily_indicators (site_id, channel, day, ") + schema::kIndicatorValues +
             ") SELECT $1, c, d, n, w, p, wp, to_timestamp(wt), ch, dd FROM unnest($2::smallint[], $3::date[], "
             "$4::integer[], $5::integer[], $6::real[], $7::real[], $8::bigint[], $9::float8[], $10::real[]) "
             "AS u(c, d, n, w, p, wp, wt, ch, dd)" + schema::IndicatorMergeSql(),
         {std::to_string(site), channels.Done(), days.Done(), n.Done(), wetN.Done(), peak.Done(), wetPeak.Done(),
          wetTime.Done(), charge.Done(), dew.Done()});
  }

  void SaveInsulators(int64_t site, const std::vector<InsulatorEntry>& entries) {
    const std::string siteId = std::to_string(site);
    Exec("DELETE FROM insulators WHERE site_id = $1", {siteId});
    for (const InsulatorEntry& e : entries)
      Exec("INSERT INTO insulators (site_id, channel, name, type, critical_peak_ma) VALUES ($1, $2, $3, $4, "
           "nullif($5, '')::real)",
           {siteId, std::to_string(e.channel), e.name, e.type,
            e.criticalPeakMa ? std::to_string(*e.criticalPeakMa) : std::string()});
  }

  std::size_t InsertSnapshots(int64_t site, const std::vector<StoredSnapshot>& snapshots) {
    for (const StoredSnapshot& s : snapshots) {
      ArrayText counts, peaks;
      for (int c : s.peakCounts) counts.Add(static_cast<long long>(c));
      for (double p : s.peaksMa) peaks.Add(static_cast<float>(p));
      ArrayText harmonics;
      for (double h : s.harmonicsMa) harmonics.Add(static_cast<float>(h));
      Exec("INSERT INTO snapshots (site_id, time, name, kind, trigger_channel, trigger_peak_ma, channels, "
           "peak_counts, peaks_ma, file_size, file_mtime_ns, data, harmonics_ma) VALUES ($1, $2, $3, $4, "
           "nullif($5, '')::smallint, nullif($6, '')::real, $7, $8, $9, $10, $11, decode(nullif($12, ''), 'hex'), "
           "nullif($13, '{}')::real[]) ON CONFLICT (site_id, time, name) DO UPDATE SET "
           "kind = excluded.kind, channels = excluded.channels, peak_counts = excluded.peak_counts, "
           "peaks_ma = excluded.peaks_ma, file_size = excluded.file_size, file_mtime_ns = excluded.file_mtime_ns, "
           "data = excluded.data, harmonics_ma = excluded.harmonics_ma",
           {std::to_string(site), IsoLocalText(s.time), s.name, SnapshotKindName(s.parsed.kind),
            s.parsed.triggerChannel ? std::to_string(*s.parsed.triggerChannel) : std::string(),
            s.parsed.triggerPeakMa ? std::to_string(*s.parsed.triggerPeakMa) : std::string(),
            std::to_string(s.channels), counts.Done(), peaks.Done(), std::to_string(s.fileSize),
            std::to_string(s.fileMtimeNs), s.bytes ? Hex(*s.bytes) : std::string(), harmonics.Done()});
    }
    return snapshots.size();
  }

  void SavePosition(int64_t site, const std::string& stream, const FilePosition& p) {
    Exec("INSERT INTO positions (site_id, stream, path, device, inode, head_hash, tail_hash, byte_offset, header) "
         "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9) ON CONFLICT (site_id, stream) DO UPDATE SET "
         "path = excluded.path, device = excluded.device, inode = excluded.inode, head_hash = excluded.head_hash, "
         "tail_hash = excluded.tail_hash, byte_offset = excluded.byte_offset, header = excluded.header, "
         "updated = now()",
         {std::to_string(site), stream, p.path, std::to_string(std::bit_cast<int64_t>(p.device)),
          std::to_string(std::bit_cast<int64_t>(p.inode)), std::to_string(std::bit_cast<int64_t>(p.headHash)),
          std::to_string(std::bit_cast<int64_t>(p.tailHash)), std::to_string(p.offset), p.header});
  }

  std::string connection_;
  PGconn* conn_ = nullptr;
  std::set<std::string> partitions_;
};

}  // namespace

std::unique_ptr<Database> MakePostgresDatabase(const std::string& connection) {
  return std::make_unique<PostgresDatabase>(connection);
}

}  // namespace varnel::fleet
