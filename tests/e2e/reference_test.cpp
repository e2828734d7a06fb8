// The reference that the end-to-end tests compare stored records with must
// itself be right: hand-worked blocks, and the profile's parameters (the
// amplitudes, DC offsets and noise the card stand-in is built from).
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "profile_reference.h"
#include "system_expectations.h"

namespace e2e {
namespace {

constexpr double kMaPerCount = 10.0 / 4096.0 / 330.0 * 1000.0;  // 0.0073982 mA

std::vector<double> Block(double (*f)(int)) {
  std::vector<double> x(1260);
  for (int k = 0; k < 1260; ++k) x[static_cast<size_t>(k)] = f(k);
  return x;
}

TEST(DefinitionReference, ConstantCurrentIsAllDc) {
  const BlockValues v = AnalyseByDefinition(Block([](int) { return 1024.0; }), {});
  EXPECT_NEAR(v.dcc, 7.5758, 1e-4);
  EXPECT_NEAR(v.allc, 7.5758, 1e-4);
  EXPECT_NEAR(v.rms, 7.5758, 1e-4);
  EXPECT_NEAR(v.peak, 7.5758, 1e-4);
  EXPECT_NEAR(v.f1c, 0, 1e-9);
  EXPECT_NEAR(v.fhc, 0, 1e-9);
  EXPECT_NEAR(v.flc, 0, 1e-9);
  // 1024 counts = 7.58 mA: above every detection level but 10 mA.
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(v.timePct[static_cast<size_t>(j)], 100.0);
    EXPECT_EQ(v.halfPct[static_cast<size_t>(j)], 100.0);
  }
}

TEST(DefinitionReference, FiftyHertzSineOfThousandCounts) {
  // 1000 counts = 7.398 mA peak; mean rectified 2/pi of it is 4.710 mA, and
  // the 5-sample average passes 50 Hz with a gain of 0.99937 (4.707 mA).
  const BlockValues v =
      AnalyseByDefinition(Block([](int k) { return 1000.0 * std::sin(2 * std::numbers::pi * 50 * k * 80e-6); }), {});
  EXPECT_NEAR(v.f1c, 4.707, 0.001);
  EXPECT_NEAR(v.allc, 4.710, 0.001);
  EXPECT_NEAR(v.rms, 5.231, 0.001);
  EXPECT_NEAR(v.peak, 7.398, 0.001);
  EXPECT_NEAR(v.dcc, 0, 1e-6);
  EXPECT_LT(v.fhc, 0.01);
  EXPECT_LT(v.flc, 0.01);
  // 5 mA is 67.6 % of the peak: reached in every half cycle, for
  // 1 - 2/pi * asin(5 / 7.398) = 52.8 % of the time.
  EXPECT_EQ(v.halfPct[3], 100.0);
  EXPECT_NEAR(v.timePct[3], 52.8, 0.2);
}

TEST(DefinitionReference, AlternatingSamplesAreHighFrequencyContent) {
  // +d, -d, ...: the 5-sample average is +-d/5, so |x - avg| = 0.8 d and the
  // residual of the average is 0.2 d.
  const BlockValues v = AnalyseByDefinition(Block([](int k) { return k % 2 == 0 ? 100.0 : -100.0; }), {});
  EXPECT_NEAR(v.fhc, 80 * kMaPerCount, 1e-9);
  EXPECT_NEAR(v.flc, 20 * kMaPerCount, 1e-3);
  EXPECT_NEAR(v.allc, 100 * kMaPerCount, 1e-9);
  EXPECT_NEAR(v.rms, 100 * kMaPerCount, 1e-9);
}

class ProfileReference : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    profile_ = new cardsim::Profile(cardsim::InsulatorProfile(50, 1));
    reference_ = new Reference(ComputeReference(*profile_, 2, 4, 200, {}));
  }
  static void TearDownTestSuite() {
    delete reference_;
    delete profile_;
  }
  static cardsim::Profile* profile_;
  static Reference* reference_;
};
cardsim::Profile* ProfileReference::profile_ = nullptr;
Reference* ProfileReference::reference_ = nullptr;

// The stream mean of every channel against its parameters.  Tolerances: half
// a count of rounding (0.0037 mA), and what the discharge bursts can add: a
// burst starts on its half cycle's own sign, so over time it adds at most
// chance x 2f x (largest peak x decay time) of charge per second, to the DC
// and to the fundamental (in phase with it) alike.
TEST_F(ProfileReference, MeansFollowTheProfileParameters) {
  const double gain50 = std::sin(5 * std::numbers::pi * 50 * 80e-6) / (5 * std::sin(std::numbers::pi * 50 * 80e-6));
  for (int i = 0; i < 16; ++i) {
    SCOPED_TRACE("channel index " + std::to_string(i));
    const auto& p = profile_->channels[static_cast<size_t>(i)];
    const ChannelReference& r = reference_->channels[static_cast<size_t>(i)];
    const double burstRate = p.burstChance * 2 * 50 * p.burstMa * p.burstDecayUs * 1e-6;
    const double rounding = kMaPerCount / 2;
    EXPECT_NEAR(r.dcc.mean, p.dcMa, rounding + burstRate);
    EXPECT_NEAR(r.f1c.mean, 2 / std::numbers::pi * p.fundamentalMa * gain50, rounding + 2 * burstRate);
    // Power of the sine components, the DC, uniform noise (a^2 / 3) and
    // rounding (1/12 count^2); bursts only add.
    const double a = p.fundamentalMa;
    const double power = a * a / 2 * (1 + p.harmonic3 * p.harmonic3 + p.harmonic5 * p.harmonic5) + p.dcMa * p.dcMa +
                         p.noiseMa * p.noiseMa / 3 + kMaPerCount * kMaPerCount / 12;
    const double burstPower = p.burstChance * 2 * 50 * p.burstMa * p.burstMa * p.burstDecayUs * 1e-6 / 2;
    EXPECT_GE(r.rmsSquared.mean, power * 0.98);
    EXPECT_LE(r.rmsSquared.mean, (power + burstPower) * 1.02 + 1e-6);
    EXPECT_LE(r.peak.max, r.peakCeilingMa);
    EXPECT_GE(r.peak.min, DeterministicPeakMa(*profile_, i) - p.noiseMa - rounding);
  }
}

// The ladder of the profile: the clean channels never reach 0.5 mA, the
// four most polluted ones reach 2 mA in every half cycle, and the last one
// reaches 5 mA in every half cycle.
TEST_F(ProfileReference, DetectionLevelsAreCrossedAlongTheLadder) {
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(reference_->channels[static_cast<size_t>(i)].timePct[0].max, 0) << i;
    EXPECT_EQ(reference_->channels[static_cast<size_t>(i)].halfPct[0].max, 0) << i;
  }
  for (int i = 12; i < 16; ++i) EXPECT_EQ(reference_->channels[static_cast<size_t>(i)].halfPct[2].min, 100) << i;
  EXPECT_EQ(reference_->channels[15].halfPct[3].min, 100);
  for (int i = 1; i < 16; ++i)
    EXPECT_GE(reference_->channels[static_cast<size_t>(i)].timePct[0].mean,
              reference_->channels[static_cast<size_t>(i - 1)].timePct[0].mean)
        << i;
}

// The system run sets the waveform trigger of the last insulator so that a
// few of its sweeps in a minute pass it: not never, not every sweep.
TEST_F(ProfileReference, PeakTriggerLevelOfTheSystemRunFiresNowAndThen) {
  int above = 0;
  const auto& blocks = reference_->channels[15].blocks;
  for (const BlockValues& b : blocks)
    if (b.peak > kPeakTriggerMa) ++above;
  const double share = static_cast<double>(above) / static_cast<double>(blocks.size());
  EXPECT_GT(share, 0.02);
  EXPECT_LT(share, 0.5);
}

}  // namespace
}  // namespace e2e
