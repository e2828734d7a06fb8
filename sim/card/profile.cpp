#include "profile.h"

#include <charconv>
#include <cmath>
#include <numbers>

namespace cardsim {
namespace {

uint64_t Mix(uint64_t x) {  // splitmix64's finaliser
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A number in [0, 1) from a seed and three keys.
double Unit(uint64_t seed, uint64_t a, uint64_t b, uint64_t c) {
  const uint64_t h = Mix(Mix(Mix(seed ^ Mix(a)) ^ b) ^ c);
  return static_cast<double>(h >> 11) * 0x1.0p-53;
}

double Radians(double deg) { return deg * std::numbers::pi / 180.0; }

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

Profile InsulatorProfile(double powerHz, uint64_t seed) {
  Profile p;
  p.kind = ProfileKind::Insulators;
  p.powerHz = powerHz;
  p.seed = seed;
  // fundamental, phase, h3, h3 phase, h5, h5 phase, dc, noise,
  // burst chance per half cycle, burst peak, burst decay
  p.channels = {{
      {0.12, 85, 0.01, 0, 0.00, 0, 0.000, 0.004, 0.000, 0.0, 0},    // clean, dry
      {0.18, 82, 0.01, 10, 0.00, 0, 0.002, 0.004, 0.000, 0.0, 0},
      {0.25, 78, 0.02, 20, 0.01, 0, 0.003, 0.005, 0.000, 0.0, 0},
      {0.32, 74, 0.02, 30, 0.01, 10, -0.002, 0.005, 0.000, 0.0, 0},
      {0.40, 70, 0.03, 40, 0.01, 20, 0.004, 0.006, 0.002, 0.3, 250},  // peaks near 0.5 mA
      {0.55, 66, 0.04, 50, 0.02, 30, 0.005, 0.008, 0.005, 0.5, 250},
      {0.70, 62, 0.05, 60, 0.02, 40, -0.004, 0.010, 0.010, 0.6, 300},  // bursts past 1 mA
      {0.85, 58, 0.06, 70, 0.03, 50, 0.006, 0.012, 0.020, 0.8, 300},
      {1.05, 54, 0.08, 80, 0.03, 60, 0.008, 0.015, 0.030, 1.2, 300},  // light pollution, damp
      {1.30, 50, 0.10, 90, 0.04, 70, -0.006, 0.018, 0.040, 1.5, 350},
      {1.60, 45, 0.12, 100, 0.05, 80, 0.010, 0.020, 0.050, 2.0, 350},
      {2.00, 40, 0.14, 110, 0.06, 90, 0.012, 0.025, 0.060, 2.5, 400},  // past 2 mA
      {2.60, 35, 0.16, 120, 0.07, 100, -0.010, 0.030, 0.080, 3.0, 400},
      {3.20, 30, 0.18, 130, 0.08, 110, 0.015, 0.035, 0.100, 3.5, 450},
      {4.00, 25, 0.20, 140, 0.09, 120, 0.020, 0.040, 0.120, 4.0, 450},  // polluted, wet
      {5.20, 20, 0.22, 150, 0.10, 130, -0.015, 0.050, 0.150, 5.0, 500},  // past 5 mA
  }};
  return p;
}

bool ParseProfile(std::string_view description, Profile& profile, std::string& error) {
  const double hz = profile.powerHz;
  const uint64_t seed = profile.seed;
  const auto colon = description.find(':');
  const std::string_view name = description.substr(0, colon);
  const std::string_view arg = colon == std::string_view::npos ? std::string_view() : description.substr(colon + 1);
  if ((name == "insulators" || name == "default") && colon == std::string_view::npos) {
    profile = InsulatorProfile(hz, seed);
    return true;
  }
  if (name == "zero" && colon == std::string_view::npos) {
    profile = Profile{};
    profile.kind = ProfileKind::Zero;
  } else if (name == "constant") {
    unsigned code = 0;
    if (!ParseNumber(arg, code) || code > 0x1FFF) {
      error = "constant:CODE needs a code from 0 to 8191";
      return false;
    }
    profile = Profile{};
    profile.kind = ProfileKind::Constant;
    profile.constantCode = static_cast<uint16_t>(code);
  } else if (name == "sine") {
    double counts = 0;
    if (!ParseNumber(arg, counts) || !std::isfinite(counts) || counts < 0) {
      error = "sine:AMPLITUDE_COUNTS needs a non-negative number";
      return false;
    }
    profile = Profile{};
    profile.kind = ProfileKind::Sine;
    profile.sineCounts = counts;
  } else {
    error = "unknown profile '" + std::string(description) + "' (insulators, zero, constant:CODE, sine:COUNTS)";
    return false;
  }
  profile.powerHz = hz;
  profile.seed = seed;
  return true;
}

double NoiseUnit(uint64_t seed, int channelIndex, uint64_t frame) {
  return 2.0 * Unit(seed, static_cast<uint64_t>(channelIndex), frame, 0x6E6F697365ull) - 1.0;
}

double BurstMa(const ChannelParams& ch, uint64_t seed, int channelIndex, double powerHz, double t) {
  if (ch.burstChance <= 0 || ch.burstMa == 0 || ch.burstDecayUs <= 0 || powerHz <= 0) return 0;
  // Half cycles of this channel's own fundamental: the current is positive
  // in even ones and negative in odd ones.  A burst starts on the rising
  // flank, a quarter to half way into its half cycle, and decays.
  const double halfCycles = (2 * powerHz * t) + ch.phaseDeg / 180.0;
  const double h = std::floor(halfCycles);
  const auto key = static_cast<uint64_t>(static_cast<int64_t>(h));
  const auto idx = static_cast<uint64_t>(channelIndex);
  if (Unit(seed, idx, key, 1) >= ch.burstChance) return 0;
  const double start = 0.25 + 0.25 * Unit(seed, idx, key, 2);
  const double pos = halfCycles - h;
  if (pos < start) return 0;
  const double sinceUs = (pos - start) / (2 * powerHz) * 1e6;
  const double peak = ch.burstMa * (0.5 + 0.5 * Unit(seed, idx, key, 3));
  const double sign = (static_cast<int64_t>(h) & 1) == 0 ? 1.0 : -1.0;
  return sign * peak * std::exp(-sinceUs / ch.burstDecayUs);
}

double CurrentMa(const Profile& profile, int channelIndex, uint64_t frame, double t) {
  if (channelIndex < 0 || channelIndex >= kChannelIndexes) return 0;
  const ChannelParams& ch = profile.channels[static_cast<size_t>(channelIndex)];
  const double w = 2 * std::numbers::pi * profile.powerHz * t;
  double ma = ch.fundamentalMa * std::sin(w + Radians(ch.phaseDeg));
  ma += ch.fundamentalMa * ch.harmonic3 * std::sin(3 * w + Radians(ch.harmonic3PhaseDeg));
  ma += ch.fundamentalMa * ch.harmonic5 * std::sin(5 * w + Radians(ch.harmonic5PhaseDeg));
  ma += ch.dcMa;
  if (ch.noiseMa != 0) ma += ch.noiseMa * NoiseUnit(profile.seed, channelIndex, frame);
  ma += BurstMa(ch, profile.seed, channelIndex, profile.powerHz, t);
  return ma;
}

double CountsPerMa(int cardType, double shuntOhms) {
  const double volts = shuntOhms / 1000.0;         // shunt volts per mA
  const double span = cardType == 1 ? 2.5 : 10.0;  // input span in volts
  return volts * 4096.0 / span;
}

uint16_t CodeFromCounts(double counts) {
  const double x = std::round(kMidScale + counts);
  if (!(x >= 0)) return kOutOfRange;  // below range (or not a number)
  if (x > 4095) return kOutOfRange | 4095;
  return static_cast<uint16_t>(x);
}

uint16_t SampleCode(const Profile& profile, int cardType, int channelIndex, uint64_t frame, double t) {
  switch (profile.kind) {
    case ProfileKind::Zero:
      return kMidScale;
    case ProfileKind::Constant:
      return profile.constantCode & 0x1FFF;
    case ProfileKind::Sine:
      return CodeFromCounts(profile.sineCounts * std::sin(2 * std::numbers::pi * profile.powerHz * t));
    case ProfileKind::Insulators:
      break;
  }
  return CodeFromCounts(CurrentMa(profile, channelIndex, frame, t) * CountsPerMa(cardType, profile.shuntOhms));
}

int ChannelIndex(int group, uint16_t adChannel) { return (group * 4 + adChannel) % kChannelIndexes; }

void FillScanFrames(const Profile& profile, int cardType, int group, std::span<const uint16_t> channelList,
                    uint64_t firstFrame, double intervalSeconds, std::span<uint16_t> out) {
  const size_t n = channelList.size();
  if (n == 0) return;
  for (size_t i = 0; i < out.size(); ++i) {
    const uint64_t frame = firstFrame + i / n;
    const double t = static_cast<double>(frame) * intervalSeconds;
    out[i] = SampleCode(profile, cardType, ChannelIndex(group, channelList[i % n]), frame, t);
  }
}

}  // namespace cardsim
