// PostgreSQL engine through libpq: one server for many sites.
//
// `records`, `channel_records` and `snapshots` are partitioned by month of
// their `time` (timestamptz; month bounds in UTC).  A batch's months get
// their partitions before its transaction, under an advisory lock, so that
// collectors of many sites never race to create the same partition.  Rows
// go in as arrays (one parameter per column, unnest on the server): one
// statement per table and batch.
#include <libpq-fe.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <set>
#include <utility>

#include "database.h"
#include "pg_result.h"
#include "schema.h"

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

// The steps from an empty database to schema::kSchemaVersion.  A later
// release appends one ({2, "...", "ALTER TABLE records ADD COLUMN ...;"}:
// a column added to a partitioned table reaches its monthly partitions) and
// the same number to sqlite_database.cpp's list.
const std::vector<schema::SchemaStep>& Steps() {
  static const std::vector<schema::SchemaStep> kSteps{
      {1, "sites, records, channel_records, snapshots and positions", TablesSql()},
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
    EnsurePartitions(batch);
    Exec("BEGIN");
    try {
      CommitResult result;
      result.recordsAdded = InsertRecords(site, batch.records);
      result.snapshotsAdded = InsertSnapshots(site, batch.snapshots);
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
      Exec("INSERT INTO schema_version (version, description) VALUES ($1, $2)",
           {std::to_string(step->number), step->description});
    }
    Exec("COMMIT");
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

  void EnsurePartitions(const Batch& batch) {
    std::set<std::pair<int, int>> months;
    for (const StoredRecord& r : batch.records) months.insert(UtcMonth(r.time.epochSeconds));
    for (const StoredSnapshot& s : batch.snapshots) months.insert(UtcMonth(s.time.epochSeconds));
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

  static std::string TimeElement(const Instant& t) {
    std::string s = IsoLocalText(t);
    s[10] = 'T';  // no blank: no quoting inside the array literal
    return s;
  }

  std::size_t InsertRecords(int64_t site, const std::vector<StoredRecord>& records) {
    if (records.empty()) return 0;
    using namespace schema;
    // Record columns: time, channels, 8 weather, 4 thresholds, forced_stop.
    std::vector<ArrayText> rec(15);
    // Channel columns: time, channel, 15 values.
    std::vector<ArrayText> chan(17);
    for (const StoredRecord& s : records) {
      const DataRecord& r = s.record;
      const std::string time = TimeElement(s.time);
      rec[0].Add(time);
      rec[1].Add(static_cast<long long>(r.channels));
      for (int k = 0; k < store::kWeatherValueCount; ++k) rec[2 + k].Add(r.values[store::WeatherIndex(k)]);
      for (std::size_t j = 0; j < 4; ++j) {
        if (r.thresholds)
          rec[10 + j].Add((*r.thresholds)[j]);
        else
          rec[10 + j].AddNull();
      }
      rec[14].Add(std::string_view(r.forcedStop ? "t" : "f"));
      for (int ch = 0; ch < r.channels; ++ch) {
        chan[0].Add(time);
        chan[1].Add(static_cast<long long>(ch + 1));
        std::size_t col = 2;
        for (int k = 0; k < store::kComponentsPerChannel; ++k) chan[col++].Add(r.values[store::ComponentIndex(ch, k)]);
        for (int k = 0; k < store::kPeakValuesPerChannel; ++k) chan[col++].Add(r.values[store::PeakIndex(ch, k)]);
      }
    }
    std::vector<std::string> params{std::to_string(site)};
    for (const ArrayText& a : rec) params.push_back(a.Done());
    for (const ArrayText& a : chan) params.push_back(a.Done());

    // The channels of a record go in only with the record itself: a record
    // stored before (same site and time) adds nothing.
    std::string recTypes = "$2::timestamptz[], $3::smallint[]";
    for (int i = 4; i <= 15; ++i) recTypes += ", $" + std::to_string(i) + "::real[]";
    recTypes += ", $16::boolean[]";
    std::string chanTypes = "$17::timestamptz[], $18::smallint[]";
    for (int i = 19; i <= 33; ++i) chanTypes += ", $" + std::to_string(i) + "::real[]";
    const std::string sql =
        "WITH added AS (INSERT INTO records (site_id, time, channels, " + Join(kWeatherColumns) + ", " +
        Join(kThresholdColumns) + ", forced_stop) SELECT $1, * FROM unnest(" + recTypes +
        ") ON CONFLICT DO NOTHING RETURNING time), "
        "chan AS (INSERT INTO channel_records (site_id, time, channel, " + Join(kChannelColumns) +
        ") SELECT $1::integer, c.* FROM unnest(" + chanTypes + ") AS c(" + ChannelAliases() +
        ") JOIN added a ON a.time = c.c1 ON CONFLICT DO NOTHING) SELECT count(*) FROM added";
    PgResult r = Exec(sql, params);
    return static_cast<std::size_t>(r.Int(0, 0));
  }

  // Names c1..c17 for the unnested channel columns (c1 is the time).
  static std::string ChannelAliases() {
    std::string aliases = "c1";
    for (int i = 2; i <= 17; ++i) aliases += ", c" + std::to_string(i);
    return aliases;
  }

  std::size_t InsertSnapshots(int64_t site, const std::vector<StoredSnapshot>& snapshots) {
    for (const StoredSnapshot& s : snapshots) {
      ArrayText counts, peaks;
      for (int c : s.peakCounts) counts.Add(static_cast<long long>(c));
      for (double p : s.peaksMa) peaks.Add(static_cast<float>(p));
      Exec("INSERT INTO snapshots (site_id, time, name, kind, trigger_channel, trigger_peak_ma, channels, "
           "peak_counts, peaks_ma, file_size, file_mtime_ns, data) VALUES ($1, $2, $3, $4, nullif($5, '')::smallint, "
           "nullif($6, '')::real, $7, $8, $9, $10, $11, decode(nullif($12, ''), 'hex')) ON CONFLICT (site_id, time, name) DO UPDATE SET "
           "kind = excluded.kind, channels = excluded.channels, peak_counts = excluded.peak_counts, "
           "peaks_ma = excluded.peaks_ma, file_size = excluded.file_size, file_mtime_ns = excluded.file_mtime_ns, "
           "data = excluded.data",
           {std::to_string(site), IsoLocalText(s.time), s.name, SnapshotKindName(s.parsed.kind),
            s.parsed.triggerChannel ? std::to_string(*s.parsed.triggerChannel) : std::string(),
            s.parsed.triggerPeakMa ? std::to_string(*s.parsed.triggerPeakMa) : std::string(),
            std::to_string(s.channels), counts.Done(), peaks.Done(), std::to_string(s.fileSize),
            std::to_string(s.fileMtimeNs), s.bytes ? Hex(*s.bytes) : std::string()});
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
