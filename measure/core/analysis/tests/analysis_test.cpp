#include "analysis/analysis.h"

#include <gtest/gtest.h>

#include <cmath>

#include "blocks.h"

namespace varnel::analysis {
namespace {

using testing::ConstantBlock;
using testing::Milliamps;
using testing::RawBlock;
using testing::Sine;

class AnalyseChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form = MakeDesignForm();
    BuildFrequencyTables(form, state.tables);
  }
  // Converts and analyses A/D channel `ch` of `raw` as channel index `n`.
  ChannelOutcome Analyse(SampleBlock raw, int ch, int n) {
    ConvertBlock(raw);
    auto out = AnalyseChannel(raw, ch, n, form, state);
    EXPECT_TRUE(out.has_value());
    return out.value_or(ChannelOutcome{});
  }
  void MarkLabels(int n, const std::string& text) {
    const auto i = static_cast<std::size_t>(n);
    for (auto* labels : {&form.L25H, &form.LDC, &form.LF1, &form.LAC, &form.LRms, &form.L25L, &form.Peak})
      (*labels)[i].text = text;
  }
  PolModeForm form;
  MeasureState state;
};

TEST(FrequencyTables, HalfPeriodAndTablesFollowThePowerFrequency) {
  PolModeForm form = MakeDesignForm();
  FrequencyTables t;
  SelectOption(form.Option2, 0);
  BuildFrequencyTables(form, t);
  EXPECT_EQ(t.halfPeriod, 125.0f);
  EXPECT_EQ(t.sine[0], 0.0f);
  EXPECT_EQ(t.cosine[0], 1.0f);
  // A quarter period (62.5 frames) lies between entries 62 and 63; a full
  // period is 250 frames, so entry 250 is back near sin 0, cos 1.
  EXPECT_NEAR(t.sine[125], 0.0f, 1e-6);
  EXPECT_NEAR(t.cosine[125], -1.0f, 1e-6);
  EXPECT_NEAR(t.cosine[250], 1.0f, 1e-6);
  EXPECT_NEAR(t.sine[1250], 0.0f, 1e-6);  // ten half periods

  SelectOption(form.Option2, 1);
  BuildFrequencyTables(form, t);
  EXPECT_FLOAT_EQ(t.halfPeriod, 104.16667f);
  EXPECT_NEAR(t.sine[52], std::sin(52 * M_PI / (1000.0 / 60 / 0.16)), 1e-6);
  EXPECT_NEAR(t.cosine[1250], 1.0f, 1e-5);  // 12 half periods = 6 whole periods
}

TEST(ConvertBlock, KeepsThirteenBitsLessMidScaleInTheAnalysedEntriesOnly) {
  SampleBlock block(5057, 0);
  block[0] = 0x1FFF;                          // bit 12 set: 8191 - 2048
  block[1] = 2048;                            // mid scale
  block[2] = static_cast<int16_t>(0xE800);    // bits above 12 are dropped: 0x0800
  block[3] = 0x1000;                          // 4096 - 2048
  block[5024] = 0;                            // last converted entry
  block[5025] = 0x1FFF;                       // beyond the analysed entries
  ConvertBlock(block);
  EXPECT_EQ(block[0], 6143);
  EXPECT_EQ(block[1], 0);
  EXPECT_EQ(block[2], 0);
  EXPECT_EQ(block[3], 2048);
  EXPECT_EQ(block[4], -2048);
  EXPECT_EQ(block[5024], -2048);
  EXPECT_EQ(block[5025], 0x1FFF);

  SampleBlock shortBlock(10, 0x0800);  // converts what there is, reads nothing past it
  ConvertBlock(shortBlock);
  EXPECT_EQ(shortBlock[9], 0);
}

TEST_F(AnalyseChannelTest, AllZeroCountsShowZeroAndKeepTheMaximumPeak) {
  state.results[5].MaxPeak = 3.5f;
  state.results[5].Fhc = 1.25f;
  state.peaks[5] = 99.0f;
  Analyse(ConstantBlock(0), 1, 5);
  for (auto* labels : {&form.L25H, &form.LDC, &form.LF1, &form.LAC, &form.LRms, &form.L25L})
    EXPECT_EQ((*labels)[5].text, "0.000");
  EXPECT_EQ(form.Peak[5].text, "0.00");
  EXPECT_EQ(state.results[5].MaxPeak, 3.5f);
  EXPECT_EQ(state.results[5].Fhc, 1.25f);
  EXPECT_EQ(state.results[5].Rms, 0.0f);
  EXPECT_EQ(state.peaks[5], 0.0f);
}

TEST_F(AnalyseChannelTest, ConstantCodeIsPureDirectCurrent) {
  // Code 3072 is 1024 counts: 1024 x 10 / 4096 / 330 x 1000 = 7.5758 mA.
  MarkLabels(7, "old");
  const auto out = Analyse(ConstantBlock(1024), 2, 6);
  const double mA = 2500.0 / 330.0;
  const BlockValues& v = out.values;
  EXPECT_NEAR(*v.DCc, mA, 1e-4);
  EXPECT_NEAR(*v.ALLc, mA, 1e-4);
  EXPECT_NEAR(*v.Rms, mA, 1e-4);
  EXPECT_NEAR(*v.peakMilliamps, mA, 1e-9);
  EXPECT_NEAR(*v.Fhc, 0.0, 1e-4);
  EXPECT_NEAR(*v.F1c, 0.0, 1e-4);
  EXPECT_NEAR(*v.Flc, 0.0, 1e-4);
  EXPECT_EQ(v.peak, 1024.0f);
  for (auto* labels : {&form.LDC, &form.LAC, &form.LRms}) EXPECT_EQ((*labels)[6].text, "7.576");
  EXPECT_EQ(form.Peak[6].text, "7.58");
  EXPECT_EQ(form.L25H[6].text, "0.000");
  // Totals: the components summed, RMS as its square, the peak as maximum.
  EXPECT_NEAR(state.results[6].DCc, mA, 1e-4);
  EXPECT_NEAR(state.results[6].Rms, mA * mA, 1e-3);
  EXPECT_NEAR(state.results[6].MaxPeak, mA, 1e-5);
  EXPECT_EQ(state.peaks[6], 1024.0f);
  // Other channels keep their labels and totals.
  EXPECT_EQ(form.LDC[7].text, "old");
  EXPECT_EQ(state.results[7].DCc, 0.0f);
}

TEST_F(AnalyseChannelTest, FiftyHertzSineGivesItsRectifiedMeanAndRms) {
  // 250 frames per period at 80 us; the window holds five whole periods.
  const auto out = Analyse(RawBlock([](int k, int) { return Sine(1000, 250, k); }), 0, 0);
  const BlockValues& v = out.values;
  const double perCount = Milliamps(1, 330);
  // Mean rectified value 2/pi x 1000, times the 5-frame average's gain at 50 Hz.
  EXPECT_NEAR(*v.F1c, 2000.0 / M_PI * 0.99937 * perCount, 0.001);  // 4.707
  EXPECT_NEAR(*v.F1c, 4.707, 0.001);
  EXPECT_NEAR(*v.ALLc, 2000.0 / M_PI * perCount, 0.001);  // 4.710
  EXPECT_NEAR(*v.Rms, 1000.0 / std::sqrt(2.0) * perCount, 0.001);  // 5.231
  EXPECT_NEAR(*v.peakMilliamps, 1000.0 * perCount, 1e-9);  // 7.398
  EXPECT_NEAR(*v.DCc, 0.0, 1e-4);
  EXPECT_LT(*v.Fhc, 0.01);
  EXPECT_LT(*v.Flc, 0.01);
  EXPECT_EQ(form.LF1[0].text, "4.707");
  EXPECT_EQ(form.LRms[0].text, "5.231");
  EXPECT_EQ(form.Peak[0].text, "7.40");
}

TEST_F(AnalyseChannelTest, SineOfFiveFramesHasNoMovingSum) {
  // 2.5 kHz: every 5-frame sum of 0, 951, 588, -588, -951 is exactly 0.
  const auto out = Analyse(RawBlock([](int k, int) { return Sine(1000, 5, k); }), 3, 3);
  const BlockValues& v = out.values;
  EXPECT_EQ(*v.Fhc, *v.ALLc);
  EXPECT_EQ(*v.F1c, 0.0f);
  EXPECT_EQ(*v.Flc, 0.0f);
  EXPECT_EQ(*v.DCc, 0.0f);
  EXPECT_EQ(out.sinSum, 0.0f);
  EXPECT_EQ(out.cosSum, 0.0f);
  // Mean of |0|, 951, 588, 588, 951 over whole periods: 615.6 counts.
  EXPECT_NEAR(*v.ALLc, 615.6 * Milliamps(1, 330), 1e-4);
}

TEST_F(AnalyseChannelTest, AlternatingSamplesSplitIntoHighAndLowContent) {
  // +d, -d, ...: each 5-frame average is +-d/5 with the sign of its centre,
  // so |m/5 - x| = 0.8 d and |m| / 5 = 0.2 d.
  const int d = 660;  // 4.8828125 mA at 330 ohm
  const auto out = Analyse(RawBlock([d](int k, int) { return k % 2 == 0 ? d : -d; }), 1, 1);
  const double dmA = Milliamps(d, 330);
  EXPECT_DOUBLE_EQ(dmA, 4.8828125);
  const BlockValues& v = out.values;
  EXPECT_NEAR(*v.Fhc, 0.8 * dmA, 1e-4);
  EXPECT_NEAR(*v.Flc, 0.2 * dmA, 1e-3);
  EXPECT_NEAR(*v.ALLc, dmA, 1e-5);
  // The sum of squares (5.4e8) is held in single precision and drifts.
  EXPECT_NEAR(*v.Rms, dmA, 1e-4);
  EXPECT_NEAR(*v.DCc, 0.0, 1e-5);
  EXPECT_NEAR(*v.F1c, 0.0, 1e-3);
}

TEST_F(AnalyseChannelTest, TopCodeAndLongLabelsAreCut) {
  // 0x1FFF is 6143 counts: 45.4471 mA.  "0.000" gives 45.447, cut to 45.44;
  // "0.00" gives 45.45, cut to 45.4.
  SampleBlock raw(kMinSampleBlock, 0x1FFF);
  const auto out = Analyse(raw, 0, 2);
  EXPECT_EQ(out.values.peak, 6143.0f);
  // The moving sums add up to 3.8e7 in single precision, which drifts by
  // about 2e-5 of the value.
  EXPECT_NEAR(*out.values.DCc, 45.4471, 2e-3);
  EXPECT_EQ(form.LDC[2].text, "45.44");
  EXPECT_EQ(form.LAC[2].text, "45.44");
  EXPECT_EQ(form.Peak[2].text, "45.4");
}

TEST_F(AnalyseChannelTest, NegativeDirectCurrentKeepsItsSign) {
  // Code 1536 is -512 counts: DC -3.7879 mA, shown "-3.788" cut to "-3.78".
  const auto out = Analyse(ConstantBlock(-512), 0, 0);
  EXPECT_NEAR(*out.values.DCc, -3.787879, 1e-5);
  EXPECT_EQ(form.LDC[0].text, "-3.78");
  EXPECT_EQ(form.LAC[0].text, "3.788");
  EXPECT_NEAR(state.results[0].DCc, -3.787879, 1e-5);
}

TEST_F(AnalyseChannelTest, ShuntChangeAppliesToTheNextBlockOnly) {
  Analyse(ConstantBlock(1024), 0, 0);
  EXPECT_EQ(form.LDC[0].text, "7.576");
  form.Text1.text = "165Ω";  // the leading number counts
  Analyse(ConstantBlock(1024), 0, 0);
  EXPECT_EQ(form.LDC[0].text, "15.15");
  // The first block's value stays in the total as it was summed.
  EXPECT_NEAR(state.results[0].DCc, 2500.0 / 330 + 2500.0 / 165, 1e-4);
  EXPECT_NEAR(state.results[0].MaxPeak, 2500.0 / 165, 1e-5);
  // A smaller later peak leaves the maximum alone.
  Analyse(ConstantBlock(512), 0, 0);
  EXPECT_NEAR(state.results[0].MaxPeak, 2500.0 / 165, 1e-5);
  EXPECT_EQ(form.Peak[0].text, "7.58");  // 512 counts at 165 ohm: 7.5758 mA
}

TEST_F(AnalyseChannelTest, NoUsableShuntLeavesLabelsAndTotalsAlone) {
  for (const char* text : {"0", "abc", "-330", ""}) {
    SCOPED_TRACE(text);
    MarkLabels(4, "old");
    state.results[4] = ChannelTotals{};
    state.results[4].DCc = 2.0f;
    state.results[4].MaxPeak = 1.0f;
    form.Text1.text = text;
    const auto out = Analyse(ConstantBlock(1024), 0, 4);
    EXPECT_FALSE(out.values.DCc.has_value());
    EXPECT_FALSE(out.values.peakMilliamps.has_value());
    for (auto* labels : {&form.L25H, &form.LDC, &form.LF1, &form.LAC, &form.LRms, &form.L25L, &form.Peak})
      EXPECT_EQ((*labels)[4].text, "old");
    EXPECT_EQ(state.results[4].DCc, 2.0f);
    EXPECT_EQ(state.results[4].Rms, 0.0f);
    EXPECT_EQ(state.results[4].MaxPeak, 1.0f);
    // The peak in counts needs no shunt and is still kept.
    EXPECT_EQ(state.peaks[4], 1024.0f);
  }
}

TEST_F(AnalyseChannelTest, OverflowingConversionIsSkipped) {
  // A shunt so small that the currents leave the range of a single.
  form.Text1.text = "1e-40";
  MarkLabels(0, "old");
  const auto out = Analyse(ConstantBlock(1024), 0, 0);
  EXPECT_FALSE(out.values.DCc.has_value());
  EXPECT_EQ(form.LDC[0].text, "old");
  EXPECT_TRUE(std::isfinite(state.results[0].DCc));
  EXPECT_TRUE(std::isfinite(state.results[0].MaxPeak));
}

TEST_F(AnalyseChannelTest, ShortBlockOrOutOfRangeChannelTouchesNothing) {
  SampleBlock shortBlock(5000, 2048);
  EXPECT_FALSE(AnalyseChannel(shortBlock, 0, 0, form, state).has_value());
  EXPECT_FALSE(AnalyseChannel(ConstantBlock(0), 4, 0, form, state).has_value());
  SampleBlock raw = ConstantBlock(1024);
  ConvertBlock(raw);
  const ChannelResults before = state.results;
  const auto out = AnalyseChannel(raw, 0, 16, form, state);
  ASSERT_TRUE(out.has_value());
  EXPECT_NEAR(*out->values.DCc, 2500.0 / 330, 1e-4);
  EXPECT_EQ(state.results[15].DCc, before[15].DCc);
}

}  // namespace
}  // namespace varnel::analysis
