// The records database on a PostgreSQL server, read in read-only
// transactions (default_transaction_read_only) with a statement time-out,
// so that a slow query never holds the dashboard for long.
//
// Reduction of records in one pass: the smallest and the largest value of
// a bucket come with their times as min(ARRAY[value, epoch]) and
// max(ARRAY[value, -epoch]) (arrays compare element by element, so a tie
// takes the earliest time, as the SQLite engine does).  Values are sent as
// `real`, the type they are stored in, so both engines give the same texts.
// Summaries, many more rows for a long range, are read out by binary COPY
// and reduced here the same way.
#include <libpq-fe.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "data_records.h"
#include "pg_copy.h"
#include "pg_result.h"
#include "schema.h"
#include "store.h"

namespace varnel::fleet::web {

namespace {

std::optional<double> RealOf(const PgResult& r, int row, int col) {
  if (r.IsNull(row, col)) return std::nullopt;
  return std::stod(r.Text(row, col));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

// bytea in its hex text form, "\x0a1b..."
std::string FromByteaHex(const std::string& text) {
  std::string out;
  if (text.size() < 2) return out;
  out.reserve((text.size() - 2) / 2);
  for (std::size_t i = 2; i + 1 < text.size(); i += 2)
    out += static_cast<char>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1]));
  return out;
}

// The column as a number that is there (NULL and NaN left out).
std::string Valid(const std::string& col) { return "(" + col + " IS NOT NULL AND " + col + " <> 'NaN')"; }

class PostgresFleetStore final : public FleetStore {
 public:
  explicit PostgresFleetStore(std::string connection) : connection_(std::move(connection)) {}
  ~PostgresFleetStore() override { Close(); }

  std::string Describe() const override {
    return PgDescribe(connection_);
  }

  void Open() override {
    Close();
    const char* keys[] = {"connect_timeout", "keepalives_idle", "keepalives_interval", "keepalives_count",
                          "application_name", "options", "dbname", nullptr};
    // No JIT: the dashboard's statements are short, and a lateral query
    // over a hundred sites, estimated dear, spent 60 ms compiling itself
    // to save nothing.
    const char* values[] = {"10", "30", "10", "3", "varnel-web",
                            "-c default_transaction_read_only=on -c statement_timeout=60000 -c jit=off",
                            connection_.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
      const std::string why = conn_ ? PQerrorMessage(conn_) : "out of memory";
      Close();
      throw DbError("PostgreSQL: cannot connect: " + PgTrim(why));
    }
    try {
      PgExec(conn_, "SELECT count(*) FROM sites");
    } catch (const DbError& e) {
      Close();
      throw DbError(std::string(e.what()) + " (no records database of varnel-collect?)");
    }
    try {
      schema::CheckReadable(PgSchemaVersion(conn_), Describe());
    } catch (const DbError&) {
      Close();
      throw;
    }
  }

  bool IsOpen() const override { return conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK; }

  void Close() override {
    if (conn_) PQfinish(conn_);
    conn_ = nullptr;
  }

  std::vector<SiteRow> Sites() override {
    PgResult r = Exec("SELECT site_id, name, time_zone FROM sites ORDER BY name", {});
    std::vector<SiteRow> out;
    for (int i = 0; i < r.Rows(); ++i) out.push_back({r.Int(i, 0), r.Text(i, 1), r.Text(i, 2)});
    return out;
  }

  std::optional<LatestRecord> Latest(int64_t site) override {
    PgResult r = Exec("SELECT extract(epoch from time)::bigint, channels, " + kLatestColumns +
                          " FROM records WHERE site_id = $1 ORDER BY time DESC LIMIT 1",
                      {std::to_string(site)});
    if (r.Rows() == 0) return std::nullopt;
    return LatestOfRow(r, 0, 0);
  }

  // The single-site maxima are plain statements: a lateral query of one
  // site's range is planned without pruning the months it cannot touch.
  std::vector<ChannelExtreme> ChannelMaxima(int64_t site, const Quantity& q, TimeRange range) override {
    return Maxima(Exec("SELECT 1, c.channel, (c.m)[1]::real, -(c.m)[2] FROM (" + ChannelMaximaSql(q, "$1", "$2", "$3") +
                           ") c ORDER BY c.channel",
                       {std::to_string(site), std::to_string(range.from), std::to_string(range.to)}),
                  1)
        .front();
  }
  std::vector<ChannelExtreme> ChannelMaximaOfHours(int64_t site, const Quantity& q, TimeRange range) override {
    return Maxima(Exec("SELECT 1, c.channel, (c.m)[1]::real, -(c.m)[2] FROM (" + HourMaximaSql("$1", "$2", "$3", "$4") +
                           ") c ORDER BY c.channel",
                       {std::to_string(site), std::to_string(range.from), std::to_string(range.to), q.column}),
                  1)
        .front();
  }

  std::vector<std::optional<LatestRecord>> LatestOf(const std::vector<int64_t>& sites) override {
    std::vector<std::optional<LatestRecord>> out(sites.size());
    if (sites.empty()) return out;
    ArrayParam ids;
    for (int64_t site : sites) ids.Add(site);
    PgResult r = Exec("SELECT w.n, r.* FROM unnest($1::integer[]) WITH ORDINALITY AS w(site, n) CROSS JOIN LATERAL "
                      "(SELECT extract(epoch from time)::bigint, channels, " + kLatestColumns +
                          " FROM records WHERE site_id = w.site ORDER BY time DESC LIMIT 1) r",
                      {ids.Done()});
    for (int i = 0; i < r.Rows(); ++i) out[static_cast<std::size_t>(r.Int(i, 0) - 1)] = LatestOfRow(r, i, 1);
    return out;
  }

  std::vector<std::vector<ChannelExtreme>> ChannelMaximaOf(const Quantity& q,
                                                           const std::vector<SiteRange>& ranges) override {
    return MaximaOf(ranges, ChannelMaximaSql(q, "w.site", "w.a", "w.b"), {});
  }

  std::vector<std::vector<ChannelExtreme>> ChannelMaximaOfHoursOf(const Quantity& q,
                                                                  const std::vector<SiteRange>& ranges) override {
    return MaximaOf(ranges, HourMaximaSql("w.site", "w.a", "w.b", "$4"), {q.column});
  }

  std::vector<ReducedBucket> Reduce(int64_t site, int channel, const std::vector<const Quantity*>& quantities,
                                    TimeRange range, int buckets) override {
    return RecordsOf(site, {channel}, quantities, range, buckets).front();
  }
  std::vector<std::vector<ReducedBucket>> ReduceOf(int64_t site, const std::vector<int>& channels,
                                                   const std::vector<const Quantity*>& quantities, TimeRange range,
                                                   int buckets) override {
    if (!ChannelsOnly(channels)) return FleetStore::ReduceOf(site, channels, quantities, range, buckets);
    return RecordsOf(site, channels, quantities, range, buckets);
  }

  std::vector<ReducedBucket> ReducePeriods(int64_t site, int channel, const std::vector<const Quantity*>& quantities,
                                           Level level, int64_t first, int64_t last, int buckets) override {
    return PeriodsOf(site, {channel}, quantities, level, first, last, buckets).front();
  }
  std::vector<std::vector<ReducedBucket>> ReducePeriodsOf(int64_t site, const std::vector<int>& channels,
                                                          const std::vector<const Quantity*>& quantities, Level level,
                                                          int64_t first, int64_t last, int buckets) override {
    if (!ChannelsOnly(channels))
      return FleetStore::ReducePeriodsOf(site, channels, quantities, level, first, last, buckets);
    return PeriodsOf(site, channels, quantities, level, first, last, buckets);
  }

  std::vector<int64_t> HoursReaching(int64_t site, int channel, const Quantity& q, double level,
                                     TimeRange range) override {
    PgResult r = Exec(std::string("SELECT extract(epoch from hour)::bigint FROM ") + schema::kSummaryHours +
                          " WHERE site_id = $1 AND quantity = $2 AND channel = $3 AND hour >= to_timestamp($4) AND "
                          "hour < to_timestamp($5) AND max_value >= $6 ORDER BY hour",
                      {std::to_string(site), q.column, std::to_string(channel), std::to_string(range.from),
                       std::to_string(range.to), Text(level)});
    std::vector<int64_t> out;
    for (int i = 0; i < r.Rows(); ++i) out.push_back(r.Int(i, 0));
    return out;
  }

  std::vector<TimedValue> AtOrAbove(int64_t site, int channel, const Quantity& q, double level, TimeRange range,
                                    std::size_t limit) override {
    const std::string col = q.column;
    PgResult r = Exec("SELECT extract(epoch from time)::bigint, " + col + " FROM channel_records WHERE site_id = $1 "
                          "AND channel = $2 AND time >= to_timestamp($3) AND time < to_timestamp($4) AND " + col +
                          " >= $5 AND " + col + " <> 'NaN' ORDER BY time LIMIT $6",
                      {std::to_string(site), std::to_string(channel), std::to_string(range.from),
                       std::to_string(range.to), Text(level), std::to_string(limit)});
    std::vector<TimedValue> out;
    for (int i = 0; i < r.Rows(); ++i) out.push_back({r.Int(i, 0), *RealOf(r, i, 1)});
    return out;
  }

  std::vector<TimedValue> AtOrAboveIn(int64_t site, int channel, const Quantity& q, double level,
                                      const std::vector<TimeRange>& ranges, std::size_t limit) override {
    if (ranges.empty() || limit == 0) return {};
    if (ranges.size() == 1) return AtOrAbove(site, channel, q, level, ranges.front(), limit);
    ArrayParam from, to;
    for (const TimeRange& r : ranges) {
      from.Add(r.from);
      to.Add(r.to);
    }
    const std::string col = q.column;
    PgResult r = Exec("SELECT extract(epoch from c.time)::bigint, c.v FROM unnest($3::bigint[], $4::bigint[]) "
                          "WITH ORDINALITY AS w(a, b, n) CROSS JOIN LATERAL (SELECT time, " + col + " AS v FROM "
                          "channel_records WHERE site_id = $1 AND channel = $2 AND time >= to_timestamp(w.a) AND "
                          "time < to_timestamp(w.b) AND " + col + " >= $5 AND " + col + " <> 'NaN' ORDER BY time "
                          "LIMIT $6) c ORDER BY w.n, c.time LIMIT $6",
                      {std::to_string(site), std::to_string(channel), from.Done(), to.Done(), Text(level),
                       std::to_string(limit)});
    std::vector<TimedValue> out;
    for (int i = 0; i < r.Rows(); ++i) out.push_back({r.Int(i, 0), *RealOf(r, i, 1)});
    return out;
  }

  std::optional<int64_t> NextRecordTime(int64_t site, int channel, int64_t time) override {
    PgResult r = Exec("SELECT extract(epoch from time)::bigint FROM channel_records WHERE site_id = $1 AND "
                      "channel = $2 AND time > to_timestamp($3) ORDER BY time LIMIT 1",
                      {std::to_string(site), std::to_string(channel), std::to_string(time)});
    if (r.Rows() == 0) return std::nullopt;
    return r.Int(0, 0);
  }

  std::vector<std::optional<int64_t>> NextRecordTimes(int64_t site, int channel,
                                                      const std::vector<int64_t>& times) override {
    if (times.empty()) return {};
    std::string list = "{";
    for (std::size_t i = 0; i < times.size(); ++i) list += (i ? "," : "") + std::to_string(times[i]);
    list += "}";
    PgResult r = Exec("SELECT (SELECT extract(epoch from c.time)::bigint FROM channel_records c WHERE c.site_id = $1 "
                      "AND c.channel = $2 AND c.time > to_timestamp(t.after) ORDER BY c.time LIMIT 1) "
                      "FROM unnest($3::bigint[]) WITH ORDINALITY AS t(after, n) ORDER BY t.n",
                      {std::to_string(site), std::to_string(channel), list});
    std::vector<std::optional<int64_t>> out;
    for (int i = 0; i < r.Rows(); ++i) out.push_back(r.IsNull(i, 0) ? std::nullopt : std::optional(r.Int(i, 0)));
    return out;
  }

  std::vector<SnapshotRow> Snapshots(int64_t site, TimeRange range, std::size_t limit) override {
    PgResult r = Exec(std::string(kSnapshotColumns) +
                          " FROM snapshots WHERE site_id = $1 AND time >= to_timestamp($2) AND time < to_timestamp($3) "
                          "ORDER BY time DESC, name LIMIT $4",
                      {std::to_string(site), std::to_string(range.from), std::to_string(range.to),
                       std::to_string(limit)});
    std::vector<SnapshotRow> out;
    for (int i = 0; i < r.Rows(); ++i) out.push_back(SnapshotOf(r, i));
    return out;
  }

  std::optional<SnapshotRow> Snapshot(int64_t site, int64_t time, const std::string& name) override {
    PgResult r = Exec(std::string(kSnapshotColumns) +
                          " FROM snapshots WHERE site_id = $1 AND time = to_timestamp($2) AND name = $3",
                      {std::to_string(site), std::to_string(time), name});
    if (r.Rows() == 0) return std::nullopt;
    return SnapshotOf(r, 0);
  }

  std::vector<InsulatorRow> Insulators() override {
    PgResult r = Exec("SELECT site_id, channel, name, type, critical_peak_ma FROM insulators ORDER BY site_id, channel",
                      {});
    std::vector<InsulatorRow> out;
    for (int i = 0; i < r.Rows(); ++i)
      out.push_back({r.Int(i, 0), static_cast<int>(r.Int(i, 1)), r.Text(i, 2), r.Text(i, 3), Number(r, i, 4)});
    return out;
  }

  std::vector<DailyIndicatorRow> DailyIndicators(int64_t site, int64_t firstDay, int64_t lastDay) override {
    PgResult r = Exec("SELECT channel, day - DATE '1970-01-01', n, wet_n, peak_max, wet_peak_max, "
                      "extract(epoch from wet_peak_time)::bigint, charge_mc, dew_depression_min FROM daily_indicators "
                      "WHERE site_id = $1 AND day >= DATE '1970-01-01' + $2::integer AND "
                      "day < DATE '1970-01-01' + $3::integer ORDER BY channel, day",
                      {std::to_string(site), std::to_string(firstDay), std::to_string(lastDay)});
    std::vector<DailyIndicatorRow> out;
    for (int i = 0; i < r.Rows(); ++i) {
      DailyIndicatorRow d;
      d.channel = static_cast<int>(r.Int(i, 0));
      d.day = r.Int(i, 1);
      d.n = r.Int(i, 2);
      d.wetN = r.Int(i, 3);
      d.peakMax = Number(r, i, 4);
      d.wetPeakMax = Number(r, i, 5);
      if (!r.IsNull(i, 6)) d.wetPeakTime = r.Int(i, 6);
      d.chargeMc = Number(r, i, 7).value_or(0);
      d.dewDepressionMin = Number(r, i, 8);
      out.push_back(d);
    }
    return out;
  }

  std::vector<MaintenanceRow> Maintenance(std::optional<int64_t> site) override {
    PgResult r = Exec("SELECT site_id, channel, extract(epoch from time)::bigint, kind, note FROM maintenance "
                      "WHERE $1::integer < 0 OR site_id = $1::integer ORDER BY site_id, time, channel, kind",
                      {std::to_string(site.value_or(-1))});
    std::vector<MaintenanceRow> out;
    for (int i = 0; i < r.Rows(); ++i)
      out.push_back({r.Int(i, 0), static_cast<int>(r.Int(i, 1)), r.Int(i, 2), r.Text(i, 3), r.Text(i, 4)});
    return out;
  }

  std::vector<DayMean> DayMeans(int64_t site, const Quantity& q, int64_t firstDay, int64_t lastDay) override {
    PgResult r = Exec(std::string("SELECT channel, day - DATE '1970-01-01', sum_value / n FROM ") + schema::kSummaryDays +
                          " WHERE site_id = $1 AND quantity = $2 AND channel > 0 AND day >= DATE '1970-01-01' + "
                          "$3::integer AND day < DATE '1970-01-01' + $4::integer ORDER BY channel, day",
                      {std::to_string(site), q.column, std::to_string(firstDay), std::to_string(lastDay)});
    std::vector<DayMean> out;
    for (int i = 0; i < r.Rows(); ++i)
      out.push_back({static_cast<int>(r.Int(i, 0)), r.Int(i, 1), Number(r, i, 2).value_or(0)});
    return out;
  }

  std::vector<SnapshotRow> ScheduledSnapshots(int64_t site, TimeRange range) override {
    PgResult r = Exec(std::string(kSnapshotColumns) +
                          " FROM snapshots WHERE site_id = $1 AND time >= to_timestamp($2) AND time < to_timestamp($3) "
                          "AND kind = 'scheduled' ORDER BY time, name",
                      {std::to_string(site), std::to_string(range.from), std::to_string(range.to)});
    std::vector<SnapshotRow> out;
    for (int i = 0; i < r.Rows(); ++i) out.push_back(SnapshotOf(r, i));
    return out;
  }

  std::optional<std::string> SnapshotData(int64_t site, int64_t time, const std::string& name) override {
    PgResult r = Exec("SELECT data FROM snapshots WHERE site_id = $1 AND time = to_timestamp($2) AND name = $3 "
                      "AND data IS NOT NULL",
                      {std::to_string(site), std::to_string(time), name});
    if (r.Rows() == 0) return std::nullopt;
    return FromByteaHex(r.Text(0, 0));
  }

 private:
  // An array parameter of integers, "{1,2,3}".
  class ArrayParam {
   public:
    void Add(int64_t v) { text_ += (text_.empty() ? "" : ",") + std::to_string(v); }
    std::string Done() const { return "{" + text_ + "}"; }

   private:
    std::string text_;
  };

  static constexpr const char* kChannelList = "'{1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16}'::smallint[]";

  // Channels 1..16 only (or one channel of any kind): one statement
  // answers them all, grouped by channel.
  static bool ChannelsOnly(const std::vector<int>& channels) {
    return channels.size() == 1 ||
           (!channels.empty() && std::all_of(channels.begin(), channels.end(), [](int c) { return c >= 1; }));
  }
  static std::string ChannelArray(const std::vector<int>& channels) {
    ArrayParam list;
    for (int c : channels) list.Add(c);
    return list.Done();
  }

  // The rows of `channels` (one list: the weather {0}, every channel
  // together {-1}, or channels 1..16, `ch` each row's answer among them)
  // and the statement's parameter for them ($n).
  struct ChannelRows {
    std::string condition, ch, param;
  };
  static ChannelRows ChannelRowsOf(const std::vector<int>& channels, const std::string& n) {
    if (channels.front() == 0) return {"", "0", ""};
    if (channels.front() < 0) return {std::string(" AND channel = ANY(") + kChannelList + ")", "-1", ""};
    return {" AND channel = ANY(" + n + "::smallint[])", "channel", ChannelArray(channels)};
  }

  // Buckets of the rows of a result grouped by (ch, k): one list per
  // asked channel, in their order.
  static std::vector<std::vector<ReducedBucket>> PerChannel(const std::vector<int>& channels,
                                                            std::map<int, std::vector<ReducedBucket>>& byChannel) {
    std::vector<std::vector<ReducedBucket>> out;
    for (int c : channels) out.push_back(std::move(byChannel[c]));
    return out;
  }

  std::vector<std::vector<ReducedBucket>> RecordsOf(int64_t site, const std::vector<int>& channels,
                                                    const std::vector<const Quantity*>& quantities, TimeRange range,
                                                    int buckets) {
    if (quantities.empty() || range.to <= range.from || buckets < 1)
      return std::vector<std::vector<ReducedBucket>>(channels.size());
    std::string aggregates, outer;
    for (std::size_t i = 0; i < quantities.size(); ++i) {
      const std::string col = quantities[i]->column;
      const std::string n = std::to_string(i);
      aggregates += ", min(ARRAY[" + col + "::float8, e]) FILTER (WHERE " + Valid(col) + ") AS lo" + n +
                    ", max(ARRAY[" + col + "::float8, -e]) FILTER (WHERE " + Valid(col) + ") AS hi" + n;
      outer += ", (lo" + n + ")[1]::real, (lo" + n + ")[2], (hi" + n + ")[1]::real, -(hi" + n + ")[2]";
    }
    // $2 from, $3 to, $4 buckets, $5 span, $6 the channels; e: the
    // record's epoch seconds.
    const ChannelRows which = ChannelRowsOf(channels, "$6");
    const std::string rows = std::string(channels.front() == 0 ? "records" : "channel_records") +
                             " WHERE site_id = $1 AND time >= to_timestamp($2) AND time < to_timestamp($3)" +
                             which.condition;
    std::vector<std::string> params{std::to_string(site), std::to_string(range.from), std::to_string(range.to),
                                    std::to_string(buckets), std::to_string(range.to - range.from)};
    if (!which.param.empty()) params.push_back(which.param);
    PgResult r = Exec("SELECT ch, k" + outer + " FROM (SELECT " + which.ch +
                          " AS ch, (e::bigint - $2::bigint) * $4::bigint / $5::bigint AS k" + aggregates +
                          " FROM (SELECT *, date_part('epoch', time) AS e FROM " + rows +
                          ") x GROUP BY 1, 2) b ORDER BY 1, 2",
                      params);
    std::map<int, std::vector<ReducedBucket>> byChannel;
    for (int row = 0; row < r.Rows(); ++row) {
      ReducedBucket b;
      b.index = r.Int(row, 1);
      for (std::size_t i = 0; i < quantities.size(); ++i) {
        const int base = 2 + 4 * static_cast<int>(i);
        Extremes e;
        if (auto v = RealOf(r, row, base)) e.min = TimedValue{EpochOf(r, row, base + 1), *v};
        if (auto v = RealOf(r, row, base + 2)) e.max = TimedValue{EpochOf(r, row, base + 3), *v};
        b.values.push_back(e);
      }
      byChannel[static_cast<int>(r.Int(row, 0))].push_back(std::move(b));
    }
    return PerChannel(channels, byChannel);
  }

  // A stored extreme as the database keeps it.
  struct Single {
    float value = 0;
    int64_t time = 0;
    bool set = false;
  };

  // The extremes of each asked channel, quantity and bucket, kept as the
  // singles they are stored as; only the winners become the doubles the
  // text form gives (singles and their shortest texts sort alike).
  class KeptExtremes {
   public:
    KeptExtremes(std::size_t channels, std::size_t quantities, int buckets)
        : quantities_(quantities), buckets_(static_cast<std::size_t>(buckets)),
          kept_(channels * quantities) {}
    void Add(std::size_t channel, std::size_t quantity, int64_t bucket, Single lo, Single hi) {
      auto& series = kept_[channel * quantities_ + quantity];
      if (series.empty()) series.resize(buckets_);
      Kept& b = series[static_cast<std::size_t>(bucket)];
      if (!b.min.set || lo.value < b.min.value || (lo.value == b.min.value && lo.time < b.min.time)) b.min = lo;
      if (!b.max.set || hi.value > b.max.value || (hi.value == b.max.value && hi.time < b.max.time)) b.max = hi;
    }
    // The buckets of `channel` that hold a value, in order.
    std::vector<ReducedBucket> Buckets(std::size_t channel) const {
      std::vector<ReducedBucket> out;
      for (std::size_t k = 0; k < buckets_; ++k) {
        ReducedBucket bucket{static_cast<int64_t>(k), std::vector<Extremes>(quantities_)};
        bool any = false;
        for (std::size_t i = 0; i < quantities_; ++i) {
          const auto& series = kept_[channel * quantities_ + i];
          if (series.empty() || !series[k].min.set) continue;
          bucket.values[i].min = TimedValue{series[k].min.time, DecimalOf(series[k].min.value)};
          bucket.values[i].max = TimedValue{series[k].max.time, DecimalOf(series[k].max.value)};
          any = true;
        }
        if (any) out.push_back(std::move(bucket));
      }
      return out;
    }

   private:
    struct Kept {
      Single min, max;
    };
    std::size_t quantities_, buckets_;
    std::vector<std::vector<Kept>> kept_;  // [channel * quantities + quantity][bucket]
  };

  // The summary rows of the periods [first, last) of `channels` (one list
  // as ChannelRowsOf takes), as COPY reads them out: channel, quantity
  // (unless only one is asked), period, min_value, min_time, max_value,
  // max_time.  The literals are numbers and the quantities' own column
  // names.
  static std::string PeriodRowsSql(int64_t site, const std::vector<int>& channels,
                                   const std::vector<const Quantity*>& quantities, bool days, int64_t first,
                                   int64_t last) {
    std::string names;
    for (const Quantity* q : quantities) names += std::string(names.empty() ? "" : ",") + "'" + q->column + "'";
    const std::string channel = channels.front() == 0  ? std::string("0")
                                : channels.front() < 0 ? std::string("ANY(") + kChannelList + ")"
                                                       : "ANY('" + ChannelArray(channels) + "'::smallint[])";
    const std::string period =
        days ? "day >= DATE '" + DayText(first) + "' AND day < DATE '" + DayText(last) + "'"
             : "hour >= to_timestamp(" + std::to_string(first * 3600) + ") AND hour < to_timestamp(" +
                   std::to_string(last * 3600) + ")";
    return std::string("SELECT channel, ") + (quantities.size() == 1 ? "" : "quantity, ") + (days ? "day" : "hour") +
           ", min_value, min_time, max_value, max_time FROM " + (days ? schema::kSummaryDays : schema::kSummaryHours) +
           " WHERE site_id = " + std::to_string(site) + " AND quantity = ANY(ARRAY[" + names + "]) AND channel = " +
           channel + " AND " + period;
  }

  // The summaries of the periods read out by binary COPY and reduced here:
  // PostgreSQL's grouping of (value, time) arrays costs twice the reading
  // (a year of 16 channels is 140,000 hourly rows).
  std::vector<std::vector<ReducedBucket>> PeriodsOf(int64_t site, const std::vector<int>& channels,
                                                    const std::vector<const Quantity*>& quantities, Level level,
                                                    int64_t first, int64_t last, int buckets) {
    if (quantities.empty() || last <= first || buckets < 1 || level == Level::kRecords)
      return std::vector<std::vector<ReducedBucket>>(channels.size());
    const bool days = level == Level::kDays;
    const bool merged = channels.front() < 0;
    const bool one = quantities.size() == 1;
    const std::size_t at = one ? 1 : 2;  // the period's field
    KeptExtremes kept(channels.size(), quantities.size(), buckets);
    if (conn_ && PQstatus(conn_) != CONNECTION_OK) PQreset(conn_);
    PgCopyOut(conn_, PeriodRowsSql(site, channels, quantities, days, first, last), [&](const PgBinaryRow& row) {
      if (row.size() != at + 5 || std::any_of(row.begin(), row.end(), [](const auto& f) { return !f; })) return;
      const int channel = static_cast<int16_t>(PgBigEndian(*row[0]));
      const auto place = merged ? channels.begin() : std::find(channels.begin(), channels.end(), channel);
      const auto q = one ? quantities.begin()
                         : std::find_if(quantities.begin(), quantities.end(),
                                        [&](const Quantity* x) { return *row[1] == x->column; });
      if (place == channels.end() || q == quantities.end()) return;
      const int64_t period = days ? PgBinaryDay(*row[at]) : FloorDiv(PgBinaryEpoch(*row[at]), 3600);
      const int64_t k = (period - first) * buckets / (last - first);
      if (k < 0 || k >= buckets) return;
      kept.Add(static_cast<std::size_t>(place - channels.begin()), static_cast<std::size_t>(q - quantities.begin()),
               k, {PgBinaryFloat(*row[at + 1]), PgBinaryEpoch(*row[at + 2]), true},
               {PgBinaryFloat(*row[at + 3]), PgBinaryEpoch(*row[at + 4]), true});
    });
    std::vector<std::vector<ReducedBucket>> out;
    for (std::size_t c = 0; c < channels.size(); ++c) out.push_back(kept.Buckets(c));
    return out;
  }

  static inline const std::string kLatestColumns =
      "wind_speed, wind_direction, outside_temperature, outside_humidity, inside_temperature, inside_humidity, "
      "rain, max_wind_speed, threshold_1, threshold_2, threshold_3, threshold_4";

  // The newest record from column `at` on: epoch, channels, kLatestColumns.
  static LatestRecord LatestOfRow(const PgResult& r, int row, int at) {
    LatestRecord out;
    out.time = r.Int(row, at);
    out.channels = static_cast<int>(r.Int(row, at + 1));
    for (int k = 0; k < 8; ++k) out.weather[static_cast<std::size_t>(k)] = Number(r, row, at + 2 + k);
    for (int j = 0; j < 4; ++j) out.thresholds[static_cast<std::size_t>(j)] = Number(r, row, at + 10 + j);
    return out;
  }

  // (channel, m = ARRAY[value, -epoch]) of the largest `q` of each channel
  // of site `site` in [from, to) (SQL expressions of epoch seconds).  The
  // channels are listed, so that the key's index is searched once for each
  // channel's range rather than read from the first channel to the last.
  static std::string ChannelMaximaSql(const Quantity& q, const std::string& site, const std::string& from,
                                      const std::string& to) {
    const std::string col = q.column;
    return "SELECT channel, max(ARRAY[" + col + "::float8, -date_part('epoch', time)]) AS m FROM channel_records "
           "WHERE site_id = " + site + " AND channel = ANY(" + kChannelList + ") AND time >= to_timestamp(" + from +
           ") AND time < to_timestamp(" + to + ") AND " + Valid(col) + " GROUP BY channel";
  }
  static std::string HourMaximaSql(const std::string& site, const std::string& from, const std::string& to,
                                   const std::string& quantity) {
    return std::string("SELECT channel, max(ARRAY[max_value::float8, -date_part('epoch', max_time)]) AS m FROM ") +
           schema::kSummaryHours + " WHERE site_id = " + site + " AND quantity = " + quantity +
           " AND channel = ANY(" + kChannelList + ") AND hour >= to_timestamp(" + from + ") AND hour < to_timestamp(" +
           to + ") GROUP BY channel";
  }

  // The rows of (range number from 1, channel, value, -epoch), grouped by range.
  static std::vector<std::vector<ChannelExtreme>> Maxima(const PgResult& r, std::size_t ranges) {
    std::vector<std::vector<ChannelExtreme>> out(ranges);
    for (int i = 0; i < r.Rows(); ++i)
      out[static_cast<std::size_t>(r.Int(i, 0) - 1)].push_back(
          {static_cast<int>(r.Int(i, 1)), {EpochOf(r, i, 3), *RealOf(r, i, 2)}});
    return out;
  }

  // Per range, per channel the largest value and its time: `perRange`
  // selects (channel, m = ARRAY[value, -epoch]) of the range w (w.site,
  // w.a, w.b; parameters from $4 on are `extra`), one statement for all.
  std::vector<std::vector<ChannelExtreme>> MaximaOf(const std::vector<SiteRange>& ranges, const std::string& perRange,
                                                    const std::vector<std::string>& extra) {
    if (ranges.empty()) return {};
    ArrayParam sites, from, to;
    for (const SiteRange& r : ranges) {
      sites.Add(r.site);
      from.Add(r.range.from);
      to.Add(r.range.to);
    }
    std::vector<std::string> params{sites.Done(), from.Done(), to.Done()};
    params.insert(params.end(), extra.begin(), extra.end());
    return Maxima(Exec("SELECT w.n, c.channel, (c.m)[1]::real, -(c.m)[2] FROM unnest($1::integer[], $2::bigint[], "
                       "$3::bigint[]) WITH ORDINALITY AS w(site, a, b, n) CROSS JOIN LATERAL (" + perRange +
                       ") c ORDER BY w.n, c.channel",
                       params),
                  ranges.size());
  }

  static constexpr const char* kSnapshotColumns =
      "SELECT extract(epoch from time)::bigint, name, kind, trigger_channel, trigger_peak_ma, channels, "
      "peak_counts, peaks_ma, data IS NOT NULL, harmonics_ma";

  static SnapshotRow SnapshotOf(const PgResult& r, int i) {
    SnapshotRow s;
    s.time = r.Int(i, 0);
    s.name = r.Text(i, 1);
    s.kind = r.Text(i, 2);
    if (!r.IsNull(i, 3)) s.triggerChannel = static_cast<int>(r.Int(i, 3));
    s.triggerPeakMa = RealOf(r, i, 4);
    s.channels = static_cast<int>(r.Int(i, 5));
    for (double c : ParseNumberList(r.Text(i, 6))) s.peakCounts.push_back(static_cast<int>(c));
    s.peaksMa = ParseNumberList(r.Text(i, 7));
    s.hasData = r.Text(i, 8) == "t";
    if (!r.IsNull(i, 9)) s.harmonicsMa = ParseNumberList(r.Text(i, 9));
    return s;
  }

  // A stored number; NULL and NaN as none.
  static std::optional<double> Number(const PgResult& r, int row, int col) {
    const auto v = RealOf(r, row, col);
    if (v && std::isnan(*v)) return std::nullopt;
    return v;
  }

  static int64_t EpochOf(const PgResult& r, int row, int col) {
    return static_cast<int64_t>(std::llround(std::stod(r.Text(row, col))));
  }

  static std::string Text(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
  }

  // Runs a statement; a broken connection is opened again once.
  PgResult Exec(const std::string& sql, const std::vector<std::string>& params) {
    if (conn_ && PQstatus(conn_) != CONNECTION_OK) PQreset(conn_);
    return PgExec(conn_, sql, params);
  }

  std::string connection_;
  PGconn* conn_ = nullptr;
};

}  // namespace

std::unique_ptr<FleetStore> MakePostgresFleetStore(const std::string& connection) {
  return std::make_unique<PostgresFleetStore>(connection);
}

}  // namespace varnel::fleet::web
