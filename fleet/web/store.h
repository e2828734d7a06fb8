// What varnel-web reads from the collector's database, read-only, through
// the same client libraries as the collector (libsqlite3, libpq).
//
// Every query is one statement with bound parameters; column names come
// only from the fixed table of quantities below, never from a request.
// Long series are reduced in the database: a range is cut into at most N
// buckets of equal length, and each bucket gives its smallest and its
// largest value with the time of each, so a spike of a single record still
// shows after the reduction.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "database.h"

namespace varnel::fleet::web {

// A column that can be charted.
struct Quantity {
  const char* name;    // in requests and JSON: "peak", "time_pct_2", "outside_humidity"
  const char* column;  // in the database (the same name)
  const char* unit;    // "mA", "%", "°C", "mm"
  const char* label;   // for people: "peak", "time ≥ threshold 2"
};

// Columns of `channel_records`: peak, the six components, the threshold
// percentages.
const std::vector<Quantity>& ChannelQuantities();
// Columns of `records`: the eight weather values.
const std::vector<Quantity>& WeatherQuantities();
// nullptr when the name is none of them.
const Quantity* FindChannelQuantity(std::string_view name);
const Quantity* FindWeatherQuantity(std::string_view name);

struct SiteRow {
  int64_t id = 0;
  std::string name;
  std::string timeZone;  // IANA name
};

// The newest record of a site.
struct LatestRecord {
  int64_t time = 0;  // seconds since the epoch
  int channels = 0;
  std::array<std::optional<double>, 8> weather;     // in the order of WeatherQuantities()
  std::array<std::optional<double>, 4> thresholds;  // detection levels, mA (text form only)
};

// A value at its record's time.
struct TimedValue {
  int64_t time = 0;
  double value = 0;
  friend bool operator==(const TimedValue&, const TimedValue&) = default;
};

// One bucket of a reduced series: its smallest and largest value, each at
// the earliest time it occurs; empty when the bucket has no value.
struct Extremes {
  std::optional<TimedValue> min, max;
};

struct ReducedBucket {
  int64_t index = 0;               // 0 .. buckets - 1
  std::vector<Extremes> values;  // one per quantity asked for
};

struct ChannelExtreme {
  int channel = 0;
  TimedValue max;
};

struct SnapshotRow {
  int64_t time = 0;
  std::string name;
  std::string kind;  // "scheduled", "peak"
  std::optional<int> triggerChannel;
  std::optional<double> triggerPeakMa;
  int channels = 0;
  std::vector<int> peakCounts;
  std::vector<double> peaksMa;
  bool hasData = false;  // the file itself is stored
  std::vector<double> harmonicsMa;  // I1, I3, I5, I7 per channel; empty: not known
};

// An insulator of a site's register (as its collector stored it).
struct InsulatorRow {
  int64_t site = 0;
  int channel = 0;
  std::string name;
  std::string type;
  std::optional<double> criticalPeakMa;
};

// A day of one channel's indicators (the collector's `daily_indicators`;
// channel 0 the weather: n, wetN and the dew-point depression only).
struct DailyIndicatorRow {
  int channel = 0;
  int64_t day = 0;  // days since 1970-01-01 in the site's calendar
  int64_t n = 0;
  int64_t wetN = 0;
  std::optional<double> peakMax;
  std::optional<double> wetPeakMax;
  std::optional<int64_t> wetPeakTime;
  double chargeMc = 0;
  std::optional<double> dewDepressionMin;
};

// A washing, inspection or replacement entered for a site.
struct MaintenanceRow {
  int64_t site = 0;
  int channel = 0;  // 0: every insulator of the site
  int64_t time = 0;
  std::string kind;  // "washing", "inspection", "replacement"
  std::string note;
};

// The mean of a quantity over a day of one channel, from the daily
// summaries.
struct DayMean {
  int channel = 0;
  int64_t day = 0;
  double mean = 0;
};

// A range of record times, [from, to), in seconds since the epoch.
struct TimeRange {
  int64_t from = 0;
  int64_t to = 0;
};

// A range of one site's records.
struct SiteRange {
  int64_t site = 0;
  TimeRange range;
};

// What a series is read from: the records themselves, or the collector's
// hourly (UTC hours) or daily (the site's calendar days) summaries.
enum class Level { kRecords, kHours, kDays };

class FleetStore {
 public:
  virtual ~FleetStore() = default;
  virtual std::string Describe() const = 0;
  // Opens the database for reading; throws DbError.  Nothing is created or
  // changed: a database the collector has not made yet is an error, and one
  // of another schema version (schema.h) a SchemaVersionError.
  virtual void Open() = 0;
  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;

  virtual std::vector<SiteRow> Sites() = 0;
  virtual std::optional<LatestRecord> Latest(int64_t site) = 0;
  // Per channel 1..16 that has records in `range`: the largest value of `q`
  // (earliest time on a tie).
  virtual std::vector<ChannelExtreme> ChannelMaxima(int64_t site, const Quantity& q, TimeRange range) = 0;
  // The quantities of one channel (`channel` 1..16), of every channel
  // together (-1), or of the weather (`channel` 0, quantities of
  // WeatherQuantities()) reduced to at most
  // `buckets` buckets of `range`; bucket k holds the times t with
  // (t - from) * buckets / (to - from) = k.  Buckets without records are
  // left out; the rest come in time order.
  virtual std::vector<ReducedBucket> Reduce(int64_t site, int channel, const std::vector<const Quantity*>& quantities,
                                            TimeRange range, int buckets) = 0;
  // The same reduction from the summaries of `level` (kHours or kDays):
  // the periods [first, last) (hours since the epoch, or days since
  // 1970-01-01 in the site's calendar) in at most `buckets` buckets, period
  // p in bucket (p - first) * buckets / (last - first).  Each bucket's
  // extremes are those of its periods' records, at their times.
  virtual std::vector<ReducedBucket> ReducePeriods(int64_t site, int channel,
                                                   const std::vector<const Quantity*>& quantities, Level level,
                                                   int64_t first, int64_t last, int buckets) = 0;
  // Reduce and ReducePeriods of several channels at once, one list per
  // channel in the order asked: a trend of all channels is then one
  // statement rather than one per channel.
  virtual std::vector<std::vector<ReducedBucket>> ReduceOf(int64_t site, const std::vector<int>& channels,
                                                           const std::vector<const Quantity*>& quantities,
                                                           TimeRange range, int buckets);
  virtual std::vector<std::vector<ReducedBucket>> ReducePeriodsOf(int64_t site, const std::vector<int>& channels,
                                                                  const std::vector<const Quantity*>& quantities,
                                                                  Level level, int64_t first, int64_t last,
                                                                  int buckets);
  // ChannelMaxima over whole hours (`range` from an hour's start to
  // another's), from the hourly summaries.
  virtual std::vector<ChannelExtreme> ChannelMaximaOfHours(int64_t site, const Quantity& q, TimeRange range) = 0;

  // The same for many sites at once, each answer in the order asked: the
  // fleet page asks them of every site, and an engine behind a network
  // answers all in one statement rather than a round trip each.
  virtual std::vector<std::optional<LatestRecord>> LatestOf(const std::vector<int64_t>& sites);
  virtual std::vector<std::vector<ChannelExtreme>> ChannelMaximaOf(const Quantity& q,
                                                                   const std::vector<SiteRange>& ranges);
  virtual std::vector<std::vector<ChannelExtreme>> ChannelMaximaOfHoursOf(const Quantity& q,
                                                                          const std::vector<SiteRange>& ranges);
  // The records of a channel in `range` whose `q` is at least `level`, in
  // time order, at most `limit`.
  virtual std::vector<TimedValue> AtOrAbove(int64_t site, int channel, const Quantity& q, double level,
                                            TimeRange range, std::size_t limit) = 0;
  // AtOrAbove over several ranges (in time order, apart from each other):
  // their records in time order, at most `limit` in all.  A year's alarms
  // read the hundreds of hours that reach a level, one statement for all.
  virtual std::vector<TimedValue> AtOrAboveIn(int64_t site, int channel, const Quantity& q, double level,
                                              const std::vector<TimeRange>& ranges, std::size_t limit);
  // The starts of the whole hours of `range` (from an hour's start to
  // another's) in which the channel's `q` reaches `level`, in order, from
  // the hourly summaries.
  virtual std::vector<int64_t> HoursReaching(int64_t site, int channel, const Quantity& q, double level,
                                             TimeRange range) = 0;
  // The time of the channel's first record after `time`.
  virtual std::optional<int64_t> NextRecordTime(int64_t site, int channel, int64_t time) = 0;
  // The same for many times at once (one answer per time, in their
  // order): a year's alarms end thousands of episodes, and one statement
  // for all of them spares a round trip and a plan each.
  virtual std::vector<std::optional<int64_t>> NextRecordTimes(int64_t site, int channel,
                                                              const std::vector<int64_t>& times);
  // Snapshots in `range`, newest first, at most `limit`.
  virtual std::vector<SnapshotRow> Snapshots(int64_t site, TimeRange range, std::size_t limit) = 0;
  virtual std::optional<SnapshotRow> Snapshot(int64_t site, int64_t time, const std::string& name) = 0;
  // The stored file of a snapshot (collected with --store-waveforms).
  virtual std::optional<std::string> SnapshotData(int64_t site, int64_t time, const std::string& name) = 0;

  // Every site's register, by site and channel.
  virtual std::vector<InsulatorRow> Insulators() = 0;
  // The daily indicators of the days [firstDay, lastDay) of a site, by
  // channel and day.
  virtual std::vector<DailyIndicatorRow> DailyIndicators(int64_t site, int64_t firstDay, int64_t lastDay) = 0;
  // The maintenance events of a site (nullopt: of every site), by site
  // and time.
  virtual std::vector<MaintenanceRow> Maintenance(std::optional<int64_t> site) = 0;
  // The daily means of a channel quantity of the days [firstDay, lastDay),
  // every channel, by channel and day.
  virtual std::vector<DayMean> DayMeans(int64_t site, const Quantity& q, int64_t firstDay, int64_t lastDay) = 0;
  // Scheduled snapshots of `range` with their harmonics, oldest first.
  virtual std::vector<SnapshotRow> ScheduledSnapshots(int64_t site, TimeRange range) = 0;
};

// PostgreSQL for a connection string (as the collector tells them apart),
// else an SQLite file.  Not yet opened.
std::unique_ptr<FleetStore> MakeFleetStore(const std::string& database);
std::unique_ptr<FleetStore> MakeSqliteFleetStore(const std::string& path);
std::unique_ptr<FleetStore> MakePostgresFleetStore(const std::string& connection);

// The reduction of FleetStore::Reduce, read from the coarsest level whose
// periods are no longer than a bucket (records for a day of 600 points,
// hours for a month, days for years): the buckets are then runs of whole
// periods, and the uneven ends of the range (before its first whole period,
// after its last) join the first and the last bucket, read from the next
// finer level down to the records.  No record's extreme is lost: each
// bucket gives the same smallest and largest value, at the same time, as
// the records of its periods.  `timeZone` (IANA) places the days.
std::vector<ReducedBucket> ReduceSeries(FleetStore& store, int64_t site, const std::string& timeZone, int channel,
                                        const std::vector<const Quantity*>& quantities, TimeRange range, int buckets);
// ReduceSeries of several channels, one list per channel in their order,
// each level read once for all of them.
std::vector<std::vector<ReducedBucket>> ReduceSeriesOf(FleetStore& store, int64_t site, const std::string& timeZone,
                                                       const std::vector<int>& channels,
                                                       const std::vector<const Quantity*>& quantities,
                                                       TimeRange range, int buckets);
// The level ReduceSeries reads for `buckets` buckets of `range`.
Level LevelFor(TimeRange range, int buckets);
// ChannelMaxima of `range` from the hourly summaries of its whole hours and
// the records of its uneven ends: the same answer, far fewer rows.
std::vector<ChannelExtreme> ChannelMaximaSeries(FleetStore& store, int64_t site, const Quantity& q, TimeRange range);
// The same of many sites' ranges at once (three statements in all).
std::vector<std::vector<ChannelExtreme>> ChannelMaximaSeries(FleetStore& store, const Quantity& q,
                                                             const std::vector<SiteRange>& ranges);

// AtOrAbove reading only the hours whose summaries reach `level` (and the
// range's uneven ends): the same records, without the hours below it.
std::vector<TimedValue> AtOrAboveSeries(FleetStore& store, int64_t site, int channel, const Quantity& q, double level,
                                        TimeRange range, std::size_t limit);

// Helpers shared by the engines.
// Keeps the smaller (larger) of `kept` and `v`, the earlier on a tie.
void KeepSmaller(std::optional<TimedValue>& kept, const std::optional<TimedValue>& v);
void KeepLarger(std::optional<TimedValue>& kept, const std::optional<TimedValue>& v);
// "2005-06-01" of a day number (days since 1970-01-01).
std::string DayText(int64_t day);
// a / b rounded down (towards minus infinity, also for times before 1970).
int64_t FloorDiv(int64_t a, int64_t b);
// "1,2.5,3" (JSON array text) as numbers; items that are no number are 0.
std::vector<double> ParseNumberList(std::string_view text);
// The bucket of `time` as both engines compute it.
int64_t BucketOf(int64_t time, TimeRange range, int buckets);
// The first time of bucket k: the smallest t with BucketOf(t) = k.
int64_t BucketStart(int64_t k, TimeRange range, int buckets);

}  // namespace varnel::fleet::web
