// SQLite engine: one file, write-ahead log so that readers (a dashboard, the
// sqlite3 shell) read while the collector writes.
//
// Times are INTEGER seconds since the epoch (UTC) in `time`, the key of
// every table; `local_time` keeps the site's local time with its UTC
// offset as text ("2005-06-01 15:30:00+09:00").
#include <sqlite3.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>

#include "database.h"
#include "indicators.h"
#include "schema.h"
#include "sqlite_statement.h"
#include "summaries.h"

namespace varnel::fleet {

namespace {

std::string JsonArray(const std::vector<int>& v) {
  std::string out = "[";
  for (std::size_t i = 0; i < v.size(); ++i) out += (i ? "," : "") + std::to_string(v[i]);
  return out + "]";
}

std::string JsonArray(const std::vector<double>& v) {
  std::string out = "[";
  char buf[32];
  for (std::size_t i = 0; i < v.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%.6g", v[i]);
    out += (i ? "," : "") + std::string(buf);
  }
  return out + "]";
}

// Step 1 is the schema of the releases before schema versions, as they made
// it: its IF NOT EXISTS forms leave a database of theirs unchanged, and the
// step then only stamps it.
std::string TablesSql() {
  using namespace schema;
  return "CREATE TABLE IF NOT EXISTS sites (site_id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, "
         "time_zone TEXT NOT NULL);"
         "CREATE TABLE IF NOT EXISTS records (site_id INTEGER NOT NULL REFERENCES sites, time INTEGER NOT NULL, "
         "local_time TEXT NOT NULL, channels INTEGER NOT NULL, " +
         Defs(kWeatherColumns, "REAL") + ", " + Defs(kThresholdColumns, "REAL") +
         ", forced_stop INTEGER NOT NULL DEFAULT 0, PRIMARY KEY (site_id, time)) WITHOUT ROWID;"
         "CREATE INDEX IF NOT EXISTS records_time ON records (time);"
         "CREATE TABLE IF NOT EXISTS channel_records (site_id INTEGER NOT NULL, channel INTEGER NOT NULL, "
         "time INTEGER NOT NULL, " +
         Defs(kChannelColumns, "REAL") +
         ", PRIMARY KEY (site_id, channel, time)) WITHOUT ROWID;"
         "CREATE TABLE IF NOT EXISTS snapshots (site_id INTEGER NOT NULL REFERENCES sites, time INTEGER NOT NULL, "
         "name TEXT NOT NULL, local_time TEXT NOT NULL, kind TEXT NOT NULL, trigger_channel INTEGER, "
         "trigger_peak_ma REAL, channels INTEGER NOT NULL, peak_counts TEXT NOT NULL, peaks_ma TEXT NOT NULL, "
         "file_size INTEGER NOT NULL, file_mtime_ns INTEGER NOT NULL, data BLOB, "
         "PRIMARY KEY (site_id, time, name));"
         "CREATE TABLE IF NOT EXISTS positions (site_id INTEGER NOT NULL REFERENCES sites, stream TEXT NOT NULL, "
         "path TEXT NOT NULL, device INTEGER NOT NULL, inode INTEGER NOT NULL, head_hash INTEGER NOT NULL, "
         "tail_hash INTEGER NOT NULL, byte_offset INTEGER NOT NULL, header TEXT NOT NULL, "
         "updated INTEGER NOT NULL DEFAULT (strftime('%s','now')), PRIMARY KEY (site_id, stream));";
}

// Step 2: the hourly and daily summaries (filled from the rows already
// there by BackfillSummaries).
std::string SummaryTablesSql() {
  std::string sql;
  for (const auto& [table, period] : {std::pair{schema::kSummaryHours, "hour INTEGER"},
                                      std::pair{schema::kSummaryDays, "day TEXT"}}) {
    const std::string periodName = std::string(period).substr(0, std::string(period).find(' '));
    sql += std::string("CREATE TABLE ") + table +
           " (site_id INTEGER NOT NULL, quantity TEXT NOT NULL, channel INTEGER NOT NULL, " +
           period + " NOT NULL, n INTEGER NOT NULL, min_value REAL NOT NULL, min_time INTEGER NOT NULL, "
           "max_value REAL NOT NULL, max_time INTEGER NOT NULL, sum_value REAL NOT NULL, "
           "PRIMARY KEY (site_id, quantity, channel, " + periodName + ")) WITHOUT ROWID;";
  }
  // One row: raw rows before `horizon` were dropped (retention).
  return sql + "CREATE TABLE raw_horizon (id INTEGER PRIMARY KEY CHECK (id = 1), horizon INTEGER NOT NULL);";
}

// Step 3: the insulators' condition (filled from the rows already there by
// BackfillIndicators).
std::string ConditionTablesSql() {
  return "CREATE TABLE daily_indicators (site_id INTEGER NOT NULL, channel INTEGER NOT NULL, day TEXT NOT NULL, "
         "n INTEGER NOT NULL, wet_n INTEGER NOT NULL, peak_max REAL, wet_peak_max REAL, wet_peak_time INTEGER, "
         "charge_mc REAL NOT NULL, dew_depression_min REAL, PRIMARY KEY (site_id, channel, day)) WITHOUT ROWID;"
         "CREATE TABLE insulators (site_id INTEGER NOT NULL REFERENCES sites, channel INTEGER NOT NULL, "
         "name TEXT NOT NULL, type TEXT NOT NULL, critical_peak_ma REAL, PRIMARY KEY (site_id, channel));"
         "CREATE TABLE maintenance (site_id INTEGER NOT NULL REFERENCES sites, channel INTEGER NOT NULL, "
         "time INTEGER NOT NULL, local_time TEXT NOT NULL, "
         "kind TEXT NOT NULL CHECK (kind IN ('washing', 'inspection', 'replacement')), note TEXT NOT NULL, "
         "entered INTEGER NOT NULL DEFAULT (strftime('%s','now')), PRIMARY KEY (site_id, channel, time, kind));"
         "ALTER TABLE snapshots ADD COLUMN harmonics_ma TEXT;";
}

// The steps from an empty file to schema::kSchemaVersion.  A later release
// appends one ({2, "...", "ALTER TABLE records ADD COLUMN ...;"}) and the
// same number to postgres_database.cpp's list.
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
    "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER PRIMARY KEY, "
    "applied INTEGER NOT NULL DEFAULT (strftime('%s','now')), description TEXT NOT NULL)";

class SqliteDatabase final : public Database {
 public:
  explicit SqliteDatabase(std::string path) : path_(std::move(path)) {}
  ~SqliteDatabase() override { Close(); }

  std::string Describe() const override { return "SQLite " + path_; }

  void Open() override {
    Close();
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
      const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
      Close();
      throw DbError("SQLite: cannot open " + path_ + ": " + why);
    }
    // A dashboard reading the file waits for a commit instead of failing.
    sqlite3_busy_timeout(db_, 10000);
    // The write-ahead log and its index stay when the collector closes the
    // file: a reader that may not create files in the folder (the
    // dashboard's service, whose file system is read-only) can open a WAL
    // database only while they exist.
    int persist = 1;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    try {
      // WAL with synchronous=NORMAL: a power cut may lose the last commits,
      // but always together with the positions they moved, so the records
      // are read again; nothing is lost or doubled.
      Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;");
      Upgrade();
    } catch (...) {
      Close();
      throw;
    }
  }

  void Close() override {
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
  }

  bool IsOpen() const override { return db_ != nullptr; }

  int64_t DropRawBefore(int64_t horizon) override {
    Exec("BEGIN IMMEDIATE");
    try {
      const int64_t now = std::max(horizon, Horizon().value_or(horizon));
      SqliteStatement set(Db(), "INSERT INTO raw_horizon (id, horizon) VALUES (1, ?1) "
                                "ON CONFLICT (id) DO UPDATE SET horizon = excluded.horizon");
      set.Bind(1, now).Run();
      for (const char* table : {"channel_records", "records"}) {
        SqliteStatement drop(Db(), std::string("DELETE FROM ") + table + " WHERE time < ?1");
        drop.Bind(1, now).Run();
      }
      Exec("COMMIT");
      return now;
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  bool AddEvent(int64_t site, const MaintenanceEvent& e) override {
    SqliteStatement s(Db(), "INSERT INTO maintenance (site_id, channel, time, local_time, kind, note) "
                            "VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT DO NOTHING");
    s.Bind(1, site).Bind(2, int64_t{e.channel}).Bind(3, e.time.epochSeconds).Bind(4, IsoLocalText(e.time));
    s.Bind(5, std::string(MaintenanceKindName(e.kind))).Bind(6, e.note).Run();
    return sqlite3_changes(db_) > 0;
  }

  int64_t RegisterSite(const std::string& name, const std::string& timeZone) override {
    SqliteStatement insert(Db(), "INSERT INTO sites (name, time_zone) VALUES (?1, ?2) "
                           "ON CONFLICT (name) DO UPDATE SET time_zone = excluded.time_zone");
    insert.Bind(1, name).Bind(2, timeZone).Run();
    SqliteStatement select(Db(), "SELECT site_id FROM sites WHERE name = ?1");
    select.Bind(1, name);
    if (!select.Step()) throw DbError("SQLite: site " + name + " vanished");
    return select.Int(0);
  }

  std::optional<FilePosition> LoadPosition(int64_t site, const std::string& stream) override {
    SqliteStatement s(Db(), "SELECT path, device, inode, head_hash, tail_hash, byte_offset, header FROM positions "
                      "WHERE site_id = ?1 AND stream = ?2");
    s.Bind(1, site).Bind(2, stream);
    if (!s.Step()) return std::nullopt;
    FilePosition p;
    p.path = s.Text(0);
    p.device = static_cast<uint64_t>(s.Int(1));
    p.inode = static_cast<uint64_t>(s.Int(2));
    p.headHash = static_cast<uint64_t>(s.Int(3));
    p.tailHash = static_cast<uint64_t>(s.Int(4));
    p.offset = static_cast<uint64_t>(s.Int(5));
    p.header = s.Text(6);
    return p;
  }

  std::map<std::string, SnapshotStamp> LoadSnapshotStamps(int64_t site) override {
    SqliteStatement s(Db(), "SELECT name, file_size, file_mtime_ns FROM snapshots WHERE site_id = ?1");
    s.Bind(1, site);
    std::map<std::string, SnapshotStamp> out;
    while (s.Step()) out[s.Text(0)] = {static_cast<uint64_t>(s.Int(1)), s.Int(2)};
    return out;
  }

  CommitResult Commit(int64_t site, const Batch& batch) override {
    Exec("BEGIN IMMEDIATE");
    try {
      CommitResult result;
      const std::optional<int64_t> horizon = Horizon();
      std::vector<StoredRecord> kept;
      const std::vector<StoredRecord>* records = &batch.records;
      if (horizon) {
        for (const StoredRecord& r : batch.records)
          if (r.time.epochSeconds >= *horizon) kept.push_back(r);
        result.recordsBeforeHorizon = batch.records.size() - kept.size();
        records = &kept;
      }
      std::vector<const StoredRecord*> added;
      result.recordsAdded = InsertRecords(site, *records, added);
      SaveIndicators(site, added, batch);
      result.snapshotsAdded = InsertSnapshots(site, batch.snapshots);
      if (batch.insulators) SaveInsulators(site, *batch.insulators);
      if (batch.position) SavePosition(site, batch.stream, *batch.position);
      Exec("COMMIT");
      return result;
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

 private:
  // Every step the file lacks and the new version, in one transaction under
  // the file's write lock: another collector opening it meanwhile waits and
  // then finds it upgraded; a failure leaves it as it was.
  void Upgrade() {
    Exec("BEGIN IMMEDIATE");
    try {
      const auto pending = schema::PendingSteps(Steps(), SqliteSchemaVersion(db_), Describe());
      if (!pending.empty()) Exec(kVersionTableSql);
      for (const schema::SchemaStep* step : pending) {
        Exec(step->sql);
        if (step->number == 2) BackfillSummaries();
        if (step->number == 3) BackfillIndicators();
        SqliteStatement record(Db(), "INSERT INTO schema_version (version, description) VALUES (?1, ?2)");
        record.Bind(1, int64_t{step->number}).Bind(2, step->description).Run();
      }
      // Tools that know only SQLite's own header field see it too.
      if (!pending.empty()) Exec("PRAGMA user_version = " + std::to_string(schema::kSchemaVersion));
      Exec("COMMIT");
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  std::optional<int64_t> Horizon() {
    SqliteStatement s(Db(), "SELECT horizon FROM raw_horizon WHERE id = 1");
    if (!s.Step()) return std::nullopt;
    return s.Int(0);
  }

  sqlite3* Db() {
    if (!db_) throw DbError("SQLite: " + path_ + " is not open");
    return db_;
  }

  void Exec(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(Db(), sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      const std::string why = err ? err : "unknown error";
      sqlite3_free(err);
      throw DbError("SQLite: " + why);
    }
  }

  std::size_t InsertRecords(int64_t site, const std::vector<StoredRecord>& records,
                            std::vector<const StoredRecord*>& added) {
    if (records.empty()) return 0;
    using namespace schema;
    SqliteStatement rec(Db(), "INSERT INTO records (site_id, time, local_time, channels, " + Join(kWeatherColumns) + ", " +
                            Join(kThresholdColumns) +
                            ", forced_stop) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, "
                            "?15, ?16, ?17) ON CONFLICT DO NOTHING");
    std::string channelSql = "INSERT INTO channel_records (site_id, channel, time, " + Join(kChannelColumns) +
                             ") VALUES (?1, ?2, ?3";
    for (std::size_t i = 0; i < kChannelColumns.size(); ++i) channelSql += ", ?" + std::to_string(4 + i);
    SqliteStatement chan(Db(), channelSql + ") ON CONFLICT DO NOTHING");
    SummaryAccumulator summaries;
    StoredValues stored{};  // each value once, as the double it is stored as
    for (const StoredRecord& s : records) {
      const DataRecord& r = s.record;
      for (int k = 0; k < store::kWeatherValueCount; ++k) {
        const std::size_t e = store::WeatherIndex(k);
        stored[e] = DecimalOf(r.values[e]);
      }
      rec.Bind(1, site).Bind(2, s.time.epochSeconds).Bind(3, IsoLocalText(s.time)).Bind(4, int64_t{r.channels});
      for (int k = 0; k < store::kWeatherValueCount; ++k) rec.Bind(5 + k, stored[store::WeatherIndex(k)]);
      for (int j = 0; j < 4; ++j) {
        if (r.thresholds)
          rec.Bind(13 + j, DecimalOf((*r.thresholds)[static_cast<std::size_t>(j)]));
        else
          rec.BindNull(13 + j);
      }
      rec.Bind(17, int64_t{r.forcedStop ? 1 : 0});
      rec.Run();
      if (sqlite3_changes(db_) == 0) continue;  // stored before: its channels too
      added.push_back(&s);
      for (int ch = 0; ch < r.channels; ++ch) {
        chan.Bind(1, site).Bind(2, int64_t{ch + 1}).Bind(3, s.time.epochSeconds);
        int col = 4;
        auto bind = [&](std::size_t e) {
          stored[e] = DecimalOf(r.values[e]);
          chan.Bind(col++, stored[e]);
        };
        for (int k = 0; k < store::kComponentsPerChannel; ++k) bind(store::ComponentIndex(ch, k));
        for (int k = 0; k < store::kPeakValuesPerChannel; ++k) bind(store::PeakIndex(ch, k));
        chan.Run();
      }
      AddRecord(summaries, s, stored);
    }
    SaveSummaries(site, summaries);
    return added.size();
  }

  // The daily indicators of the records a commit added, merged into the
  // stored days.
  void SaveIndicators(int64_t site, const std::vector<const StoredRecord*>& added, const Batch& batch) {
    if (added.empty()) return;
    const StoredRecord* first = *std::min_element(added.begin(), added.end(), [](auto* a, auto* b) {
      return a->time.epochSeconds < b->time.epochSeconds;
    });
    SqliteStatement before(Db(), "SELECT max(time) FROM records WHERE site_id = ?1 AND time < ?2");
    before.Bind(1, site).Bind(2, first->time.epochSeconds);
    std::optional<int64_t> previous;
    if (before.Step() && !before.IsNull(0)) previous = before.Int(0);
    IndicatorAccumulator indicators({batch.wetHumidityPct, batch.recordSeconds, true});
    indicators.AddAll(added, previous);
    MergeIndicators(site, indicators);
  }

  void MergeIndicators(int64_t site, const IndicatorAccumulator& indicators) {
    SqliteStatement s(Db(), std::string("INSERT INTO daily_indicators (site_id, channel, day, ") +
                                schema::kIndicatorValues +
                                ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)" + schema::IndicatorMergeSql());
    auto bindOptional = [&](int at, const std::optional<double>& v) {
      if (v) s.Bind(at, *v); else s.BindNull(at);
    };
    for (const auto& [key, c] : indicators.Cells()) {
      s.Bind(1, site).Bind(2, int64_t{key.first}).Bind(3, key.second).Bind(4, c.n).Bind(5, c.wetN);
      bindOptional(6, c.peakMax);
      bindOptional(7, c.wetPeakMax);
      if (c.wetPeakMax) s.Bind(8, c.wetPeakTime); else s.BindNull(8);
      s.Bind(9, c.chargeMc);
      bindOptional(10, c.dewDepressionMin);
      s.Run();
    }
  }

  // The daily indicators of the rows stored before they were kept, in the
  // upgrade's transaction, with the default wet level; a record stands for
  // the time since the one before it, at most an hour (the longest save
  // interval).
  void BackfillIndicators() {
    using namespace schema;
    IndicatorOptions options;
    options.recordSeconds = 3600;
    IndicatorAccumulator indicators(options);
    int64_t site = -1;
    auto flush = [&](int64_t next) {
      if (site >= 0 && (next != site || indicators.Cells().size() > 100000)) {
        MergeIndicators(site, indicators);
        indicators.Clear();
      }
      site = next;
    };
    SqliteStatement weather(Db(), "SELECT site_id, substr(local_time, 1, 10), outside_temperature, outside_humidity "
                                  "FROM records ORDER BY site_id, time");
    while (weather.Step()) {
      flush(weather.Int(0));
      indicators.AddWeather(weather.Text(1), weather.Real(2), weather.Real(3));
    }
    SqliteStatement channels(Db(), "SELECT c.site_id, c.channel, c.time, substr(r.local_time, 1, 10), "
                                   "r.outside_humidity, c.peak, c.allc FROM channel_records c JOIN records r ON "
                                   "r.site_id = c.site_id AND r.time = c.time ORDER BY c.site_id, c.channel, c.time");
    std::pair<int64_t, int64_t> sequence{-1, -1};  // site and channel of `previous`
    std::optional<int64_t> previous;
    while (channels.Step()) {
      flush(channels.Int(0));
      const std::pair<int64_t, int64_t> now{channels.Int(0), channels.Int(1)};
      if (now != sequence) previous.reset();
      sequence = now;
      const int64_t t = channels.Int(2);
      indicators.AddChannel(static_cast<int>(now.second), t, channels.Text(3), indicators.IsWet(channels.Real(4)),
                            channels.Real(5), channels.Real(6), previous ? indicators.SecondsOf(t, previous) : 0);
      previous = t;
    }
    flush(-1);
  }

  void SaveInsulators(int64_t site, const std::vector<InsulatorEntry>& entries) {
    SqliteStatement clear(Db(), "DELETE FROM insulators WHERE site_id = ?1");
    clear.Bind(1, site).Run();
    SqliteStatement s(Db(), "INSERT INTO insulators (site_id, channel, name, type, critical_peak_ma) "
                            "VALUES (?1, ?2, ?3, ?4, ?5)");
    for (const InsulatorEntry& e : entries) {
      s.Bind(1, site).Bind(2, int64_t{e.channel}).Bind(3, e.name).Bind(4, e.type);
      if (e.criticalPeakMa) s.Bind(5, *e.criticalPeakMa); else s.BindNull(5);
      s.Run();
    }
  }

  // Merges a batch's summaries into the stored ones (schema.h).
  void SaveSummaries(int64_t site, const SummaryAccumulator& summaries) {
    if (summaries.Size() == 0) return;
    const std::string columns = std::string(" (site_id, quantity, channel, ");
    const std::string values = ", " + std::string(schema::kSummaryValues) + ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)";
    SqliteStatement hour(Db(), std::string("INSERT INTO ") + schema::kSummaryHours + columns + "hour" + values +
                                   schema::SummaryMergeSql(schema::kSummaryHours, "hour"));
    SqliteStatement day(Db(), std::string("INSERT INTO ") + schema::kSummaryDays + columns + "day" + values +
                                  schema::SummaryMergeSql(schema::kSummaryDays, "day"));
    auto bindCell = [](SqliteStatement& s, const SummaryCell& c) {
      s.Bind(5, c.n).Bind(6, c.minValue).Bind(7, c.minTime).Bind(8, c.maxValue).Bind(9, c.maxTime).Bind(10, c.sum);
    };
    for (const auto& [key, cell] : summaries.Hours()) {
      const auto& [quantity, channel, start] = key;
      hour.Bind(1, site).Bind(2, std::string(quantity)).Bind(3, int64_t{channel}).Bind(4, start);
      bindCell(hour, cell);
      hour.Run();
    }
    for (const auto& [key, cell] : summaries.Days()) {
      const auto& [quantity, channel, date] = key;
      day.Bind(1, site).Bind(2, std::string(quantity)).Bind(3, int64_t{channel}).Bind(4, date);
      bindCell(day, cell);
      day.Run();
    }
  }

  // The summaries of the rows stored before they were kept, in the
  // upgrade's transaction.  Read in key order and merged every so many
  // values, so that memory stays bounded on a file of years.
  void BackfillSummaries() {
    using namespace schema;
    constexpr std::size_t kFlushCells = 200000;
    SummaryAccumulator summaries;
    auto flush = [&](int64_t site) {
      SaveSummaries(site, summaries);
      summaries.Clear();
    };
    int64_t site = -1;
    SqliteStatement weather(Db(), "SELECT site_id, time, substr(local_time, 1, 10), " + Join(kWeatherColumns) +
                                      " FROM records ORDER BY site_id, time");
    while (weather.Step()) {
      if (weather.Int(0) != site || summaries.Size() > kFlushCells) flush(site);
      site = weather.Int(0);
      for (std::size_t k = 0; k < kWeatherColumns.size(); ++k)
        if (auto v = weather.Real(3 + static_cast<int>(k)))
          summaries.Add(kWeatherColumns[k], 0, weather.Int(1), weather.Text(2), *v);
    }
    SqliteStatement channels(Db(), "SELECT c.site_id, c.channel, c.time, substr(r.local_time, 1, 10), " +
                                       Join(kChannelColumns, "c.") +
                                       " FROM channel_records c JOIN records r ON r.site_id = c.site_id AND "
                                       "r.time = c.time ORDER BY c.site_id, c.channel, c.time");
    while (channels.Step()) {
      if (channels.Int(0) != site || summaries.Size() > kFlushCells) flush(site);
      site = channels.Int(0);
      for (std::size_t k = 0; k < kChannelColumns.size(); ++k)
        if (auto v = channels.Real(4 + static_cast<int>(k)))
          summaries.Add(kChannelColumns[k], static_cast<int>(channels.Int(1)), channels.Int(2), channels.Text(3), *v);
    }
    flush(site);
  }

  std::size_t InsertSnapshots(int64_t site, const std::vector<StoredSnapshot>& snapshots) {
    if (snapshots.empty()) return 0;
    SqliteStatement s(Db(),
                "INSERT INTO snapshots (site_id, time, name, local_time, kind, trigger_channel, trigger_peak_ma, "
                "channels, peak_counts, peaks_ma, file_size, file_mtime_ns, data, harmonics_ma) VALUES (?1, ?2, ?3, "
                "?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14) ON CONFLICT (site_id, time, name) DO UPDATE SET "
                "kind = excluded.kind, channels = excluded.channels, peak_counts = excluded.peak_counts, "
                "peaks_ma = excluded.peaks_ma, file_size = excluded.file_size, "
                "file_mtime_ns = excluded.file_mtime_ns, data = excluded.data, harmonics_ma = excluded.harmonics_ma");
    for (const StoredSnapshot& snap : snapshots) {
      s.Bind(1, site).Bind(2, snap.time.epochSeconds).Bind(3, snap.name).Bind(4, IsoLocalText(snap.time));
      s.Bind(5, std::string(SnapshotKindName(snap.parsed.kind)));
      if (snap.parsed.triggerChannel) s.Bind(6, int64_t{*snap.parsed.triggerChannel}); else s.BindNull(6);
      if (snap.parsed.triggerPeakMa) s.Bind(7, *snap.parsed.triggerPeakMa); else s.BindNull(7);
      s.Bind(8, int64_t{snap.channels}).Bind(9, JsonArray(snap.peakCounts)).Bind(10, JsonArray(snap.peaksMa));
      s.Bind(11, static_cast<int64_t>(snap.fileSize)).Bind(12, snap.fileMtimeNs);
      if (snap.bytes) s.BindBlob(13, *snap.bytes); else s.BindNull(13);
      if (!snap.harmonicsMa.empty()) s.Bind(14, JsonArray(snap.harmonicsMa)); else s.BindNull(14);
      s.Run();
    }
    return snapshots.size();
  }

  void SavePosition(int64_t site, const std::string& stream, const FilePosition& p) {
    SqliteStatement s(Db(), "INSERT INTO positions (site_id, stream, path, device, inode, head_hash, tail_hash, "
                      "byte_offset, header) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) "
                      "ON CONFLICT (site_id, stream) DO UPDATE SET path = excluded.path, device = excluded.device, "
                      "inode = excluded.inode, head_hash = excluded.head_hash, tail_hash = excluded.tail_hash, "
                      "byte_offset = excluded.byte_offset, header = excluded.header, "
                      "updated = strftime('%s','now')");
    s.Bind(1, site).Bind(2, stream).Bind(3, p.path);
    s.Bind(4, std::bit_cast<int64_t>(p.device)).Bind(5, std::bit_cast<int64_t>(p.inode));
    s.Bind(6, std::bit_cast<int64_t>(p.headHash)).Bind(7, std::bit_cast<int64_t>(p.tailHash));
    s.Bind(8, static_cast<int64_t>(p.offset)).Bind(9, p.header);
    s.Run();
  }

  std::string path_;
  sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<Database> MakeSqliteDatabase(const std::string& path) {
  return std::make_unique<SqliteDatabase>(path);
}

}  // namespace varnel::fleet
