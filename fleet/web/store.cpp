#include "store.h"

#include <QDate>
#include <QDateTime>
#include <QTimeZone>
#include <algorithm>
#include <charconv>
#include <map>

namespace varnel::fleet::web {

namespace {
// The Julian day of 1970-01-01.
constexpr int64_t kJulianDayOfEpoch = 2440588;
}  // namespace

const std::vector<Quantity>& ChannelQuantities() {
  static const std::vector<Quantity> kAll{
      {"peak", "peak", "mA", "peak"},
      {"rms", "rms", "mA", "RMS"},
      {"fhc", "fhc", "mA", "above 2.5 kHz"},
      {"f1c", "f1c", "mA", "fundamental"},
      {"flc", "flc", "mA", "below 2.5 kHz"},
      {"dcc", "dcc", "mA", "DC"},
      {"allc", "allc", "mA", "mean absolute"},
      {"time_pct_1", "time_pct_1", "%", "time at or above threshold 1"},
      {"time_pct_2", "time_pct_2", "%", "time at or above threshold 2"},
      {"time_pct_3", "time_pct_3", "%", "time at or above threshold 3"},
      {"time_pct_4", "time_pct_4", "%", "time at or above threshold 4"},
      {"half_cycle_pct_1", "half_cycle_pct_1", "%", "half cycles reaching threshold 1"},
      {"half_cycle_pct_2", "half_cycle_pct_2", "%", "half cycles reaching threshold 2"},
      {"half_cycle_pct_3", "half_cycle_pct_3", "%", "half cycles reaching threshold 3"},
      {"half_cycle_pct_4", "half_cycle_pct_4", "%", "half cycles reaching threshold 4"},
  };
  return kAll;
}

const std::vector<Quantity>& WeatherQuantities() {
  static const std::vector<Quantity> kAll{
      {"wind_speed", "wind_speed", "m/s", "wind speed"},
      {"wind_direction", "wind_direction", "°", "wind direction"},
      {"outside_temperature", "outside_temperature", "°C", "outside temperature"},
      {"outside_humidity", "outside_humidity", "%", "outside humidity"},
      {"inside_temperature", "inside_temperature", "°C", "inside temperature"},
      {"inside_humidity", "inside_humidity", "%", "inside humidity"},
      {"rain", "rain", "mm", "rain"},
      {"max_wind_speed", "max_wind_speed", "m/s", "maximum wind speed"},
  };
  return kAll;
}

namespace {
const Quantity* Find(const std::vector<Quantity>& all, std::string_view name) {
  for (const Quantity& q : all)
    if (name == q.name) return &q;
  return nullptr;
}
}  // namespace

const Quantity* FindChannelQuantity(std::string_view name) { return Find(ChannelQuantities(), name); }
const Quantity* FindWeatherQuantity(std::string_view name) { return Find(WeatherQuantities(), name); }

std::vector<double> ParseNumberList(std::string_view text) {
  std::vector<double> out;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '[' || c == ']' || c == ',' || c == ' ' || c == '{' || c == '}') {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && text[end] != ',' && text[end] != ']' && text[end] != '}') ++end;
    double v = 0;
    const auto r = std::from_chars(text.data() + i, text.data() + end, v);
    out.push_back(r.ec == std::errc() ? v : 0.0);
    i = end;
  }
  return out;
}

int64_t BucketOf(int64_t time, TimeRange range, int buckets) {
  return (time - range.from) * buckets / (range.to - range.from);
}

int64_t BucketStart(int64_t k, TimeRange range, int buckets) {
  const int64_t span = range.to - range.from;
  return range.from + (k * span + buckets - 1) / buckets;
}

void KeepSmaller(std::optional<TimedValue>& kept, const std::optional<TimedValue>& v) {
  if (v && (!kept || v->value < kept->value || (v->value == kept->value && v->time < kept->time))) kept = v;
}

void KeepLarger(std::optional<TimedValue>& kept, const std::optional<TimedValue>& v) {
  if (v && (!kept || v->value > kept->value || (v->value == kept->value && v->time < kept->time))) kept = v;
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - (a % b < 0 ? 1 : 0); }

std::string DayText(int64_t day) {
  return QDate::fromJulianDay(day + kJulianDayOfEpoch).toString(Qt::ISODate).toStdString();
}

namespace {

constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;

int64_t CeilDiv(int64_t a, int64_t b) { return -FloorDiv(-a, b); }

void MergeInto(std::vector<Extremes>& into, const std::vector<Extremes>& values) {
  for (std::size_t i = 0; i < into.size() && i < values.size(); ++i) {
    KeepSmaller(into[i].min, values[i].min);
    KeepLarger(into[i].max, values[i].max);
  }
}

// Buckets by index, merged.
class BucketSet {
 public:
  explicit BucketSet(std::size_t quantities) : quantities_(quantities) {}
  void Add(int64_t index, const std::vector<Extremes>& values) {
    auto [it, added] = buckets_.try_emplace(index, std::vector<Extremes>(quantities_));
    MergeInto(it->second, values);
  }
  void Add(const std::vector<ReducedBucket>& buckets) {
    for (const ReducedBucket& b : buckets) Add(b.index, b.values);
  }
  void Add(int64_t index, const std::vector<ReducedBucket>& wholeRun) {
    for (const ReducedBucket& b : wholeRun) Add(index, b.values);
  }
  std::vector<ReducedBucket> Done() const {
    std::vector<ReducedBucket> out;
    for (const auto& [index, values] : buckets_) out.push_back({index, values});
    return out;
  }

 private:
  std::size_t quantities_;
  std::map<int64_t, std::vector<Extremes>> buckets_;
};

// Periods [first, last) of `level`, starting at `start` and ending at
// `end` (seconds), with the range's ends around them.
struct PeriodRun {
  int64_t first = 0, last = 0;
  int64_t start = 0, end = 0;
};

std::optional<PeriodRun> WholeHours(TimeRange r) {
  const int64_t h0 = CeilDiv(r.from, kHour), h1 = FloorDiv(r.to, kHour);
  if (h1 <= h0) return std::nullopt;
  return PeriodRun{h0, h1, h0 * kHour, h1 * kHour};
}

using ChannelBuckets = std::vector<std::vector<ReducedBucket>>;

// [a, b) as one bucket (index 0) of each channel: records before its first
// whole hour and after its last, the hourly summaries between.
ChannelBuckets AsOneBucket(FleetStore& store, int64_t site, const std::vector<int>& channels,
                           const std::vector<const Quantity*>& quantities, int64_t a, int64_t b) {
  std::vector<BucketSet> one(channels.size(), BucketSet(quantities.size()));
  auto add = [&](const ChannelBuckets& parts) {
    for (std::size_t c = 0; c < one.size() && c < parts.size(); ++c) one[c].Add(0, parts[c]);
  };
  const auto run = WholeHours({a, b});
  if (!run) {
    add(store.ReduceOf(site, channels, quantities, {a, b}, 1));
  } else {
    if (a < run->start) add(store.ReduceOf(site, channels, quantities, {a, run->start}, 1));
    add(store.ReducePeriodsOf(site, channels, quantities, Level::kHours, run->first, run->last, 1));
    if (run->end < b) add(store.ReduceOf(site, channels, quantities, {run->end, b}, 1));
  }
  ChannelBuckets out;
  for (const BucketSet& set : one) out.push_back(set.Done());
  return out;
}

// The start of a local day in `zone` (its first instant, where a change
// of the clocks skips midnight) and its day number.
std::pair<int64_t, int64_t> DayStart(const QDate& date, const QTimeZone& zone) {
  return {QDateTime(date, QTime(0, 0), zone).toSecsSinceEpoch(), date.toJulianDay() - kJulianDayOfEpoch};
}

// The first day start at or after `t`; the last at or before it.
std::pair<int64_t, int64_t> DayStartFrom(int64_t t, const QTimeZone& zone) {
  const QDate date = QDateTime::fromSecsSinceEpoch(t, zone).date();
  const auto start = DayStart(date, zone);
  return start.first >= t ? start : DayStart(date.addDays(1), zone);
}
std::pair<int64_t, int64_t> DayStartUntil(int64_t t, const QTimeZone& zone) {
  const QDate date = QDateTime::fromSecsSinceEpoch(t, zone).date();
  const auto start = DayStart(date, zone);
  return start.first <= t ? start : DayStart(date.addDays(-1), zone);
}

std::optional<PeriodRun> WholeDays(TimeRange r, const std::string& timeZone) {
  const QTimeZone zone(QByteArray::fromStdString(timeZone));
  if (!zone.isValid()) return std::nullopt;
  const auto [start, first] = DayStartFrom(r.from, zone);
  const auto [end, last] = DayStartUntil(r.to, zone);
  if (last <= first) return std::nullopt;
  return PeriodRun{first, last, start, end};
}

}  // namespace

Level LevelFor(TimeRange range, int buckets) {
  if (buckets < 1 || range.to <= range.from) return Level::kRecords;
  const int64_t perBucket = (range.to - range.from) / buckets;
  if (perBucket >= kDay) return Level::kDays;
  if (perBucket >= kHour) return Level::kHours;
  return Level::kRecords;
}

ChannelBuckets ReduceSeriesOf(FleetStore& store, int64_t site, const std::string& timeZone,
                              const std::vector<int>& channels, const std::vector<const Quantity*>& quantities,
                              TimeRange range, int buckets) {
  if (channels.empty()) return {};
  Level level = LevelFor(range, buckets);
  std::optional<PeriodRun> run;
  if (level == Level::kDays) run = WholeDays(range, timeZone);
  if (!run && level != Level::kRecords) {
    level = Level::kHours;
    run = WholeHours(range);
  }
  if (!run) return store.ReduceOf(site, channels, quantities, range, buckets);
  std::vector<BucketSet> out(channels.size(), BucketSet(quantities.size()));
  const ChannelBuckets body = store.ReducePeriodsOf(site, channels, quantities, level, run->first, run->last, buckets);
  for (std::size_t c = 0; c < out.size() && c < body.size(); ++c) out[c].Add(body[c]);
  if (range.from < run->start) {
    const ChannelBuckets head = AsOneBucket(store, site, channels, quantities, range.from, run->start);
    for (std::size_t c = 0; c < out.size(); ++c) out[c].Add(0, head[c]);
  }
  if (run->end < range.to) {
    const ChannelBuckets tail = AsOneBucket(store, site, channels, quantities, run->end, range.to);
    for (std::size_t c = 0; c < out.size(); ++c) out[c].Add(buckets - 1, tail[c]);
  }
  ChannelBuckets series;
  for (const BucketSet& set : out) series.push_back(set.Done());
  return series;
}

std::vector<ReducedBucket> ReduceSeries(FleetStore& store, int64_t site, const std::string& timeZone, int channel,
                                        const std::vector<const Quantity*>& quantities, TimeRange range, int buckets) {
  return ReduceSeriesOf(store, site, timeZone, {channel}, quantities, range, buckets).front();
}

std::vector<std::vector<ChannelExtreme>> ChannelMaximaSeries(FleetStore& store, const Quantity& q,
                                                             const std::vector<SiteRange>& ranges) {
  // Each range as up to three parts: the records before its first whole
  // hour, the whole hours, the records after its last (a range without a
  // whole hour: its records alone).
  std::vector<SiteRange> records, hours;
  std::vector<std::size_t> recordsOf, hoursOf;  // the range each part belongs to
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    const auto& [site, r] = ranges[i];
    const auto run = WholeHours(r);
    if (!run) {
      records.push_back({site, r});
      recordsOf.push_back(i);
      continue;
    }
    if (r.from < run->start) {
      records.push_back({site, {r.from, run->start}});
      recordsOf.push_back(i);
    }
    hours.push_back({site, {run->start, run->end}});
    hoursOf.push_back(i);
    if (run->end < r.to) {
      records.push_back({site, {run->end, r.to}});
      recordsOf.push_back(i);
    }
  }
  std::vector<std::map<int, std::optional<TimedValue>>> best(ranges.size());
  auto add = [&](const std::vector<std::vector<ChannelExtreme>>& parts, const std::vector<std::size_t>& of) {
    for (std::size_t p = 0; p < parts.size() && p < of.size(); ++p)
      for (const ChannelExtreme& m : parts[p]) KeepLarger(best[of[p]][m.channel], m.max);
  };
  if (!records.empty()) add(store.ChannelMaximaOf(q, records), recordsOf);
  if (!hours.empty()) add(store.ChannelMaximaOfHoursOf(q, hours), hoursOf);
  std::vector<std::vector<ChannelExtreme>> out(ranges.size());
  for (std::size_t i = 0; i < ranges.size(); ++i)
    for (const auto& [channel, max] : best[i]) out[i].push_back({channel, *max});
  return out;
}

std::vector<ChannelExtreme> ChannelMaximaSeries(FleetStore& store, int64_t site, const Quantity& q, TimeRange range) {
  return ChannelMaximaSeries(store, q, std::vector<SiteRange>{{site, range}}).front();
}

std::vector<TimedValue> AtOrAboveSeries(FleetStore& store, int64_t site, int channel, const Quantity& q, double level,
                                        TimeRange range, std::size_t limit) {
  const auto run = WholeHours(range);
  if (!run) return store.AtOrAbove(site, channel, q, level, range, limit);
  // The parts to read: the uneven ends and the runs of hours that reach
  // the level, each run one range.
  std::vector<TimeRange> parts;
  auto take = [&](TimeRange part) {
    if (part.to <= part.from) return;
    if (!parts.empty() && parts.back().to == part.from)
      parts.back().to = part.to;
    else
      parts.push_back(part);
  };
  take({range.from, run->start});
  for (int64_t hour : store.HoursReaching(site, channel, q, level, {run->start, run->end})) take({hour, hour + kHour});
  take({run->end, range.to});
  return store.AtOrAboveIn(site, channel, q, level, parts, limit);
}

std::vector<std::vector<ReducedBucket>> FleetStore::ReduceOf(int64_t site, const std::vector<int>& channels,
                                                             const std::vector<const Quantity*>& quantities,
                                                             TimeRange range, int buckets) {
  std::vector<std::vector<ReducedBucket>> out;
  for (int channel : channels) out.push_back(Reduce(site, channel, quantities, range, buckets));
  return out;
}

std::vector<std::vector<ReducedBucket>> FleetStore::ReducePeriodsOf(int64_t site, const std::vector<int>& channels,
                                                                    const std::vector<const Quantity*>& quantities,
                                                                    Level level, int64_t first, int64_t last,
                                                                    int buckets) {
  std::vector<std::vector<ReducedBucket>> out;
  for (int channel : channels) out.push_back(ReducePeriods(site, channel, quantities, level, first, last, buckets));
  return out;
}

std::vector<TimedValue> FleetStore::AtOrAboveIn(int64_t site, int channel, const Quantity& q, double level,
                                                const std::vector<TimeRange>& ranges, std::size_t limit) {
  std::vector<TimedValue> out;
  for (const TimeRange& part : ranges) {
    if (out.size() >= limit) break;
    for (const TimedValue& v : AtOrAbove(site, channel, q, level, part, limit - out.size())) out.push_back(v);
  }
  return out;
}

std::vector<std::optional<LatestRecord>> FleetStore::LatestOf(const std::vector<int64_t>& sites) {
  std::vector<std::optional<LatestRecord>> out;
  for (int64_t site : sites) out.push_back(Latest(site));
  return out;
}

std::vector<std::vector<ChannelExtreme>> FleetStore::ChannelMaximaOf(const Quantity& q,
                                                                     const std::vector<SiteRange>& ranges) {
  std::vector<std::vector<ChannelExtreme>> out;
  for (const SiteRange& r : ranges) out.push_back(ChannelMaxima(r.site, q, r.range));
  return out;
}

std::vector<std::vector<ChannelExtreme>> FleetStore::ChannelMaximaOfHoursOf(const Quantity& q,
                                                                            const std::vector<SiteRange>& ranges) {
  std::vector<std::vector<ChannelExtreme>> out;
  for (const SiteRange& r : ranges) out.push_back(ChannelMaximaOfHours(r.site, q, r.range));
  return out;
}

std::vector<std::optional<int64_t>> FleetStore::NextRecordTimes(int64_t site, int channel,
                                                               const std::vector<int64_t>& times) {
  std::vector<std::optional<int64_t>> out;
  out.reserve(times.size());
  for (int64_t t : times) out.push_back(NextRecordTime(site, channel, t));
  return out;
}

std::unique_ptr<FleetStore> MakeFleetStore(const std::string& database) {
  return IsPostgresConnection(database) ? MakePostgresFleetStore(database) : MakeSqliteFleetStore(database);
}

}  // namespace varnel::fleet::web
