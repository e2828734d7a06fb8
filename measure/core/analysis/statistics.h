// Threshold statistics of one channel and block: how many samples reach each
// of four detection levels, and in how many half cycles of the power
// frequency each level is reached.
//
// The half cycles are found from the phase of the fitted fundamental that the
// analysis leaves (SinSum, CosSum): the offset is the moving-sum position of a
// zero crossing of that sine, modulo the half period.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "form/form.h"
#include "form/state.h"

namespace varnel::analysis {

inline constexpr int kThresholds = 4;

// Detection level in counts of a threshold of `milliamps` with shunt `ohm`:
// 4096 x (mA x R / 10) / 1000, stored as single.  nullopt when it does not fit
// a single (such a level is never reached).
std::optional<float> ThresholdLevel(double milliamps, double ohm);

// The four levels of `Text5(0)`..`Text5(3)` in counts; a text without a number
// counts as 0 mA.
std::array<std::optional<float>, kThresholds> ThresholdLevels(const PolModeForm& form, double ohm);

// Last half-cycle segment index: 9 at 50 Hz (10 half cycles), 11 at 60 Hz.
int LastSegment(const PolModeForm& form);
// Half cycles in a window at most (60 Hz).
inline constexpr int kMaxSegments = 12;

// Offset of the half-cycle segments: nearest((2 - atan(CosSum/SinSum) /
// 3.1415) x HalfPeriod) mod nearest(HalfPeriod), nearest with ties to even.
// nullopt when SinSum is 0 (the quotient would fault) or nothing fits.
std::optional<int16_t> PhaseOffset(float sinSum, float cosSum, float halfPeriod);

// First and last moving-sum position (both included, before wrapping into
// the window) of half-cycle segment `a`: nearest(a x HalfPeriod + offset) and
// nearest((a + 1) x HalfPeriod + offset), each sum formed in single.  nullopt
// when a bound does not fit a 32-bit integer.
std::optional<std::pair<int32_t, int32_t>> SegmentBounds(int a, float halfPeriod, int16_t offset);

struct ThresholdCounts {
  std::array<int32_t, kThresholds> time{};
  std::array<int32_t, kThresholds> half{};
  friend bool operator==(const ThresholdCounts&, const ThresholdCounts&) = default;
};

struct StatisticsInput {
  std::span<const int16_t> x;  // samples of the channel; x[2]..x[1251] are read
  float peak = 0;              // peak |count| of the block
  std::array<std::optional<float>, kThresholds> levels{};
  float sinSum = 0;
  float cosSum = 0;
  float halfPeriod = 125.0f;
  int lastSegment = 9;          // 9 or 11, at most kMaxSegments - 1
};

// Counts of one channel and block.  Counting stops at the first level the
// peak stays below (the levels rise).  `offset` carries the segment offset
// computed last during the same block handling (0 at its start); it is used
// when SinSum is 0 and updated otherwise.
ThresholdCounts CountThresholds(const StatisticsInput& in, int16_t& offset);

// total += add per level, each addition skipped when it would overflow.
void AddCounts(ChannelTotals& total, const ThresholdCounts& add);

}  // namespace varnel::analysis
