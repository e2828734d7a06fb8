#include "store.h"

#include <charconv>

namespace varnel::fleet::web {

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
