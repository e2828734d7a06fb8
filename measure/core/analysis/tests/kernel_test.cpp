// The block kernel SumBlock against the straightforward one-channel sums
// SumChannel, bit for bit: every stored single depends on the order and the
// rounding of each addition, so "close" is not good enough.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "form/form.h"
#include "form/state.h"

namespace varnel::analysis {
namespace {

// Converted counts of a whole block: `count(k, ch)` is sample k of A/D
// channel ch (frames k = 0..1259, as the card delivers 5040 samples).
SampleBlock Block(const std::function<int(int k, int ch)>& count) {
  SampleBlock block(kMinSampleBlock, 0);
  for (int k = 0; k < 1260; ++k)
    for (int ch = 0; ch < kFrameEntries; ++ch)
      block[static_cast<std::size_t>(kFrameEntries * k + ch)] = static_cast<int16_t>(count(k, ch));
  return block;
}

// Raw codes as the card delivers them, converted as the cycle does.
SampleBlock FromCodes(const std::function<int(int k, int ch)>& code) {
  SampleBlock block = Block(code);
  ConvertBlock(block);
  return block;
}

std::vector<int16_t> Channel(const SampleBlock& block, int ch) {
  std::vector<int16_t> x(kSamplesRead);
  EXPECT_TRUE(GatherChannel(block, ch, x));
  return x;
}

uint32_t Bits(float v) { return std::bit_cast<uint32_t>(v); }

// Every field of the kernel's sums of every channel has the bits of the
// reference's.
void ExpectSameBits(const SampleBlock& block, const FrequencyTables& tables, const std::string& what) {
  SCOPED_TRACE(what);
  const auto sums = SumBlock(block, tables);
  ASSERT_TRUE(sums.has_value());
  for (int ch = 0; ch < kFrameEntries; ++ch) {
    SCOPED_TRACE("channel " + std::to_string(ch));
    const ChannelSums want = SumChannel(Channel(block, ch), tables);
    const ChannelSums& got = (*sums)[static_cast<std::size_t>(ch)];
    EXPECT_EQ(Bits(got.sumHigh), Bits(want.sumHigh)) << got.sumHigh << " vs " << want.sumHigh;
    EXPECT_EQ(Bits(got.sumDc), Bits(want.sumDc)) << got.sumDc << " vs " << want.sumDc;
    EXPECT_EQ(Bits(got.sinSum), Bits(want.sinSum)) << got.sinSum << " vs " << want.sinSum;
    EXPECT_EQ(Bits(got.cosSum), Bits(want.cosSum)) << got.cosSum << " vs " << want.cosSum;
    EXPECT_EQ(Bits(got.meanSum), Bits(want.meanSum)) << got.meanSum << " vs " << want.meanSum;
    EXPECT_EQ(Bits(got.sumAbs), Bits(want.sumAbs)) << got.sumAbs << " vs " << want.sumAbs;
    EXPECT_EQ(Bits(got.sumSq), Bits(want.sumSq)) << got.sumSq << " vs " << want.sumSq;
    EXPECT_EQ(Bits(got.sumLow), Bits(want.sumLow)) << got.sumLow << " vs " << want.sumLow;
    EXPECT_EQ(Bits(got.peak), Bits(want.peak)) << got.peak << " vs " << want.peak;
  }
}

FrequencyTables Tables(int hertz) {
  PolModeForm form = MakeDesignForm();
  SelectOption(form.Option2, hertz == 50 ? 0 : 1);
  FrequencyTables tables;
  BuildFrequencyTables(form, tables);
  return tables;
}

class SumBlockTest : public ::testing::TestWithParam<int> {
 protected:
  FrequencyTables tables = Tables(GetParam());
};

TEST_P(SumBlockTest, ExtremeBlocksGiveTheReferenceBits) {
  const int top = 0x1FFF - 2048;  // 6143 counts
  const int bottom = -2048;
  ExpectSameBits(FromCodes([](int, int) { return 0; }), tables, "all codes 0");
  ExpectSameBits(FromCodes([](int, int) { return 0x1FFF; }), tables, "all codes 0x1FFF");
  ExpectSameBits(FromCodes([](int, int) { return 2048; }), tables, "mid scale");
  ExpectSameBits(FromCodes([](int k, int) { return k % 2 == 0 ? 0x1FFF : 0; }), tables, "alternating extremes");
  ExpectSameBits(FromCodes([](int k, int ch) { return (k + ch) % 2 == 0 ? 0x1FFF : 0; }), tables,
                 "alternating extremes, channels out of step");
  ExpectSameBits(FromCodes([](int k, int ch) { return (k / (ch + 1)) % 2 == 0 ? 0xFFFF : 0xE000; }), tables,
                 "bits above the 13 dropped");
  ExpectSameBits(Block([&](int k, int ch) {
                   if (ch == 2) return k % 5 ? top : bottom;
                   return ch == 0 ? top : ch == 1 ? bottom : 0;
                 }),
                 tables, "one extreme per channel");
  ExpectSameBits(Block([&](int k, int) { return k == 2 || k == 1251 ? top : 0; }), tables,
                 "spikes at the window's ends");
  // Whatever a snapshot file may hold: the full 16-bit range.
  ExpectSameBits(Block([](int k, int ch) { return (k + ch) % 3 == 0 ? -32768 : 32767; }), tables, "full 16 bits");
}

TEST_P(SumBlockTest, SinesAndShuntsWorthOfSignalsGiveTheReferenceBits) {
  // Mains currents as the sites see them: the fundamental of both supply
  // frequencies with harmonics, offsets and discharge spikes, at amplitudes
  // from a few counts to the full range.
  const double amplitudes[] = {3, 40, 400, 2000, 6000};
  for (const double a : amplitudes) {
    for (const double period : {250.0, 1250.0 / 6}) {
      ExpectSameBits(Block([&](int k, int ch) {
                       const double t = 2 * M_PI * k / period;
                       double v = a * std::sin(t + 0.7 * ch) + 0.15 * a * std::sin(3 * t) + 25 * (ch - 1);
                       if (k % 113 == 7 * ch) v += 900;
                       return static_cast<int>(std::clamp(std::lround(v), -2048L, 6143L));
                     }),
                     tables, "sine of " + std::to_string(a) + " counts, period " + std::to_string(period));
    }
  }
  // A sine whose moving sums vanish (2.5 kHz) and one in step with the table.
  ExpectSameBits(Block([](int k, int) { return static_cast<int>(std::lround(1000 * std::sin(2 * M_PI * k / 5))); }),
                 tables, "2.5 kHz");
}

TEST_P(SumBlockTest, RandomBlocksGiveTheReferenceBits) {
  std::mt19937 random(20240517u + static_cast<unsigned>(GetParam()));
  std::uniform_int_distribution<int> code(0, 0xFFFF);
  std::uniform_int_distribution<int> small(-30, 30);
  for (int round = 0; round < 200; ++round) {
    // Noise over the whole range, and small noise around a random level,
    // where the sums of a single lose the most bits.
    if (round % 2 == 0) {
      ExpectSameBits(FromCodes([&](int, int) { return code(random); }), tables,
                     "random codes " + std::to_string(round));
    } else {
      const int level = code(random) % 8192 - 2048;
      ExpectSameBits(Block([&](int, int) { return std::clamp(level + small(random), -2048, 6143); }), tables,
                     "random level " + std::to_string(round));
    }
    if (::testing::Test::HasFailure()) return;  // one block's report is enough
  }
}

INSTANTIATE_TEST_SUITE_P(PowerFrequencies, SumBlockTest, ::testing::Values(50, 60),
                         [](const auto& p) { return std::to_string(p.param) + "Hz"; });

TEST(SumBlock, ShortBlockIsNotSummed) {
  const FrequencyTables tables = Tables(50);
  EXPECT_FALSE(SumBlock(std::vector<int16_t>(kBlockEntriesRead - 1, 0), tables).has_value());
  EXPECT_TRUE(SumBlock(std::vector<int16_t>(kBlockEntriesRead, 0), tables).has_value());
}

}  // namespace
}  // namespace varnel::analysis
