// The synthetic signal: codes against hand-worked values.
#include "profile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace cardsim;

namespace {

Profile Parsed(const std::string& description, double hz = 50, uint64_t seed = 1) {
  Profile p;
  p.powerHz = hz;
  p.seed = seed;
  std::string error;
  EXPECT_TRUE(ParseProfile(description, p, error)) << error;
  return p;
}

// A profile whose only component is a DC level per channel index.
Profile DcOnly(double maPerIndex) {
  Profile p;
  p.kind = ProfileKind::Insulators;
  for (int i = 0; i < kChannelIndexes; ++i) p.channels[static_cast<size_t>(i)].dcMa = i * maPerIndex;
  return p;
}

TEST(CardProfile, CodesAreMidScalePlusCountsRoundedAndFlaggedOutOfRange) {
  EXPECT_EQ(CodeFromCounts(0), 2048);
  EXPECT_EQ(CodeFromCounts(1000.4), 3048);
  EXPECT_EQ(CodeFromCounts(-0.6), 2047);
  EXPECT_EQ(CodeFromCounts(-2048), 0);          // -5 V: lowest code, in range
  EXPECT_EQ(CodeFromCounts(2047), 4095);        // highest code in range
  EXPECT_EQ(CodeFromCounts(2048), 0x1FFF);      // +5 V is past the top: clamped, bit 12
  EXPECT_EQ(CodeFromCounts(-2049), 0x1000);     // below the bottom: 0, bit 12
  EXPECT_EQ(CodeFromCounts(std::nan("")), 0x1000);
}

TEST(CardProfile, SineProfileMatchesHandComputedCodes) {
  // 1000 counts at 50 Hz sampled every 80 us: frame k is at t = 80k us.
  const Profile p = Parsed("sine:1000");
  const double dt = 80e-6;
  auto code = [&](uint64_t k) { return SampleCode(p, 2, 0, k, static_cast<double>(k) * dt); };
  EXPECT_EQ(code(0), 2048);
  EXPECT_EQ(code(25), 2636);   // 2 ms: sin 36 deg = 0.587785
  EXPECT_EQ(code(50), 2999);   // 4 ms: sin 72 deg = 0.951057
  EXPECT_EQ(code(125), 2048);  // 10 ms: half a cycle
  EXPECT_EQ(code(150), 1460);  // 12 ms: sin 216 deg = -0.587785
  // Every channel index carries the same sine.
  EXPECT_EQ(SampleCode(p, 2, 13, 50, 50 * dt), 2999);

  // 60 Hz: a quarter cycle is 1/240 s.
  const Profile p60 = Parsed("sine:1000", 60);
  EXPECT_EQ(SampleCode(p60, 2, 0, 1, 1.0 / 240), 3048);

  // Past the range both ways.
  const Profile big = Parsed("sine:3000");
  EXPECT_EQ(SampleCode(big, 2, 0, 50, 50 * dt), 0x1FFF);   // 2048 + 2853
  EXPECT_EQ(SampleCode(big, 2, 0, 175, 175 * dt), 0x1000); // 2048 - 2853
}

TEST(CardProfile, ZeroAndConstantProfiles) {
  EXPECT_EQ(SampleCode(Parsed("zero"), 1, 3, 7, 0.1), 2048);
  EXPECT_EQ(SampleCode(Parsed("constant:5000"), 2, 3, 7, 0.1), 5000);
  EXPECT_EQ(SampleCode(Parsed("constant:0"), 2, 0, 0, 0), 0);
}

TEST(CardProfile, CurrentToCodePerCardType) {
  // 330 ohm: 1 mA is 0.33 V.  Type 2: 409.6 codes per volt -> 135.168 per mA.
  EXPECT_DOUBLE_EQ(CountsPerMa(2, 330), 135.168);
  // Type 1: 1638.4 codes per volt -> 540.672 per mA.
  EXPECT_DOUBLE_EQ(CountsPerMa(1, 330), 540.672);
  Profile p = DcOnly(0.0);
  p.channels[0].dcMa = 1.0;
  EXPECT_EQ(SampleCode(p, 2, 0, 0, 0), 2183);  // 2048 + 135.168
  EXPECT_EQ(SampleCode(p, 1, 0, 0, 0), 2589);  // 2048 + 540.672
  p.channels[0].dcMa = -4.0;                   // -1.32 V: below a type 1 card's range
  EXPECT_EQ(SampleCode(p, 1, 0, 0, 0), 0x1000);
  EXPECT_EQ(SampleCode(p, 2, 0, 0, 0), 1507);  // 2048 - 540.672
}

TEST(CardProfile, ScanFramesFollowTheChannelListAndTheGroup) {
  // Channel index i carries i * 0.1 mA; group 1 reads indexes 4..7.
  const Profile p = DcOnly(0.1);
  const std::vector<uint16_t> list{0, 1, 2, 3};
  std::vector<uint16_t> out(9, 0xFFFF);
  FillScanFrames(p, 2, 1, list, 0, 80e-6, out);
  // 0.4, 0.5, 0.6, 0.7 mA -> 2048 + 54.07, 67.58, 81.10, 94.62
  const std::vector<uint16_t> expected{2102, 2116, 2129, 2143, 2102, 2116, 2129, 2143, 2102};
  EXPECT_EQ(out, expected);

  // Scan order is the list's order, not the channel numbers' order.
  const std::vector<uint16_t> reversed{3, 0};
  std::vector<uint16_t> two(2);
  FillScanFrames(p, 2, 0, reversed, 0, 80e-6, two);
  EXPECT_EQ(two, (std::vector<uint16_t>{2089, 2048}));  // 0.3 mA, 0 mA

  EXPECT_EQ(ChannelIndex(3, 3), 15);
  EXPECT_EQ(ChannelIndex(3, 7), 3);  // beyond 16 wraps
  EXPECT_EQ(ChannelIndex(0, 0), 0);
}

TEST(CardProfile, HarmonicsAddAtTheirOwnFrequencies) {
  Profile p = DcOnly(0.0);
  ChannelParams& ch = p.channels[2];
  ch.fundamentalMa = 1.0;
  ch.phaseDeg = 90;
  ch.harmonic3 = 0.1;
  ch.harmonic5 = 0.05;
  EXPECT_NEAR(CurrentMa(p, 2, 0, 0.0), 1.0, 1e-12);
  // 5 ms at 50 Hz: fundamental at 180 deg (0), 3rd at 3*90 deg (-0.1), 5th at 5*90 deg (+0.05).
  EXPECT_NEAR(CurrentMa(p, 2, 0, 0.005), -0.05, 1e-12);
  EXPECT_NEAR(CurrentMa(p, 3, 0, 0.005), 0.0, 1e-12);  // other channels unaffected
}

TEST(CardProfile, NoiseIsDeterministicPerSeedAndBounded) {
  double sum = 0, lo = 1, hi = -1;
  int differ = 0;
  for (uint64_t k = 0; k < 20000; ++k) {
    const double a = NoiseUnit(7, 3, k);
    EXPECT_EQ(a, NoiseUnit(7, 3, k));
    differ += a != NoiseUnit(8, 3, k);
    sum += a;
    lo = std::min(lo, a);
    hi = std::max(hi, a);
  }
  EXPECT_GE(lo, -1.0);
  EXPECT_LT(hi, 1.0);
  EXPECT_LT(lo, -0.99);
  EXPECT_GT(hi, 0.99);
  EXPECT_NEAR(sum / 20000, 0.0, 0.02);
  EXPECT_GT(differ, 19900);

  // Whole profiles: same seed, same samples; another seed, other samples.
  const Profile a = InsulatorProfile(50, 11), b = InsulatorProfile(50, 11), c = InsulatorProfile(50, 12);
  std::vector<uint16_t> list{0, 1, 2, 3}, sa(4000), sb(4000), sc(4000);
  FillScanFrames(a, 2, 3, list, 1000, 80e-6, sa);
  FillScanFrames(b, 2, 3, list, 1000, 80e-6, sb);
  FillScanFrames(c, 2, 3, list, 1000, 80e-6, sc);
  EXPECT_EQ(sa, sb);
  EXPECT_NE(sa, sc);
}

TEST(CardProfile, BurstsFollowTheHalfCycleSignAndDecay) {
  ChannelParams ch;
  ch.burstChance = 1.0;  // every half cycle
  ch.burstMa = 2.0;
  ch.burstDecayUs = 300;
  // 50 Hz, phase 0: half cycle 0 is 0..10 ms (positive), 1 is 10..20 ms.
  EXPECT_EQ(BurstMa(ch, 1, 0, 50, 0.0001), 0.0);      // before any burst starts (a quarter in)
  EXPECT_GT(BurstMa(ch, 1, 0, 50, 0.0049), 0.0);      // half way in: burst running, positive
  EXPECT_LT(BurstMa(ch, 1, 0, 50, 0.0149), 0.0);      // next half cycle: negative
  EXPECT_LE(BurstMa(ch, 1, 0, 50, 0.0049), 2.0);
  EXPECT_LT(std::abs(BurstMa(ch, 1, 0, 50, 0.0099)), 0.1);  // decayed by the end
  ch.burstChance = 0;
  EXPECT_EQ(BurstMa(ch, 1, 0, 50, 0.0049), 0.0);

  // With a chance of 0.1 about one half cycle in ten carries a burst.
  ch.burstChance = 0.1;
  int hits = 0;
  for (int h = 0; h < 4000; ++h) hits += BurstMa(ch, 5, 2, 50, h * 0.01 + 0.0099 - 0.0005) != 0.0 ? 1 : 0;
  EXPECT_NEAR(hits / 4000.0, 0.1, 0.02);
}

// The default sixteen insulators cover every detection level.
TEST(CardProfile, DefaultInsulatorsRangeFromCleanToPollutedWithoutOverload) {
  const Profile p = InsulatorProfile(50, 1);
  std::vector<double> peak(kChannelIndexes, 0.0);
  bool overload = false;
  const double dt = 80e-6;
  for (int ch = 0; ch < kChannelIndexes; ++ch) {
    for (uint64_t k = 0; k < 25000; ++k) {  // 2 s
      const double t = static_cast<double>(k) * dt;
      const uint16_t code = SampleCode(p, 2, ch, k, t);
      overload |= (code & 0x1000) != 0;
      // The measuring program's scale: counts * 10 / 4096 / 330 * 1000 mA.
      const double ma = std::abs((code - 2048) * 10.0 / 4096 / 330 * 1000);
      peak[static_cast<size_t>(ch)] = std::max(peak[static_cast<size_t>(ch)], ma);
    }
  }
  EXPECT_FALSE(overload);
  EXPECT_LT(peak[0], 0.5);   // clean and dry: below every threshold
  EXPECT_LT(peak[3], 0.5);
  EXPECT_GT(peak[5], 0.5);
  EXPECT_LT(peak[5], 1.0);   // no waveform-save trigger yet
  EXPECT_GT(peak[7], 1.0);   // bursts trip the 1 mA trigger
  EXPECT_GT(peak[11], 2.0);
  EXPECT_LT(peak[10], 5.0);
  EXPECT_GT(peak[15], 5.0);  // polluted and wet
  for (int ch = 1; ch < kChannelIndexes; ++ch) EXPECT_GE(peak[ch] * 1.05, peak[ch - 1]) << ch;
}

TEST(CardProfile, ParseRejectsBadSpecsAndKeepsFrequencyAndSeed) {
  Profile p;
  p.powerHz = 60;
  p.seed = 99;
  std::string error;
  for (const char* bad : {"constant:8192", "constant:", "constant:x", "sine:-1", "sine:abc", "pink", "zero:1", ""}) {
    error.clear();
    EXPECT_FALSE(ParseProfile(bad, p, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  ASSERT_TRUE(ParseProfile("sine:12.5", p, error));
  EXPECT_EQ(p.kind, ProfileKind::Sine);
  EXPECT_EQ(p.sineCounts, 12.5);
  EXPECT_EQ(p.powerHz, 60);
  EXPECT_EQ(p.seed, 99u);
  ASSERT_TRUE(ParseProfile("default", p, error));
  EXPECT_EQ(p.kind, ProfileKind::Insulators);
  EXPECT_EQ(p.powerHz, 60);
  EXPECT_EQ(p.seed, 99u);
  EXPECT_GT(p.channels[15].fundamentalMa, p.channels[0].fundamentalMa);
}

}  // namespace
