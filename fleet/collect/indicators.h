// Daily condition indicators of each insulator, worked out from the records
// a commit adds and merged into the stored ones like the summaries
// (schema.h, `daily_indicators`).
//
// Per channel 1..16 and calendar day of the site:
//   n, peak_max            the records and their highest peak, mA
//   wet_n, wet_peak_max    the same over the wet records (outside humidity
//   (wet_peak_time)        at or above the collector's wet level, 85 % by
//                          default): leakage current matters when the
//                          surface is wet
//   charge_mc              the charge that flowed, mC: each record's mean
//                          absolute current times the time it stands for
// and per day for the weather (channel 0): n, wet_n and the smallest
// dew-point depression (dew_depression_min, °C).
//
// A record stands for the time since the site's record before it, at most
// the site's data save interval (the averages of a record cover no more):
// after a stop of the program its first record counts for one interval.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include <vector>

namespace varnel::fleet {

struct StoredRecord;

struct IndicatorCell {
  int64_t n = 0;
  int64_t wetN = 0;
  std::optional<double> peakMax;
  std::optional<double> wetPeakMax;
  int64_t wetPeakTime = 0;  // the earliest on a tie
  double chargeMc = 0;
  std::optional<double> dewDepressionMin;
  // The values of `other` too (the stored cell of the same day).
  void Merge(const IndicatorCell& other);
};

struct IndicatorOptions {
  double wetHumidityPct = 85;
  // The longest time a record stands for: the data save interval.
  int64_t recordSeconds = 60;
  // Values as an engine of doubles stores a single (DecimalOf); false: the
  // single itself, as an engine of singles does.
  bool decimalValues = true;
};

class IndicatorAccumulator {
 public:
  using Key = std::pair<int, std::string>;  // channel (0: weather), local day "2005-06-01"

  explicit IndicatorAccumulator(IndicatorOptions options) : options_(options) {}

  // A record, and the time of the site's record before it
  // (nullopt: none known; it then stands for one interval).
  void Add(const StoredRecord& record, std::optional<int64_t> previousTime);
  // Records in any order, `previousOfFirst` the time of the site's stored
  // record before the earliest of them.
  void AddAll(std::vector<const StoredRecord*> records, std::optional<int64_t> previousOfFirst);

  // One value set of a record, as the rows of a stored database give it
  // (the upgrade fills the indicators of the rows stored before).
  void AddWeather(const std::string& day, std::optional<double> temperatureC, std::optional<double> humidityPct);
  void AddChannel(int channel, int64_t time, const std::string& day, bool wet, std::optional<double> peak,
                  std::optional<double> meanAbsolute, int64_t seconds);
  bool IsWet(std::optional<double> humidityPct) const;
  // The seconds a record at `time` stands for.
  int64_t SecondsOf(int64_t time, std::optional<int64_t> previousTime) const;

  const std::map<Key, IndicatorCell>& Cells() const { return cells_; }
  void Clear() { cells_.clear(); }

 private:
  IndicatorOptions options_;
  std::map<Key, IndicatorCell> cells_;
};

}  // namespace varnel::fleet
