#include "indicators.h"

#include <algorithm>
#include <cmath>

#include "condition.h"
#include "database.h"
#include "store/record_format.h"

namespace varnel::fleet {

namespace {

// Weather elements of a record (store/record_format.h).
constexpr int kOutsideTemperature = 2;
constexpr int kOutsideHumidity = 3;
// A channel's mean absolute current among its six components.
constexpr int kMeanAbsoluteComponent = 4;

std::optional<double> Value(double v) {
  if (std::isnan(v)) return std::nullopt;
  return v;
}

void KeepHigher(std::optional<double>& kept, std::optional<double> v) {
  if (v && (!kept || *v > *kept)) kept = v;
}

void KeepLower(std::optional<double>& kept, std::optional<double> v) {
  if (v && (!kept || *v < *kept)) kept = v;
}

}  // namespace

void IndicatorCell::Merge(const IndicatorCell& o) {
  n += o.n;
  wetN += o.wetN;
  KeepHigher(peakMax, o.peakMax);
  if (o.wetPeakMax && (!wetPeakMax || *o.wetPeakMax > *wetPeakMax ||
                       (*o.wetPeakMax == *wetPeakMax && o.wetPeakTime < wetPeakTime))) {
    wetPeakMax = o.wetPeakMax;
    wetPeakTime = o.wetPeakTime;
  }
  chargeMc += o.chargeMc;
  KeepLower(dewDepressionMin, o.dewDepressionMin);
}

bool IndicatorAccumulator::IsWet(std::optional<double> humidityPct) const {
  return humidityPct && *humidityPct >= options_.wetHumidityPct;
}

int64_t IndicatorAccumulator::SecondsOf(int64_t time, std::optional<int64_t> previousTime) const {
  if (!previousTime || *previousTime >= time) return options_.recordSeconds;
  return std::min(time - *previousTime, options_.recordSeconds);
}

void IndicatorAccumulator::AddWeather(const std::string& day, std::optional<double> temperatureC,
                                      std::optional<double> humidityPct) {
  IndicatorCell c;
  c.n = 1;
  c.wetN = IsWet(humidityPct) ? 1 : 0;
  if (temperatureC && humidityPct) c.dewDepressionMin = DewPointDepression(*temperatureC, *humidityPct);
  cells_[{0, day}].Merge(c);
}

void IndicatorAccumulator::AddChannel(int channel, int64_t time, const std::string& day, bool wet,
                                      std::optional<double> peak, std::optional<double> meanAbsolute,
                                      int64_t seconds) {
  IndicatorCell c;
  c.n = 1;
  c.peakMax = peak;
  if (wet) {
    c.wetN = 1;
    c.wetPeakMax = peak;
    c.wetPeakTime = time;
  }
  // mA times seconds is millicoulombs.
  if (meanAbsolute) c.chargeMc = *meanAbsolute * static_cast<double>(seconds);
  cells_[{channel, day}].Merge(c);
}

void IndicatorAccumulator::Add(const StoredRecord& s, std::optional<int64_t> previousTime) {
  const std::string day = IsoLocalText(s.time).substr(0, 10);
  const int64_t t = s.time.epochSeconds;
  auto value = [&](std::size_t e) {
    const float v = s.record.values[e];
    return Value(options_.decimalValues ? DecimalOf(v) : static_cast<double>(v));
  };
  const auto humidity = value(store::WeatherIndex(kOutsideHumidity));
  AddWeather(day, value(store::WeatherIndex(kOutsideTemperature)), humidity);
  const bool wet = IsWet(humidity);
  const int64_t seconds = SecondsOf(t, previousTime);
  for (int ch = 0; ch < s.record.channels; ++ch)
    AddChannel(ch + 1, t, day, wet, value(store::PeakIndex(ch, 0)),
               value(store::ComponentIndex(ch, kMeanAbsoluteComponent)), seconds);
}

void IndicatorAccumulator::AddAll(std::vector<const StoredRecord*> records, std::optional<int64_t> previousOfFirst) {
  std::sort(records.begin(), records.end(), [](const StoredRecord* a, const StoredRecord* b) {
    return a->time.epochSeconds < b->time.epochSeconds;
  });
  std::optional<int64_t> previous = previousOfFirst;
  for (const StoredRecord* r : records) {
    Add(*r, previous);
    previous = r->time.epochSeconds;
  }
}

}  // namespace varnel::fleet
