#include "analysis/statistics.h"

#include <gtest/gtest.h>

#include <vector>

#include "analysis/analysis.h"

namespace varnel::analysis {
namespace {

// With R = 312.5 ohm one mA is exactly 128 counts: 4096 x (1 x 312.5 / 10) / 1000.
constexpr double kOhm = 312.5;

// Samples of one channel, all zero, with `spikes` at moving-sum positions
// (position p is sample x[p + 2]).
std::vector<int16_t> Samples(std::initializer_list<std::pair<int, int>> spikes) {
  std::vector<int16_t> x(kSamplesRead, 0);
  for (const auto& [position, value] : spikes) x[static_cast<std::size_t>(position + 2)] = static_cast<int16_t>(value);
  return x;
}

float PeakOf(const std::vector<int16_t>& x) {
  int peak = 0;
  for (std::size_t i = 2; i < 1252; ++i) peak = std::max(peak, std::abs(int{x[i]}));
  return static_cast<float>(peak);
}

// Fundamental with SinSum = 1, CosSum = 0: phase 0, offset 0, segments
// [0,125], [125,250], ... at 50 Hz.
StatisticsInput Input(const std::vector<int16_t>& x, std::array<std::optional<float>, 4> levels) {
  StatisticsInput in;
  in.x = x;
  in.peak = PeakOf(x);
  in.levels = levels;
  in.sinSum = 1.0f;
  in.cosSum = 0.0f;
  in.halfPeriod = 125.0f;
  in.lastSegment = 9;
  return in;
}

TEST(ThresholdLevel, ConvertsMilliampsToCounts) {
  EXPECT_EQ(ThresholdLevel(1.0, kOhm), 128.0f);
  EXPECT_EQ(ThresholdLevel(0.5, kOhm), 64.0f);
  EXPECT_NEAR(*ThresholdLevel(0.5, 330), 67.584f, 1e-4);  // 4096 x 16.5 / 1000
  EXPECT_EQ(ThresholdLevel(0.0, kOhm), 0.0f);
  EXPECT_FALSE(ThresholdLevel(1e300, kOhm).has_value());

  PolModeForm form = MakeDesignForm();  // 0.5, 1, 2, 5 mA
  form.Text5[3].text = "x";             // no number: 0 mA
  const auto levels = ThresholdLevels(form, kOhm);
  EXPECT_EQ(levels[0], 64.0f);
  EXPECT_EQ(levels[1], 128.0f);
  EXPECT_EQ(levels[2], 256.0f);
  EXPECT_EQ(levels[3], 0.0f);
}

TEST(PhaseOffset, IsTheZeroCrossingOfTheFittedSineModuloTheHalfPeriod) {
  // phi = 0: (2 - 0) x 125 = 250, mod 125 = 0.
  EXPECT_EQ(PhaseOffset(1.0f, 0.0f, 125.0f), int16_t{0});
  // phi = pi/4: (2 - 0.785398 / 3.1415) x 125 = 218.75 -> 219, mod 125 = 94.
  EXPECT_EQ(PhaseOffset(2.0f, 2.0f, 125.0f), int16_t{94});
  // phi = -pi/4: 281.25 -> 281, mod 125 = 31.
  EXPECT_EQ(PhaseOffset(2.0f, -2.0f, 125.0f), int16_t{31});
  // 60 Hz, phi = 0: 208.33 -> 208, mod 104 = 0.
  EXPECT_EQ(PhaseOffset(1.0f, 0.0f, 104.16667f), int16_t{0});
  // A zero SinSum cannot be divided by.
  EXPECT_FALSE(PhaseOffset(0.0f, 1.0f, 125.0f).has_value());
  EXPECT_FALSE(PhaseOffset(0.0f, 0.0f, 125.0f).has_value());
}

TEST(SegmentBounds, SixtyHertzSegmentOneRunsFrom104To208) {
  FrequencyTables t;
  PolModeForm form = MakeDesignForm();
  SelectOption(form.Option2, 1);
  BuildFrequencyTables(form, t);
  EXPECT_EQ(LastSegment(form), 11);
  EXPECT_EQ(SegmentBounds(1, t.halfPeriod, 0), std::make_pair(104, 208));
  EXPECT_EQ(SegmentBounds(0, t.halfPeriod, 0), std::make_pair(0, 104));
  EXPECT_EQ(SegmentBounds(0, 125.0f, 94), std::make_pair(94, 219));
  EXPECT_EQ(SegmentBounds(9, 125.0f, 94), std::make_pair(1219, 1344));
  SelectOption(form.Option2, 0);
  EXPECT_EQ(LastSegment(form), 9);
}

TEST(CountThresholds, PeakExactlyAtALevelCountsAndSoDoEqualSamples) {
  const auto x = Samples({{300, 128}, {310, -128}});
  int16_t offset = 0;
  const auto c = CountThresholds(Input(x, {128.0f, 256.0f, 384.0f, 512.0f}), offset);
  EXPECT_EQ(c.time, (std::array<int32_t, 4>{2, 0, 0, 0}));
  EXPECT_EQ(c.half, (std::array<int32_t, 4>{1, 0, 0, 0}));  // both in [250, 375]
}

TEST(CountThresholds, PeakBelowTheFirstLevelCountsNothingAtAll) {
  // The later levels are not looked at once a level is missed, even a lower one.
  const auto x = Samples({{300, 127}, {700, -127}});
  int16_t offset = 0;
  const auto c = CountThresholds(Input(x, {128.0f, 0.0f, 0.0f, 0.0f}), offset);
  EXPECT_EQ(c, ThresholdCounts{});
}

TEST(CountThresholds, SpikeOnASegmentBoundaryCountsOnceInTimeAndInBothHalfCycles) {
  const auto x = Samples({{500, 200}});  // 500 ends [375, 500] and starts [500, 625]
  int16_t offset = 0;
  const auto c = CountThresholds(Input(x, {64.0f, 128.0f, 256.0f, 0.0f}), offset);
  EXPECT_EQ(c.time, (std::array<int32_t, 4>{1, 1, 0, 0}));
  EXPECT_EQ(c.half, (std::array<int32_t, 4>{2, 2, 0, 0}));
}

TEST(CountThresholds, SixtyHertzSegmentsShareTheirEndSample) {
  for (const auto& [position, expected] : {std::pair{103, 1}, {104, 2}, {105, 1}, {208, 2}, {209, 1}}) {
    SCOPED_TRACE(position);
    const auto x = Samples({{position, 300}});
    auto in = Input(x, {128.0f, 1000.0f, 1000.0f, 1000.0f});
    in.halfPeriod = 104.16667f;
    in.lastSegment = 11;
    int16_t offset = 0;
    EXPECT_EQ(CountThresholds(in, offset).half[0], expected);
  }
}

TEST(CountThresholds, ZeroLevelCountsEverySampleAndHalfCycle) {
  const auto x = Samples({});
  int16_t offset = 0;
  auto in = Input(x, {0.0f, 0.0f, 0.0f, 0.0f});
  EXPECT_EQ(CountThresholds(in, offset).time, (std::array<int32_t, 4>{1250, 1250, 1250, 1250}));
  EXPECT_EQ(CountThresholds(in, offset).half, (std::array<int32_t, 4>{10, 10, 10, 10}));
  in.halfPeriod = 104.16667f;
  in.lastSegment = 11;
  EXPECT_EQ(CountThresholds(in, offset).half[0], 12);
}

TEST(CountThresholds, LastSegmentWrapsToTheStartOfTheWindow) {
  // SinSum = CosSum: offset 94, segment 9 is [1219, 1344], that is 1219..1249
  // and then 0..94.  Position 94 is also the start of segment 0.
  const auto x = Samples({{94, 300}});
  auto in = Input(x, {128.0f, 1000.0f, 1000.0f, 1000.0f});
  in.sinSum = 3.0f;
  in.cosSum = 3.0f;
  int16_t offset = 0;
  EXPECT_EQ(CountThresholds(in, offset).half[0], 2);
  EXPECT_EQ(offset, 94);
  const auto early = Samples({{50, 300}});  // only in the wrapped part of segment 9
  in.x = early;
  EXPECT_EQ(CountThresholds(in, offset).half[0], 1);
}

TEST(CountThresholds, ZeroSinSumUsesTheOffsetComputedLastOrZero) {
  const auto x = Samples({{94, 300}});
  auto in = Input(x, {128.0f, 1000.0f, 1000.0f, 1000.0f});
  in.sinSum = 0.0f;
  in.cosSum = 5.0f;
  int16_t offset = 94;  // left by an earlier channel of the same block
  EXPECT_EQ(CountThresholds(in, offset).half[0], 2);
  EXPECT_EQ(offset, 94);
  offset = 0;  // none computed yet: 94 lies inside [0, 125]
  EXPECT_EQ(CountThresholds(in, offset).half[0], 1);
  EXPECT_EQ(offset, 0);
}

TEST(CountThresholds, UnreachableLevelStopsCounting) {
  const auto x = Samples({{10, 6143}});
  int16_t offset = 0;
  const auto c = CountThresholds(Input(x, {128.0f, std::nullopt, 0.0f, 0.0f}), offset);
  EXPECT_EQ(c.time, (std::array<int32_t, 4>{1, 0, 0, 0}));
}

TEST(AddCounts, AddsPerLevelAndNeverOverflows) {
  ChannelTotals total;
  total.TimeCount = {1, 2, 3, std::numeric_limits<int32_t>::max() - 1};
  ThresholdCounts add;
  add.time = {10, 20, 30, 5};
  add.half = {1, 1, 0, 0};
  AddCounts(total, add);
  EXPECT_EQ(total.TimeCount, (std::array<int32_t, 4>{11, 22, 33, std::numeric_limits<int32_t>::max() - 1}));
  EXPECT_EQ(total.HalfCycleCount, (std::array<int32_t, 4>{1, 1, 0, 0}));
}

}  // namespace
}  // namespace varnel::analysis
