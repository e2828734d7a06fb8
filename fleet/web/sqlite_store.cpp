// The records database in an SQLite file, opened read-only.  The collector
// keeps it in write-ahead-log mode, so reading never blocks its commits.
//
// Reduction: one pass groups the range's rows into buckets and takes each
// bucket's smallest and largest value; the time of each is then looked up
// in its bucket through the key's index (the first row, from the bucket's
// start, that holds the value).
#include <sqlite3.h>

#include <map>

#include "schema.h"
#include "sqlite_statement.h"
#include "store.h"

namespace varnel::fleet::web {

namespace {

constexpr const char* kChannelList = "(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16)";

class SqliteFleetStore final : public FleetStore {
 public:
  explicit SqliteFleetStore(std::string path) : path_(std::move(path)) {}
  ~SqliteFleetStore() override { Close(); }

  std::string Describe() const override { return "SQLite " + path_; }

  void Open() override {
    Close();
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
      Close();
      throw DbError("SQLite: cannot open " + path_ + " for reading: " + why);
    }
    sqlite3_busy_timeout(db_, 10000);
    try {
      Exec("PRAGMA query_only = 1");
      // A file without the collector's tables is not a records database.
      SqliteStatement check(db_, "SELECT count(*) FROM sites");
      check.Step();
    } catch (const DbError& e) {
      Close();
      throw DbError("SQLite: " + path_ + " is no records database of varnel-collect (" + e.what() + ")");
    }
    try {
      schema::CheckReadable(SqliteSchemaVersion(db_), Describe());
    } catch (const DbError&) {
      Close();
      throw;
    }
  }

  bool IsOpen() const override { return db_ != nullptr; }

  void Close() override {
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
  }

  std::vector<SiteRow> Sites() override {
    SqliteStatement s(Db(), "SELECT site_id, name, time_zone FROM sites ORDER BY name");
    std::vector<SiteRow> out;
    while (s.Step()) out.push_back({s.Int(0), s.Text(1), s.Text(2)});
    return out;
  }

  std::optional<LatestRecord> Latest(int64_t site) override {
    SqliteStatement s(Db(),
                      "SELECT time, channels, wind_speed, wind_direction, outside_temperature, outside_humidity, "
                      "inside_temperature, inside_humidity, rain, max_wind_speed, threshold_1, threshold_2, "
                      "threshold_3, threshold_4 FROM records WHERE site_id = ?1 ORDER BY time DESC LIMIT 1");
    s.Bind(1, site);
    if (!s.Step()) return std::nullopt;
    LatestRecord r;
    r.time = s.Int(0);
    r.channels = static_cast<int>(s.Int(1));
    for (int k = 0; k < 8; ++k) r.weather[static_cast<std::size_t>(k)] = s.Real(2 + k);
    for (int j = 0; j < 4; ++j) r.thresholds[static_cast<std::size_t>(j)] = s.Real(10 + j);
    return r;
  }

  std::vector<ChannelExtreme> ChannelMaxima(int64_t site, const Quantity& q, TimeRange range) override {
    // With a single max(), SQLite takes the bare column `time` from the row
    // that holds the maximum: the first in key order, the earliest.
    const std::string col = q.column;
    SqliteStatement s(Db(), "SELECT channel, max(" + col + "), time FROM channel_records WHERE site_id = ?1 AND "
                            "channel IN " + kChannelList + " AND time >= ?2 AND time < ?3 AND " + col +
                            " IS NOT NULL GROUP BY channel ORDER BY channel");
    s.Bind(1, site).Bind(2, range.from).Bind(3, range.to);
    std::vector<ChannelExtreme> out;
    while (s.Step()) out.push_back({static_cast<int>(s.Int(0)), {s.Int(2), *s.Real(1)}});
    return out;
  }

  std::vector<ReducedBucket> Reduce(int64_t site, int channel, const std::vector<const Quantity*>& quantities,
                                    TimeRange range, int buckets) override {
    if (quantities.empty() || range.to <= range.from || buckets < 1) return {};
    const bool weather = channel == 0;
    const std::string table = weather ? "records" : "channel_records";
    // Channel -1: every channel together.
    const std::string channels = weather ? "" : channel < 0 ? std::string(" AND channel IN ") + kChannelList
                                                            : " AND channel = ?6";
    const std::string rows = " FROM " + table + " WHERE site_id = ?1" + channels;
    std::string aggregates, lookups;
    for (std::size_t i = 0; i < quantities.size(); ++i) {
      const std::string col = quantities[i]->column;
      const std::string n = std::to_string(i);
      aggregates += ", min(" + col + ") AS lo" + n + ", max(" + col + ") AS hi" + n;
      for (const char* side : {"lo", "hi"}) {
        lookups += ", b." + std::string(side) + n + ", (SELECT time" + rows +
                   " AND time >= ?2 + (b.k * ?5 + ?4 - 1) / ?4 AND time < ?2 + ((b.k + 1) * ?5 + ?4 - 1) / ?4 AND " +
                   col + " = b." + side + n +
                   " ORDER BY time LIMIT 1)";
      }
    }
    // ?2 from, ?3 to, ?4 buckets, ?5 span.
    SqliteStatement s(Db(), "WITH b AS (SELECT (time - ?2) * ?4 / ?5 AS k" + aggregates + rows +
                                " AND time >= ?2 AND time < ?3 GROUP BY k) SELECT b.k" + lookups +
                                " FROM b ORDER BY b.k");
    s.Bind(1, site).Bind(2, range.from).Bind(3, range.to).Bind(4, int64_t{buckets}).Bind(5, range.to - range.from);
    if (!weather && channel > 0) s.Bind(6, int64_t{channel});
    std::vector<ReducedBucket> out;
    while (s.Step()) {
      ReducedBucket b;
      b.index = s.Int(0);
      for (std::size_t i = 0; i < quantities.size(); ++i) {
        const int base = 1 + 4 * static_cast<int>(i);
        Extremes e;
        if (auto v = s.Real(base); v && !s.IsNull(base + 1)) e.min = TimedValue{s.Int(base + 1), *v};
        if (auto v = s.Real(base + 2); v && !s.IsNull(base + 3)) e.max = TimedValue{s.Int(base + 3), *v};
        b.values.push_back(e);
      }
      out.push_back(std::move(b));
    }
    return out;
  }

  std::vector<ReducedBucket> ReducePeriods(int64_t site, int channel, const std::vector<const Quantity*>& quantities,
                                           Level level, int64_t first, int64_t last, int buckets) override {
    if (quantities.empty() || last <= first || buckets < 1 || level == Level::kRecords) return {};
    const bool days = level == Level::kDays;
    const std::string period = days ? "CAST(julianday(day) - 2440587.5 AS INTEGER)" : "hour / 3600";
    const std::string sql = std::string("SELECT ") + period + ", min_value, min_time, max_value, max_time FROM " +
                            (days ? schema::kSummaryDays : schema::kSummaryHours) +
                            " WHERE site_id = ?1 AND quantity = ?2 AND " +
                            (channel < 0 ? std::string("channel IN ") + kChannelList : std::string("channel = ?5")) +
                            (days ? " AND day >= ?3 AND day < ?4" : " AND hour >= ?3 AND hour < ?4");
    SqliteStatement s(Db(), sql);
    std::map<int64_t, ReducedBucket> out;
    for (std::size_t i = 0; i < quantities.size(); ++i) {
      s.Bind(1, site).Bind(2, std::string(quantities[i]->column));
      if (days)
        s.Bind(3, DayText(first)).Bind(4, DayText(last));
      else
        s.Bind(3, first * 3600).Bind(4, last * 3600);
      if (channel >= 0) s.Bind(5, int64_t{channel});
      while (s.Step()) {
        const int64_t k = (s.Int(0) - first) * buckets / (last - first);
        auto [it, added] = out.try_emplace(k, ReducedBucket{k, std::vector<Extremes>(quantities.size())});
        Extremes& e = it->second.values[i];
        KeepSmaller(e.min, TimedValue{s.Int(2), *s.Real(1)});
        KeepLarger(e.max, TimedValue{s.Int(4), *s.Real(3)});
      }
      s.Reset();
    }
    std::vector<ReducedBucket> list;
    for (auto& [k, b] : out) list.push_back(std::move(b));
    return list;
  }

  std::vector<ChannelExtreme> ChannelMaximaOfHours(int64_t site, const Quantity& q, TimeRange range) override {
    SqliteStatement s(Db(), std::string("SELECT channel, max_value, max_time FROM ") + schema::kSummaryHours +
                                " WHERE site_id = ?1 AND quantity = ?2 AND channel IN " + kChannelList +
                                " AND hour >= ?3 AND hour < ?4");
    s.Bind(1, site).Bind(2, std::string(q.column)).Bind(3, range.from).Bind(4, range.to);
    std::map<int, std::optional<TimedValue>> best;
    while (s.Step()) KeepLarger(best[static_cast<int>(s.Int(0))], TimedValue{s.Int(2), *s.Real(1)});
    std::vector<ChannelExtreme> out;
    for (const auto& [channel, v] : best) out.push_back({channel, *v});
    return out;
  }

  std::vector<int64_t> HoursReaching(int64_t site, int channel, const Quantity& q, double level,
                                     TimeRange range) override {
    SqliteStatement s(Db(), std::string("SELECT hour FROM ") + schema::kSummaryHours +
                                " WHERE site_id = ?1 AND quantity = ?2 AND channel = ?3 AND hour >= ?4 AND hour < ?5 "
                                "AND max_value >= ?6 ORDER BY hour");
    s.Bind(1, site).Bind(2, std::string(q.column)).Bind(3, int64_t{channel}).Bind(4, range.from).Bind(5, range.to);
    s.Bind(6, level);
    std::vector<int64_t> out;
    while (s.Step()) out.push_back(s.Int(0));
    return out;
  }

  std::vector<TimedValue> AtOrAbove(int64_t site, int channel, const Quantity& q, double level, TimeRange range,
                                    std::size_t limit) override {
    const std::string col = q.column;
    SqliteStatement s(Db(), "SELECT time, " + col + " FROM channel_records WHERE site_id = ?1 AND channel = ?2 AND "
                            "time >= ?3 AND time < ?4 AND " + col + " >= ?5 ORDER BY time LIMIT ?6");
    s.Bind(1, site).Bind(2, int64_t{channel}).Bind(3, range.from).Bind(4, range.to).Bind(5, level);
    s.Bind(6, static_cast<int64_t>(limit));
    std::vector<TimedValue> out;
    while (s.Step()) out.push_back({s.Int(0), *s.Real(1)});
    return out;
  }

  std::optional<int64_t> NextRecordTime(int64_t site, int channel, int64_t time) override {
    SqliteStatement s(Db(), "SELECT time FROM channel_records WHERE site_id = ?1 AND channel = ?2 AND time > ?3 "
                            "ORDER BY time LIMIT 1");
    s.Bind(1, site).Bind(2, int64_t{channel}).Bind(3, time);
    if (!s.Step()) return std::nullopt;
    return s.Int(0);
  }

  std::vector<std::optional<int64_t>> NextRecordTimes(int64_t site, int channel,
                                                      const std::vector<int64_t>& times) override {
    SqliteStatement s(Db(), "SELECT time FROM channel_records WHERE site_id = ?1 AND channel = ?2 AND time > ?3 "
                            "ORDER BY time LIMIT 1");
    std::vector<std::optional<int64_t>> out;
    out.reserve(times.size());
    for (int64_t t : times) {
      s.Bind(1, site).Bind(2, int64_t{channel}).Bind(3, t);
      out.push_back(s.Step() ? std::optional(s.Int(0)) : std::nullopt);
      s.Reset();
    }
    return out;
  }

  std::vector<SnapshotRow> Snapshots(int64_t site, TimeRange range, std::size_t limit) override {
    SqliteStatement s(Db(), std::string(kSnapshotColumns) +
                                " FROM snapshots WHERE site_id = ?1 AND time >= ?2 AND time < ?3 "
                                "ORDER BY time DESC, name LIMIT ?4");
    s.Bind(1, site).Bind(2, range.from).Bind(3, range.to).Bind(4, static_cast<int64_t>(limit));
    std::vector<SnapshotRow> out;
    while (s.Step()) out.push_back(SnapshotOf(s));
    return out;
  }

  std::optional<SnapshotRow> Snapshot(int64_t site, int64_t time, const std::string& name) override {
    SqliteStatement s(Db(), std::string(kSnapshotColumns) +
                                " FROM snapshots WHERE site_id = ?1 AND time = ?2 AND name = ?3");
    s.Bind(1, site).Bind(2, time).Bind(3, name);
    if (!s.Step()) return std::nullopt;
    return SnapshotOf(s);
  }

  std::optional<std::string> SnapshotData(int64_t site, int64_t time, const std::string& name) override {
    SqliteStatement s(Db(), "SELECT data FROM snapshots WHERE site_id = ?1 AND time = ?2 AND name = ?3 AND "
                            "data IS NOT NULL");
    s.Bind(1, site).Bind(2, time).Bind(3, name);
    if (!s.Step()) return std::nullopt;
    return s.Blob(0);
  }

  std::vector<InsulatorRow> Insulators() override {
    SqliteStatement s(Db(), "SELECT site_id, channel, name, type, critical_peak_ma FROM insulators "
                            "ORDER BY site_id, channel");
    std::vector<InsulatorRow> out;
    while (s.Step())
      out.push_back({s.Int(0), static_cast<int>(s.Int(1)), s.Text(2), s.Text(3), s.Real(4)});
    return out;
  }

  std::vector<DailyIndicatorRow> DailyIndicators(int64_t site, int64_t firstDay, int64_t lastDay) override {
    SqliteStatement s(Db(), std::string("SELECT channel, ") + kDayNumber + ", " + schema::kIndicatorValues +
                                " FROM daily_indicators WHERE site_id = ?1 AND day >= ?2 AND day < ?3 "
                                "ORDER BY channel, day");
    s.Bind(1, site).Bind(2, DayText(firstDay)).Bind(3, DayText(lastDay));
    std::vector<DailyIndicatorRow> out;
    while (s.Step()) {
      DailyIndicatorRow r;
      r.channel = static_cast<int>(s.Int(0));
      r.day = s.Int(1);
      r.n = s.Int(2);
      r.wetN = s.Int(3);
      r.peakMax = s.Real(4);
      r.wetPeakMax = s.Real(5);
      if (!s.IsNull(6)) r.wetPeakTime = s.Int(6);
      r.chargeMc = s.Real(7).value_or(0);
      r.dewDepressionMin = s.Real(8);
      out.push_back(r);
    }
    return out;
  }

  std::vector<MaintenanceRow> Maintenance(std::optional<int64_t> site) override {
    SqliteStatement s(Db(), "SELECT site_id, channel, time, kind, note FROM maintenance WHERE ?1 IS NULL OR "
                            "site_id = ?1 ORDER BY site_id, time, channel, kind");
    if (site) s.Bind(1, *site); else s.BindNull(1);
    std::vector<MaintenanceRow> out;
    while (s.Step()) out.push_back({s.Int(0), static_cast<int>(s.Int(1)), s.Int(2), s.Text(3), s.Text(4)});
    return out;
  }

  std::vector<DayMean> DayMeans(int64_t site, const Quantity& q, int64_t firstDay, int64_t lastDay) override {
    SqliteStatement s(Db(), std::string("SELECT channel, ") + kDayNumber + ", sum_value / n FROM " +
                                schema::kSummaryDays + " WHERE site_id = ?1 AND quantity = ?2 AND channel > 0 AND "
                                "day >= ?3 AND day < ?4 ORDER BY channel, day");
    s.Bind(1, site).Bind(2, std::string(q.column)).Bind(3, DayText(firstDay)).Bind(4, DayText(lastDay));
    std::vector<DayMean> out;
    while (s.Step()) out.push_back({static_cast<int>(s.Int(0)), s.Int(1), s.Real(2).value_or(0)});
    return out;
  }

  std::vector<SnapshotRow> ScheduledSnapshots(int64_t site, TimeRange range) override {
    SqliteStatement s(Db(), std::string(kSnapshotColumns) +
                                " FROM snapshots WHERE site_id = ?1 AND time >= ?2 AND time < ?3 AND "
                                "kind = 'scheduled' ORDER BY time, name");
    s.Bind(1, site).Bind(2, range.from).Bind(3, range.to);
    std::vector<SnapshotRow> out;
    while (s.Step()) out.push_back(SnapshotOf(s));
    return out;
  }

 private:
  static constexpr const char* kSnapshotColumns =
      "SELECT time, name, kind, trigger_channel, trigger_peak_ma, channels, peak_counts, peaks_ma, "
      "data IS NOT NULL, harmonics_ma";
  // A `day` text as days since 1970-01-01.
  static constexpr const char* kDayNumber = "CAST(julianday(day) - 2440587.5 AS INTEGER)";

  static SnapshotRow SnapshotOf(const SqliteStatement& s) {
    SnapshotRow r;
    r.time = s.Int(0);
    r.name = s.Text(1);
    r.kind = s.Text(2);
    if (!s.IsNull(3)) r.triggerChannel = static_cast<int>(s.Int(3));
    r.triggerPeakMa = s.Real(4);
    r.channels = static_cast<int>(s.Int(5));
    for (double c : ParseNumberList(s.Text(6))) r.peakCounts.push_back(static_cast<int>(c));
    r.peaksMa = ParseNumberList(s.Text(7));
    r.hasData = s.Int(8) != 0;
    if (!s.IsNull(9)) r.harmonicsMa = ParseNumberList(s.Text(9));
    return r;
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

  std::string path_;
  sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<FleetStore> MakeSqliteFleetStore(const std::string& path) {
  return std::make_unique<SqliteFleetStore>(path);
}

}  // namespace varnel::fleet::web
