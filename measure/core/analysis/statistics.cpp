#include "analysis/statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "analysis/analysis.h"
#include "text/numforms.h"

namespace varnel::analysis {

namespace {

constexpr double kPiPhase = 3.1415;  // the phase is scaled with this constant, not pi

// |x[b+2]| of every moving-sum position b, padded to whole vectors with
// minus infinity, which reaches no level.
inline constexpr std::size_t kLanes = 4;
inline constexpr std::size_t kPaddedPoints = (kPoints + kLanes - 1) / kLanes * kLanes;
using Magnitudes = std::array<float, kPaddedPoints>;
using FloatLanes = float __attribute__((vector_size(kLanes * sizeof(float))));
using IntLanes = int32_t __attribute__((vector_size(kLanes * sizeof(int32_t))));
constexpr float kNever = -std::numeric_limits<float>::infinity();

void FillMagnitudes(std::span<const int16_t> x, Magnitudes& mag) {
  for (std::size_t b = 0; b < static_cast<std::size_t>(kPoints); ++b)
    mag[b] = static_cast<float>(std::abs(int{x[b + 2]}));
  std::fill(mag.begin() + kPoints, mag.end(), kNever);
}

inline FloatLanes Load(const float* at) {
  FloatLanes v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

using Levels = std::array<float, kThresholds>;

// Samples at or above each level, in one pass, four samples at a time.
std::array<int32_t, kThresholds> CountReaching(const Magnitudes& mag, const Levels& levels) {
  std::array<IntLanes, kThresholds> hits{};
  for (std::size_t i = 0; i < mag.size(); i += kLanes) {
    const FloatLanes m = Load(mag.data() + i);
    for (std::size_t j = 0; j < kThresholds; ++j) hits[j] -= m >= levels[j];  // true is -1
  }
  std::array<int32_t, kThresholds> counts{};
  for (std::size_t j = 0; j < kThresholds; ++j) counts[j] = hits[j][0] + hits[j][1] + hits[j][2] + hits[j][3];
  return counts;
}

// The largest of `count` consecutive magnitudes from `first` (kNever for none).
float RangePeak(const float* first, std::size_t count) {
  FloatLanes peaks = FloatLanes{} + kNever;
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    const FloatLanes v = Load(first + i);
    peaks = v > peaks ? v : peaks;
  }
  float peak = std::max(std::max(peaks[0], peaks[1]), std::max(peaks[2], peaks[3]));
  for (; i < count; ++i) peak = std::max(peak, first[i]);
  return peak;
}

// The largest magnitude in segment [start, end] (kNever when it is empty).
// Positions past the end of the window wrap to its start.  A segment
// reaches a level exactly when its largest magnitude does.
float SegmentPeak(const Magnitudes& mag, int32_t start, int32_t end) {
  // Positions repeat after one window, so no segment needs more than that.
  int64_t count = std::min<int64_t>(int64_t{end} - start + 1, kPoints + 1);
  int64_t w = start % kPoints;
  if (w < 0) w += kPoints;
  float peak = kNever;
  while (count > 0) {
    const int64_t run = std::min<int64_t>(count, kPoints - w);
    peak = std::max(peak, RangePeak(mag.data() + w, static_cast<std::size_t>(run)));
    count -= run;
    w = 0;
  }
  return peak;
}

inline void AddCount(int32_t& total, int32_t add) {
  if (add > 0 && total > std::numeric_limits<int32_t>::max() - add) return;  // would overflow: skipped
  total += add;
}

}  // namespace

std::optional<float> ThresholdLevel(double milliamps, double ohm) {
  return ToSingle(4096.0 * (milliamps * ohm / 10.0) / 1000.0);
}

std::array<std::optional<float>, kThresholds> ThresholdLevels(const PolModeForm& form, double ohm) {
  std::array<std::optional<float>, kThresholds> levels;
  for (std::size_t j = 0; j < levels.size(); ++j) levels[j] = ThresholdLevel(text::LeadingNumber(form.Text5[j].text), ohm);
  return levels;
}

int LastSegment(const PolModeForm& form) { return Is50Hz(form) ? 9 : 11; }

std::optional<int16_t> PhaseOffset(float sinSum, float cosSum, float halfPeriod) {
  if (sinSum == 0.0f) return std::nullopt;
  const double quotient = static_cast<double>(cosSum) / static_cast<double>(sinSum);
  if (!std::isfinite(quotient)) return std::nullopt;
  const double phi = std::atan(quotient);
  const auto position = text::ToInt32((2.0 - phi / kPiPhase) * static_cast<double>(halfPeriod));
  const auto modulus = text::ToInt32(static_cast<double>(halfPeriod));
  if (!position || !modulus || *modulus == 0) return std::nullopt;
  const int32_t offset = *position % *modulus;
  if (offset < std::numeric_limits<int16_t>::min() || offset > std::numeric_limits<int16_t>::max()) return std::nullopt;
  return static_cast<int16_t>(offset);
}

std::optional<std::pair<int32_t, int32_t>> SegmentBounds(int a, float halfPeriod, int16_t offset) {
  // Formed in single, as the segment positions always were.
  float from = static_cast<float>(a) * halfPeriod;
  from = from + static_cast<float>(offset);
  float to = static_cast<float>(a + 1) * halfPeriod;
  to = to + static_cast<float>(offset);
  const auto start = text::ToInt32(static_cast<double>(from));
  const auto end = text::ToInt32(static_cast<double>(to));
  if (!start || !end) return std::nullopt;
  return std::make_pair(*start, *end);
}

ThresholdCounts CountThresholds(const StatisticsInput& in, int16_t& offset) {
  ThresholdCounts counts;
  if (in.x.size() < static_cast<std::size_t>(kPoints + 2)) return counts;
  // The levels counted: those up to the first one the peak stays below (the
  // levels rise, so none of the later ones is reached either) or that lies
  // beyond the range of a single (it is never reached).
  Levels levels;
  levels.fill(std::numeric_limits<float>::infinity());
  std::size_t counted = 0;
  while (counted < kThresholds && in.levels[counted] && !(in.peak < *in.levels[counted])) {
    levels[counted] = *in.levels[counted];
    ++counted;
  }
  if (counted == 0) return counts;

  // |x[b+2]| of every moving-sum position b; the counts compare these.
  Magnitudes mag;
  FillMagnitudes(in.x, mag);
  const auto time = CountReaching(mag, levels);

  // The half-cycle segments follow the phase (or, with no phase, the offset
  // found last); a segment reaches a level when its largest magnitude does.
  if (const auto o = PhaseOffset(in.sinSum, in.cosSum, in.halfPeriod)) offset = *o;
  const int segments = std::min(in.lastSegment, kMaxSegments - 1) + 1;
  std::array<float, kMaxSegments> segmentPeaks;
  for (int a = 0; a < segments; ++a) {
    const auto bounds = SegmentBounds(a, in.halfPeriod, offset);
    segmentPeaks[static_cast<std::size_t>(a)] = bounds ? SegmentPeak(mag, bounds->first, bounds->second) : kNever;
  }

  for (std::size_t j = 0; j < counted; ++j) {
    counts.time[j] = time[j];
    for (int a = 0; a < segments; ++a) counts.half[j] += segmentPeaks[static_cast<std::size_t>(a)] >= levels[j] ? 1 : 0;
  }
  return counts;
}

void AddCounts(ChannelTotals& total, const ThresholdCounts& add) {
  for (std::size_t j = 0; j < kThresholds; ++j) {
    AddCount(total.TimeCount[j], add.time[j]);
    AddCount(total.HalfCycleCount[j], add.half[j]);
  }
}

}  // namespace varnel::analysis
