#include <gtest/gtest.h>

#include "snapshots.h"

namespace varnel::fleet {
namespace {

TEST(SnapshotNames, ScheduledAndPeakTriggeredNamesAreRead) {
  const auto scheduled = ParseSnapshotName("20050601-1530Wev.dat");
  ASSERT_TRUE(scheduled);
  EXPECT_EQ(scheduled->kind, SnapshotKind::kScheduled);
  EXPECT_EQ(scheduled->time, (text::LocalDateTime{2005, 6, 1, 15, 30, 0, 0}));
  EXPECT_FALSE(scheduled->triggerChannel);

  const auto peak = ParseSnapshotName("ch3Peak12.34mA20040204-1530Wev.dat");
  ASSERT_TRUE(peak);
  EXPECT_EQ(peak->kind, SnapshotKind::kPeak);
  EXPECT_EQ(peak->time, (text::LocalDateTime{2004, 2, 4, 15, 30, 0, 0}));
  EXPECT_EQ(peak->triggerChannel, 3);
  EXPECT_DOUBLE_EQ(*peak->triggerPeakMa, 12.34);
  EXPECT_EQ(ParseSnapshotName("ch16Peak8.5mA20040204-0000Wev.dat")->triggerChannel, 16);

  for (const char* wrong : {"20050601-1530Wev.da", "2005061-1530Wev.dat", "20051301-1530Wev.dat",
                            "20050601-2460Wev.dat", "ch17Peak1.0mA20050601-1530Wev.dat",
                            "ch3Peak12.345mA20050601-1530Wev.dat", "ch3Peak12mA20050601-1530Wev.dat",
                            "x20050601-1530Wev.dat", "ch3Peak1.5mA20050601-1530Wev.dat.tmp1-0"})
    EXPECT_FALSE(ParseSnapshotName(wrong)) << wrong;
}

TEST(SnapshotPeaks, PeaksComeFromTheAnalysedSamplesOnly) {
  WaveStore waves(4);
  waves.Set(0, 0, 900);      // before the analysed window
  waves.Set(2, 0, -37);      // first analysed sample, negative
  waves.Set(1251, 1, 12);    // last analysed sample
  waves.Set(1252, 1, 2000);  // after the window
  waves.Set(600, 2, -2048);
  const std::vector<int> peaks = ChannelPeakCounts(waves);
  EXPECT_EQ(peaks, (std::vector<int>{37, 12, 2048, 0}));
  // 2048 counts through 330 ohm: 2048 / 330 x 10 / 4096 x 1000 mA.
  EXPECT_NEAR(PeakMilliamps(2048, 330), 15.151515, 1e-6);
}

}  // namespace
}  // namespace varnel::fleet
