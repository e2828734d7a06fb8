// How soon an insulator reaches its danger level, from the highest peak
// current of its wet days.
//
// Leakage current over a polluted insulator is meaningful mainly when the
// surface is wet, and the highest peak of a wet day grows as salt or dust
// builds up.  A washing (or a replacement) resets the surface, and so does
// a heavy rain: that one shows as a drop of the wet-day peaks.  The
// forecast therefore looks only at the wet days since the last reset, fits
// a robust straight line through their peaks (Theil–Sen: the median of
// all pairwise slopes, which a few stray days do not move) and says when
// that line meets the danger level, with the interval that the slope's
// confidence interval gives.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace varnel::fleet::web {

// A wet day of one insulator: its day number (days since 1970-01-01 in the
// site's calendar) and the highest peak of its wet records, mA.
struct WetDay {
  int64_t day = 0;
  double peakMa = 0;
};

struct ForecastSettings {
  // Fewer wet days than this since the last reset give no forecast.
  int minWetDays = 6;
  // Two-sided confidence of the slope's interval.
  double confidence = 0.9;
  // A heavy rain washed the insulator when a wet day's peak falls below
  // this fraction of the median of the (up to) five wet days before it in
  // the same stretch, and the next wet day stays below it too.
  double dropFraction = 0.5;
  // The stretch needs this many wet days before a drop can be told.
  int dropMinDaysBefore = 3;
};

// A robust line y = intercept + slope * x and the slope's interval at the
// settings' confidence (Sen 1968: ranks of the pairwise slopes around the
// median by Kendall's statistic).
struct TheilSenFit {
  double slope = 0;
  double intercept = 0;
  double slopeLow = 0;
  double slopeHigh = 0;
};

// At least two points with two distinct x; nullopt otherwise.
std::optional<TheilSenFit> FitTheilSen(const std::vector<double>& x, const std::vector<double>& y,
                                       double confidence);

enum class ForecastState {
  kTooFewWetDays,  // not enough wet days since the last reset
  kNotRising,      // the slope's interval reaches zero or below
  kRising,         // days to danger given
  kAtDanger,       // the fitted level today is at or above the danger level
};

enum class ResetReason { kNone, kMaintenance, kRainDrop };

struct Forecast {
  ForecastState state = ForecastState::kTooFewWetDays;
  // The first day of the stretch used (after the last reset), and why it
  // starts there.
  std::optional<int64_t> since;
  ResetReason reset = ResetReason::kNone;
  int wetDays = 0;  // in the stretch used
  std::optional<TheilSenFit> fit;
  std::optional<double> levelNowMa;  // the line's value today
  // Days from today until the line reaches the danger level (kRising):
  // the estimate, the earliest (the interval's steeper slope) and the
  // latest (its gentler slope; nullopt when that slope is not above zero).
  std::optional<double> daysToDanger;
  std::optional<double> earliestDays;
  std::optional<double> latestDays;
};

// The forecast for `today` from an insulator's wet days (in day order),
// the days of its washings and replacements (any order) and its danger
// level in mA.  Days after `today` are left out.  A maintenance day
// resets the stretch: it starts on the day after it.
Forecast ForecastDanger(const std::vector<WetDay>& wetDays, const std::vector<int64_t>& resetDays, double dangerMa,
                        int64_t today, const ForecastSettings& settings = {});

// "rising", "not rising", "too few wet days", "at danger"
const char* ForecastStateName(ForecastState state);
// "none", "maintenance", "heavy rain"
const char* ResetReasonName(ResetReason reason);

}  // namespace varnel::fleet::web
