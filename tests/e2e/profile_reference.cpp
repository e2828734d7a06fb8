#include "profile_reference.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace e2e {
namespace {

constexpr int kPoints = 1250;         // moving-average points of one block
constexpr int kFramesPerBlock = 1260;  // samples per channel of one acquisition
constexpr double kFrameSeconds = 80e-6;

}  // namespace

double MilliampsPerCount(double shuntOhm) { return 10.0 / 4096.0 / shuntOhm * 1000.0; }

BlockValues AnalyseByDefinition(std::span<const double> x, const AnalysisSettings& s) {
  const double mA = MilliampsPerCount(s.shuntOhm);
  const double halfPeriod = 1.0 / s.powerHz / 2.0 / kFrameSeconds;  // frames
  const double theta = std::numbers::pi / halfPeriod;                // radians per frame

  std::array<double, kPoints> avg{};
  double dc = 0, sinC = 0, cosC = 0;
  for (int b = 0; b < kPoints; ++b) {
    double sum = 0;
    for (int k = 0; k < 5; ++k) sum += x[static_cast<size_t>(b + k)];
    avg[static_cast<size_t>(b)] = sum / 5;
    dc += sum / 5;
    sinC += sum / 5 * std::sin(theta * b);
    cosC += sum / 5 * std::cos(theta * b);
  }
  dc /= kPoints;
  sinC *= 2.0 / kPoints;
  cosC *= 2.0 / kPoints;

  BlockValues v;
  double high = 0, low = 0, absSum = 0, sq = 0, peak = 0;
  for (int b = 0; b < kPoints; ++b) {
    const double y = x[static_cast<size_t>(b + 2)];
    const double a = avg[static_cast<size_t>(b)];
    high += std::abs(a - y);
    low += std::abs(a - dc - sinC * std::sin(theta * b) - cosC * std::cos(theta * b));
    absSum += std::abs(y);
    sq += y * y;
    peak = std::max(peak, std::abs(y));
  }
  v.fhc = high / kPoints * mA;
  v.dcc = dc * mA;
  v.f1c = 2.0 / std::numbers::pi * std::hypot(sinC, cosC) * mA;
  v.flc = low / kPoints * mA;
  v.allc = absSum / kPoints * mA;
  v.rms = std::sqrt(sq / kPoints) * mA;
  v.peak = peak * mA;

  // Half cycles run between zero crossings of the fitted fundamental
  // A sin(theta b + psi): b = k * halfPeriod - psi / theta.
  const double psi = std::atan2(cosC, sinC);
  double offset = std::fmod(-psi / theta, halfPeriod);
  if (offset < 0) offset += halfPeriod;
  const int halfCycles = static_cast<int>(std::lround(kPoints / halfPeriod));
  for (size_t j = 0; j < s.thresholdsMa.size(); ++j) {
    const double level = s.thresholdsMa[j] / mA;  // counts
    int atOrAbove = 0;
    for (int b = 0; b < kPoints; ++b)
      if (std::abs(x[static_cast<size_t>(b + 2)]) >= level) ++atOrAbove;
    v.timePct[j] = 100.0 * atOrAbove / kPoints;
    int reached = 0;
    for (int a = 0; a < halfCycles; ++a) {
      const long first = std::lround(offset + a * halfPeriod);
      const long last = std::lround(offset + (a + 1) * halfPeriod);
      for (long k = first; k <= last; ++k) {
        if (std::abs(x[static_cast<size_t>(k % kPoints + 2)]) >= level) {
          ++reached;
          break;
        }
      }
    }
    v.halfPct[j] = 100.0 * reached / halfCycles;
  }
  return v;
}

Spread SpreadOf(std::vector<double> values) {
  Spread s;
  if (values.empty()) return s;
  double sum = 0;
  for (double v : values) sum += v;
  s.mean = sum / static_cast<double>(values.size());
  double var = 0;
  for (double v : values) var += (v - s.mean) * (v - s.mean);
  s.sd = values.size() > 1 ? std::sqrt(var / static_cast<double>(values.size() - 1)) : 0;
  std::sort(values.begin(), values.end());
  s.min = values.front();
  s.max = values.back();
  s.median = values[values.size() / 2];
  return s;
}

double DeterministicPeakMa(const cardsim::Profile& profile, int channelIndex) {
  cardsim::Profile quiet = profile;
  auto& ch = quiet.channels[static_cast<size_t>(channelIndex)];
  ch.noiseMa = 0;
  ch.burstChance = 0;
  double peak = 0;
  constexpr int kSteps = 20000;
  for (int i = 0; i < kSteps; ++i) {
    const double t = i / (kSteps * profile.powerHz);
    peak = std::max(peak, std::abs(cardsim::CurrentMa(quiet, channelIndex, 0, t)));
  }
  return peak;
}

Reference ComputeReference(const cardsim::Profile& profile, int cardType, int groups, int blocksPerGroup,
                           const AnalysisSettings& settings) {
  Reference ref;
  const std::array<uint16_t, 4> channelList{0, 1, 2, 3};
  std::vector<uint16_t> codes(kFramesPerBlock * channelList.size());
  std::vector<double> counts(kFramesPerBlock);
  for (int n = 0; n < blocksPerGroup * groups; ++n) {
    const int group = n % groups;
    cardsim::FillScanFrames(profile, cardType, group, channelList, static_cast<uint64_t>(n) * kFramesPerBlock,
                            kFrameSeconds, codes);
    for (size_t c = 0; c < channelList.size(); ++c) {
      for (size_t k = 0; k < kFramesPerBlock; ++k)
        counts[k] = static_cast<double>(codes[k * channelList.size() + c] & 0x1FFF) - 2048.0;
      ref.channels[static_cast<size_t>(group * 4) + c].blocks.push_back(AnalyseByDefinition(counts, settings));
    }
  }
  const double halfCount = MilliampsPerCount(settings.shuntOhm) / 2;
  for (int i = 0; i < groups * 4; ++i) {
    ChannelReference& r = ref.channels[static_cast<size_t>(i)];
    auto spread = [&r](auto field) {
      std::vector<double> v;
      for (const BlockValues& b : r.blocks) v.push_back(field(b));
      return SpreadOf(std::move(v));
    };
    r.fhc = spread([](const BlockValues& b) { return b.fhc; });
    r.f1c = spread([](const BlockValues& b) { return b.f1c; });
    r.flc = spread([](const BlockValues& b) { return b.flc; });
    r.dcc = spread([](const BlockValues& b) { return b.dcc; });
    r.allc = spread([](const BlockValues& b) { return b.allc; });
    r.peak = spread([](const BlockValues& b) { return b.peak; });
    r.rmsSquared = spread([](const BlockValues& b) { return b.rms * b.rms; });
    for (size_t j = 0; j < 4; ++j) {
      r.timePct[j] = spread([j](const BlockValues& b) { return b.timePct[j]; });
      r.halfPct[j] = spread([j](const BlockValues& b) { return b.halfPct[j]; });
    }
    const auto& p = profile.channels[static_cast<size_t>(i)];
    r.peakCeilingMa = DeterministicPeakMa(profile, i) + p.noiseMa + std::max(p.burstMa, 0.0) + halfCount;
  }
  return ref;
}

}  // namespace e2e
