#include "analysis/sweep.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "blocks.h"

namespace varnel::analysis {
namespace {

using testing::ConstantBlock;
using testing::RawBlock;

class SweepTest : public ::testing::Test {
 protected:
  SweepTest() : sweep(form, state) {}
  void SetUp() override {
    form = MakeDesignForm();
    BuildFrequencyTables(form, state.tables);
    sweep.selectGroup = [this](int group) { selected.push_back(group); };
    sweep.dtSave = [this] {
      log.push_back("save");
      dcAtSave.push_back(state.results[0].DCc);
    };
    sweep.plotData = [this] { log.push_back("plot"); };
    sweep.peakSave = [this] { log.push_back("peak save"); };
  }
  void Run(SampleBlock raw) {
    state.block = std::move(raw);
    sweep.DTSyori();
  }

  PolModeForm form;
  MeasureState state;
  Sweep sweep;
  std::vector<int> selected;  // groups asked of the multiplexer, in order
  std::vector<std::string> log;
  std::vector<float> dcAtSave;
};

TEST_F(SweepTest, FourGroupsSelectTheNextGroupAheadAndEndTheSweep) {
  state.groupCount = 4;
  state.groupCounter = 0;
  for (int g = 0; g < 4; ++g) {
    SCOPED_TRACE(g);
    Run(ConstantBlock(100 * (g + 1)));
    EXPECT_EQ(state.groupCounter, (g + 1) % 4);
  }
  // After the block of group g the multiplexer is asked for group g + 1.
  EXPECT_EQ(selected, (std::vector<int>{1, 2, 3, 0}));
  EXPECT_EQ(log, (std::vector<std::string>{"save", "plot", "peak save"}));
  // Group g's block went to channel indexes 4g..4g+3: 100 (g+1) counts each.
  for (int n = 0; n < 16; ++n) {
    const double counts = 100.0 * (n / 4 + 1);
    EXPECT_NEAR(state.results[static_cast<std::size_t>(n)].DCc, testing::Milliamps(counts, 330), 1e-4) << n;
    EXPECT_EQ(state.peaks[static_cast<std::size_t>(n)], counts) << n;
    EXPECT_EQ(state.waves.At(0, n), counts) << n;
    EXPECT_EQ(state.waves.At(1255, n), counts) << n;
  }
  // The next sweep starts with the storage, which sees the whole last sweep
  // and none of the new block.
  Run(ConstantBlock(0));
  EXPECT_EQ(log, (std::vector<std::string>{"save", "plot", "peak save", "save"}));
  ASSERT_EQ(dcAtSave.size(), 2u);
  EXPECT_EQ(dcAtSave[0], 0.0f);
  EXPECT_NEAR(dcAtSave[1], testing::Milliamps(100, 330), 1e-4);
}

TEST_F(SweepTest, SingleGroupStoresAndPlotsEveryBlock) {
  state.groupCount = 1;
  Run(ConstantBlock(0));
  Run(ConstantBlock(0));
  EXPECT_EQ(log, (std::vector<std::string>{"save", "plot", "peak save", "save", "plot", "peak save"}));
  EXPECT_EQ(state.groupCounter, 0);
  EXPECT_EQ(selected, (std::vector<int>{0, 0}));
}

TEST_F(SweepTest, CounterFollowsAChangedGroupCount) {
  state.groupCount = 4;
  state.groupCounter = 3;
  state.groupCount = 2;  // "8ch" chosen while group 3 was being acquired
  Run(ConstantBlock(0));
  // The block counts as group 3, which is not the last of two groups.
  EXPECT_EQ(state.groupCounter, 0);
  EXPECT_TRUE(log.empty());
}

TEST_F(SweepTest, ThrowingHooksEndOnlyTheirOwnCall) {
  state.groupCount = 1;
  sweep.selectGroup = [](int) { throw std::runtime_error("port gone"); };
  sweep.dtSave = [] { throw std::runtime_error("disk full"); };
  sweep.plotData = [] { throw 1; };
  bool peakSaveRan = false;
  sweep.peakSave = [&peakSaveRan] { peakSaveRan = true; };
  Run(ConstantBlock(1024));
  EXPECT_EQ(form.LDC[0].text, "7.576");
  EXPECT_EQ(state.waves.At(0, 0), 1024);
  EXPECT_TRUE(peakSaveRan);
}

TEST_F(SweepTest, ThresholdCountsAddUpOverBlocks) {
  // 312.5 ohm: 1 mA is 128 counts.  Levels 0.5, 1, 2, 5 mA = 64, 128, 256, 640.
  form.Text1.text = "312.5";
  state.groupCount = 1;
  Run(RawBlock([](int k, int ch) { return ch == 0 && k == 502 ? 300 : 0; }));  // position 500, a boundary
  Run(RawBlock([](int k, int ch) { return ch == 0 && k == 302 ? 128 : 0; }));
  const ChannelTotals& t = state.results[0];
  // The fundamental of a lone spike sets its own phase, so only the time
  // counts and the number of levels reached are fixed by hand here.
  EXPECT_EQ(t.TimeCount, (std::array<int32_t, 4>{2, 2, 1, 0}));
  EXPECT_GE(t.HalfCycleCount[0], 2);
  EXPECT_EQ(t.HalfCycleCount[3], 0);
  EXPECT_EQ(state.results[1].TimeCount, (std::array<int32_t, 4>{}));
  EXPECT_EQ(sweep.LastReport(0).counts.time, (std::array<int32_t, 4>{1, 1, 0, 0}));
}

TEST_F(SweepTest, HalfCyclesFollowThePhaseOfTheFundamental) {
  // A 50 Hz sine delayed by an eighth period has its zero crossings at
  // moving-sum positions 31.25 + 125 n: offset 31.  It reaches 0.5 mA
  // (64 counts at 312.5 ohm) in every half cycle; a spike of -700 at position
  // 156 (the boundary 31 + 125) reaches 5 mA (640) in two half cycles.
  form.Text1.text = "312.5";
  state.groupCount = 1;
  Run(RawBlock([](int k, int ch) {
    if (ch != 0) return 0;
    if (k == 158) return -700;
    return testing::Sine(300, 250, k - 2 - 31.25);
  }));
  const ChannelTotals& t = state.results[0];
  EXPECT_EQ(t.HalfCycleCount, (std::array<int32_t, 4>{10, 10, 10, 2}));
  EXPECT_EQ(t.TimeCount[3], 1);
}

}  // namespace
}  // namespace varnel::analysis
