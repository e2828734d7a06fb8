#include "summaries.h"

#include <cmath>
#include <stdexcept>

#include "database.h"
#include "schema.h"

namespace varnel::fleet {

namespace {

// Quantities by index: the weather's columns, then the channels'.
constexpr std::size_t kQuantities = schema::kWeatherColumns.size() + schema::kChannelColumns.size();

std::string_view QuantityName(std::size_t index) {
  return index < schema::kWeatherColumns.size() ? schema::kWeatherColumns[index]
                                                : schema::kChannelColumns[index - schema::kWeatherColumns.size()];
}

std::size_t QuantityIndex(std::string_view name) {
  for (std::size_t i = 0; i < kQuantities; ++i)
    if (QuantityName(i) == name) return i;
  throw std::logic_error("no summarised quantity " + std::string(name));
}

// Period (signed, in the high bits), channel 0..16, quantity index.
uint64_t Pack(int64_t period, int channel, std::size_t quantity) {
  return (static_cast<uint64_t>(period) << 16) | (static_cast<uint64_t>(channel) << 8) | quantity;
}

struct Unpacked {
  int64_t period;
  int channel;
  std::string_view quantity;
};

Unpacked Unpack(uint64_t key) {
  return {static_cast<int64_t>(key) >> 16, static_cast<int>((key >> 8) & 0xff), QuantityName(key & 0xff)};
}

// Days since 1970-01-01 of "YYYY-MM-DD".
int64_t DayNumber(const std::string& day) {
  const int y0 = std::stoi(day.substr(0, 4)), m = std::stoi(day.substr(5, 2)), d = std::stoi(day.substr(8, 2));
  const int y = m <= 2 ? y0 - 1 : y0;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<int64_t>(era) * 146097 + doe - 719468;
}

}  // namespace

void SummaryCell::Add(double value, int64_t time) {
  if (std::isnan(value)) return;
  if (n == 0 || value < minValue || (value == minValue && time < minTime)) {
    minValue = value;
    minTime = time;
  }
  if (n == 0 || value > maxValue || (value == maxValue && time < maxTime)) {
    maxValue = value;
    maxTime = time;
  }
  sum += value;
  ++n;
}

void SummaryCell::Merge(const SummaryCell& other) {
  if (other.n == 0) return;
  if (n == 0 || other.minValue < minValue || (other.minValue == minValue && other.minTime < minTime)) {
    minValue = other.minValue;
    minTime = other.minTime;
  }
  if (n == 0 || other.maxValue > maxValue || (other.maxValue == maxValue && other.maxTime < maxTime)) {
    maxValue = other.maxValue;
    maxTime = other.maxTime;
  }
  sum += other.sum;
  n += other.n;
}

void SummaryAccumulator::MergeHour(std::string_view quantity, int channel, int64_t hourStart, const SummaryCell& cell) {
  hours_[Pack(HourStart(hourStart) / 3600, channel, QuantityIndex(quantity))].Merge(cell);
}

void SummaryAccumulator::MergeDay(std::string_view quantity, int channel, const std::string& day,
                                  const SummaryCell& cell) {
  days_[Pack(Day(day), channel, QuantityIndex(quantity))].Merge(cell);
}

void SummaryAccumulator::Add(std::string_view quantity, int channel, int64_t time, const std::string& day,
                             double value) {
  AddAt(QuantityIndex(quantity), channel, time, Day(day), value);
}

void SummaryAccumulator::AddAt(std::size_t quantity, int channel, int64_t time, int64_t day, double value) {
  if (std::isnan(value)) return;
  hours_[Pack(HourStart(time) / 3600, channel, quantity)].Add(value, time);
  days_[Pack(day, channel, quantity)].Add(value, time);
}

int64_t SummaryAccumulator::Day(const std::string& day) {
  if (day != lastDay_) {
    lastDay_ = day;
    lastDayNumber_ = DayNumber(day);
    dayTexts_.emplace(lastDayNumber_, day);
  }
  return lastDayNumber_;
}

std::map<SummaryAccumulator::HourKey, SummaryCell> SummaryAccumulator::Hours() const {
  std::map<HourKey, SummaryCell> out;
  for (const auto& [key, cell] : hours_) {
    const Unpacked k = Unpack(key);
    out.emplace(HourKey{k.quantity, k.channel, k.period * 3600}, cell);
  }
  return out;
}

std::map<SummaryAccumulator::DayKey, SummaryCell> SummaryAccumulator::Days() const {
  std::map<DayKey, SummaryCell> out;
  for (const auto& [key, cell] : days_) {
    const Unpacked k = Unpack(key);
    out.emplace(DayKey{k.quantity, k.channel, dayTexts_.at(k.period)}, cell);
  }
  return out;
}

void SummaryAccumulator::Clear() {
  hours_.clear();
  days_.clear();
  dayTexts_.clear();
  lastDay_.clear();
}

void AddRecord(SummaryAccumulator& summaries, const StoredRecord& s, const StoredValues& stored) {
  static_assert(std::tuple_size_v<StoredValues> == store::kRecordValueCount);
  const DataRecord& r = s.record;
  const int64_t t = s.time.epochSeconds;
  const int64_t day = summaries.Day(IsoLocalText(s.time).substr(0, 10));
  constexpr std::size_t kFirstChannelQuantity = schema::kWeatherColumns.size();
  for (int k = 0; k < store::kWeatherValueCount; ++k)
    summaries.AddAt(static_cast<std::size_t>(k), 0, t, day, stored[store::WeatherIndex(k)]);
  for (int ch = 0; ch < r.channels; ++ch) {
    std::size_t q = kFirstChannelQuantity;
    for (int k = 0; k < store::kComponentsPerChannel; ++k)
      summaries.AddAt(q++, ch + 1, t, day, stored[store::ComponentIndex(ch, k)]);
    for (int k = 0; k < store::kPeakValuesPerChannel; ++k)
      summaries.AddAt(q++, ch + 1, t, day, stored[store::PeakIndex(ch, k)]);
  }
}

void AddRecord(SummaryAccumulator& summaries, const StoredRecord& s) {
  StoredValues stored;
  for (std::size_t e = 0; e < stored.size(); ++e) stored[e] = static_cast<double>(s.record.values[e]);
  AddRecord(summaries, s, stored);
}

int64_t HourStart(int64_t epochSeconds) {
  const int64_t h = epochSeconds / 3600;
  return (epochSeconds % 3600 < 0 ? h - 1 : h) * 3600;
}

}  // namespace varnel::fleet
