#include "analysis/statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "analysis/analysis.h"
#include "text/numforms.h"

namespace varnel::analysis {

namespace {

constexpr double kPiPhase = 3.1415;  // the phase is scaled with this constant, not pi

using Magnitudes = std::array<float, kPoints>;

// True when segment [start, end] holds a sample at or above the level.
// Positions past the end of the window wrap to its start.
bool SegmentReaches(const Magnitudes& mag, int32_t start, int32_t end, float level) {
  // Positions repeat after one window, so no segment needs more than that.
  const int64_t count = std::min<int64_t>(int64_t{end} - start + 1, kPoints + 1);
  int64_t w = start % kPoints;
  if (w < 0) w += kPoints;
  for (int64_t i = 0; i < count; ++i) {
    if (mag[static_cast<std::size_t>(w)] >= level) return true;
    if (++w == kPoints) w = 0;
  }
  return false;
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
  // |x[b+2]| of every moving-sum position b; the counts compare these.
  Magnitudes mag;
  for (std::size_t b = 0; b < mag.size(); ++b) mag[b] = static_cast<float>(std::abs(int{in.x[b + 2]}));
  for (std::size_t j = 0; j < kThresholds; ++j) {
    if (!in.levels[j]) break;  // a level beyond the range of a single is never reached
    const float level = *in.levels[j];
    if (in.peak < level) break;  // the levels rise: none of the later ones is reached either

    int32_t time = 0;
    for (const float m : mag) time += m >= level ? 1 : 0;
    counts.time[j] = time;

    if (const auto o = PhaseOffset(in.sinSum, in.cosSum, in.halfPeriod)) offset = *o;
    int32_t half = 0;
    for (int a = 0; a <= in.lastSegment; ++a) {
      const auto bounds = SegmentBounds(a, in.halfPeriod, offset);
      if (bounds && SegmentReaches(mag, bounds->first, bounds->second, level)) ++half;
    }
    counts.half[j] = half;
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
