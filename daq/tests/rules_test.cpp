// The library's pure rules: transfer block sizes, limit-trigger codes,
// trigger-buffer counts and data-buffer sizes, against hand-worked values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "rules.h"

namespace morlex {
namespace {

TEST(MorlexBlockSamples, TableValuesForTypicalIntervals) {
  EXPECT_EQ(BlockSamplesFor(2, 100, 3), 9);   // 3 channels at 100 us
  EXPECT_EQ(BlockSamplesFor(1, 50, 3), 6);    // 3 channels at 50 ms
  EXPECT_EQ(BlockSamplesFor(1, 200, 3), 3);   // 3 channels at 200 ms
  EXPECT_EQ(BlockSamplesFor(0, 1, 1), 2);     // 1 channel at 1 s
  EXPECT_EQ(BlockSamplesFor(2, 80, 4), 8);    // the measurement program's 4 channels at 80 us
}

TEST(MorlexBlockSamples, MillisecondBoundaryAt100) {
  // Below 100 ms the fast row applies, from 100 ms on the slow row.
  const uint16_t fast[8] = {8, 4, 6, 8, 5, 6, 7, 8};
  const uint16_t slow[8] = {2, 2, 3, 4, 5, 6, 7, 8};
  for (uint16_t ch = 1; ch <= 8; ++ch) {
    EXPECT_EQ(BlockSamplesFor(1, 99, ch), fast[ch - 1]) << ch;
    EXPECT_EQ(BlockSamplesFor(1, 100, ch), slow[ch - 1]) << ch;
    EXPECT_EQ(BlockSamplesFor(0, 65535, ch), slow[ch - 1]) << ch;
  }
}

TEST(MorlexBlockSamples, OutsideTheTableFallsBackToIntervalOrZero) {
  EXPECT_EQ(BlockSamplesFor(2, 300, 0), 300);  // microseconds, no channels: the interval itself
  EXPECT_EQ(BlockSamplesFor(2, 300, 9), 300);
  EXPECT_EQ(BlockSamplesFor(3, 77, 4), 77);    // unknown unit: the interval itself
  EXPECT_EQ(BlockSamplesFor(0, 5, 0), 0);      // seconds or milliseconds without channels: 0
  EXPECT_EQ(BlockSamplesFor(1, 5, 0), 0);
}

TEST(MorlexLimitCodes, HandWorkedCodesForBothCardTypes) {
  // Type 1: trunc(2.0 * 32768 * 0.4) = 26214, >> 3 = 3276; 0.5 V: 6553 >> 3 = 819.
  EXPECT_EQ(LimitCodeFor(1, 2.0), 3276);
  EXPECT_EQ(LimitCodeFor(1, 0.5), 819);
  // Type 2: (0 + 5) * 3276.8 = 16384, >> 3 = 2048; -5 V is code 0;
  // 4.99 V: trunc(9.99 * 3276.8 = 32735.232) = 32735, >> 3 = 4091.
  EXPECT_EQ(LimitCodeFor(2, 0.0), 2048);
  EXPECT_EQ(LimitCodeFor(2, -5.0), 0);
  EXPECT_EQ(LimitCodeFor(2, 4.99), 4091);
}

TEST(MorlexLimitCodes, NegativeAndHugeLevelsStayDefined) {
  // An unused level may be anything; the arithmetic shift keeps the sign
  // bits and the mask keeps 13 bits: -1 V on type 1 is trunc(-13107.2) =
  // -13107, >> 3 = -1639, & 8191 = 6553.
  EXPECT_EQ(LimitCodeFor(1, -1.0), 6553);
  EXPECT_EQ(LimitCodeFor(1, 1e300), 0);
  EXPECT_EQ(LimitCodeFor(1, std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(MorlexLimitLevels, RangeChecksPerModeAndCard) {
  EXPECT_EQ(CheckLimitLevels(1, 3, 2.0, 0.5), 0);
  EXPECT_EQ(CheckLimitLevels(1, 3, 0.5, 2.0), -2);  // upper below lower
  EXPECT_EQ(CheckLimitLevels(1, 1, 2.5, 99.0), -2);  // 2.5 V itself is out (strict)
  EXPECT_EQ(CheckLimitLevels(1, 1, 2.4, 99.0), 0);   // the lower level is not checked in mode 1
  EXPECT_EQ(CheckLimitLevels(1, 2, 99.0, 0.0), -2);  // 0 V is out (strict)
  EXPECT_EQ(CheckLimitLevels(2, 3, 4.9, -4.9), 0);
  EXPECT_EQ(CheckLimitLevels(2, 2, 0.0, -5.0), -2);
  EXPECT_EQ(CheckLimitLevels(0, 3, 1.0, 0.5), -1);
  EXPECT_EQ(CheckLimitLevels(1, 1, std::numeric_limits<double>::quiet_NaN(), 0.5), -2);
}

TEST(MorlexTrgCounts, SpansInBothUnits) {
  // Period 100, unit 1, 2 channels, spans 5 and 20: 5*1000/100*2 = 100, 20*1000/100*2 = 400.
  const auto counts = TrgBufferCounts(100, 1, 2, 5, 20);
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->count1, 100u);
  EXPECT_EQ(counts->count2, 400u);
  // Unit 0 divides first, truncating: 250/100 = 2, * 3 channels = 6.
  const auto plain = TrgBufferCounts(100, 0, 3, 250, 99);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->count1, 6u);
  EXPECT_EQ(plain->count2, 0u);
}

TEST(MorlexTrgCounts, ZeroPeriodAndOverflowAreRefused) {
  EXPECT_FALSE(TrgBufferCounts(0, 0, 4, 10, 10));
  EXPECT_FALSE(TrgBufferCounts(1, 2, 4, 10, 10));
  // 65535 * 1000 / 1 * 65535 does not fit a 32-bit count.
  EXPECT_FALSE(TrgBufferCounts(1, 1, 65535, 65535, 0));
}

TEST(MorlexDataBuffer, SizeAndOverflow) {
  EXPECT_EQ(DataBufferBytes(1000, 4), 8032u);
  EXPECT_EQ(DataBufferBytes(1260, 4), 10112u);
  EXPECT_EQ(DataBufferBytes(0, 4), 32u);
  EXPECT_FALSE(DataBufferBytes(0x80000000u, 1));
  EXPECT_FALSE(DataBufferBytes(0xFFFFFFFFu, 8));
}

TEST(MorlexAcquisitionLimit, TwiceTheBlockTimeWithAFloorAndRoomForTheStartTrigger) {
  using std::chrono::milliseconds;
  // The measurement program's block: 1260 frames at 80 us = 100.8 ms; twice
  // that is far below the floor.
  EXPECT_EQ(AcquisitionLimit(2, 80, 1260, false), milliseconds(5000));
  EXPECT_EQ(AcquisitionLimit(2, 80, 1260, true), milliseconds(65000));
  // 2 x 4000 frames at 1 ms = 8 s, above the floor; + 60 s for the trigger.
  EXPECT_EQ(AcquisitionLimit(1, 1, 4000, false), milliseconds(8000));
  EXPECT_EQ(AcquisitionLimit(1, 1, 4000, true), milliseconds(68000));
  // 2 x 3 frames at 1 s = 6 s; 2 x 2500 frames at 1000 us = 5 s exactly.
  EXPECT_EQ(AcquisitionLimit(0, 1, 3, false), milliseconds(6000));
  EXPECT_EQ(AcquisitionLimit(2, 1000, 2500, false), milliseconds(5000));
  // 2 x 2501 x 1001 us = 5007.002 ms: whole milliseconds, rounded up.
  EXPECT_EQ(AcquisitionLimit(2, 1001, 2501, false), milliseconds(5008));
}

TEST(MorlexAcquisitionLimit, NoExpectedTimeGivesTheFloorAndHugeBlocksAreCapped) {
  using std::chrono::milliseconds;
  EXPECT_EQ(AcquisitionLimit(2, 80, 0, false), milliseconds(5000));   // no frames
  EXPECT_EQ(AcquisitionLimit(2, 0, 1260, false), milliseconds(5000));  // no interval
  EXPECT_EQ(AcquisitionLimit(7, 80, 1260, false), milliseconds(5000)); // unknown unit
  // 65535 s x 2^32 frames is far beyond 30 days: the cap, also with the trigger.
  EXPECT_EQ(AcquisitionLimit(0, 65535, 0xFFFFFFFFull, false), kLongestAcquisitionLimit);
  EXPECT_EQ(AcquisitionLimit(0, 65535, 0xFFFFFFFFull, true), kLongestAcquisitionLimit);
  EXPECT_EQ(kLongestAcquisitionLimit, milliseconds(2592000000));
}

}  // namespace
}  // namespace morlex
