// Hourly and daily summaries of the rows of a batch, worked out before they
// are merged into the stored ones.  See schema.h for what a row holds.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>

namespace varnel::fleet {

struct StoredRecord;

// A record's values as an engine stores them, by the record's element
// index (store/record_format.h).
using StoredValues = std::array<double, 248>;

// The values of one quantity in one period.
struct SummaryCell {
  int64_t n = 0;
  double minValue = 0;
  int64_t minTime = 0;
  double maxValue = 0;
  int64_t maxTime = 0;
  double sum = 0;
  // A value at `time`; NaN is no value and left out.
  void Add(double value, int64_t time);
  // The values of `other` too (a cell of the same period stored before).
  void Merge(const SummaryCell& other);
};

class SummaryAccumulator {
 public:
  // Key of a period: quantity (a column name), channel (0: the weather),
  // and the hour's start in seconds since the epoch or the local day
  // ("2005-06-01").
  using HourKey = std::tuple<std::string_view, int, int64_t>;
  using DayKey = std::tuple<std::string_view, int, std::string>;

  // One value of a record at `time` (seconds since the epoch) on the local
  // day `day`.  `quantity` is a column name of schema.h.
  void Add(std::string_view quantity, int channel, int64_t time, const std::string& day, double value);
  // The same by number: quantity 0..7 the weather's columns, 8.. the
  // channels' (schema.h), `day` from Day().
  void AddAt(std::size_t quantity, int channel, int64_t time, int64_t day, double value);
  // The number of a local day ("2005-06-01"), kept with its text.
  int64_t Day(const std::string& day);
  // A stored cell merged into the period's (quantity a column name).
  void MergeHour(std::string_view quantity, int channel, int64_t hourStart, const SummaryCell& cell);
  void MergeDay(std::string_view quantity, int channel, const std::string& day, const SummaryCell& cell);
  // The periods, in key order.
  std::map<HourKey, SummaryCell> Hours() const;
  std::map<DayKey, SummaryCell> Days() const;
  std::size_t Size() const { return hours_.size() + days_.size(); }
  void Clear();

 private:
  // Cells by a packed key (period, channel, quantity): a batch adds a
  // value for every quantity of every record, so lookups must be cheap.
  std::unordered_map<uint64_t, SummaryCell> hours_, days_;
  std::unordered_map<int64_t, std::string> dayTexts_;  // by day number
  std::string lastDay_;
  int64_t lastDayNumber_ = 0;
};

// Every value of a record (its weather as channel 0, its channels'
// components and peak values), each as the engine stores it: `stored`.
void AddRecord(SummaryAccumulator& summaries, const StoredRecord& record, const StoredValues& stored);
// The same where the engine stores the singles themselves.
void AddRecord(SummaryAccumulator& summaries, const StoredRecord& record);

// The start of the UTC hour that holds `epochSeconds`.
int64_t HourStart(int64_t epochSeconds);

}  // namespace varnel::fleet
