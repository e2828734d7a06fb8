// The synthetic leakage currents that the card stand-in delivers, as pure
// functions of the channel index, the frame number and the time.
//
// Signal chain.  Each insulator's current flows through a shunt (330 ohm by
// default); the card samples the shunt voltage V.
//   Card type 2 (QDA7100B, +-5 V):  code = (V + 5) / 10 * 4096
//   Card type 1 (QDA7100U, 0..2.5 V): the input conditioning adds a 1.25 V
//     mid-scale bias so that an alternating current fits the unipolar range:
//     code = (V + 1.25) / 2.5 * 4096
// In both cases zero current is code 2048, and the code is rounded to the
// nearest integer.  A value outside 0..4095 is clamped to that range and
// flagged by bit 12 (0x1000), giving a 13-bit code.  The measurement
// program's scale (one count = 10 V / 4096) is the type 2 scale; on a type 1
// card one count is 2.5 V / 4096.
//
// Time base.  Frame k of the stand-in's sample stream is taken at
// t = k * interval.  Every channel of one scan frame shares that time.
//
// Channel index.  With the external multiplexer the circuit behind A/D
// channel c while group g is selected is channel index (g * 4 + c) mod 16.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace cardsim {

inline constexpr int kChannelIndexes = 16;
inline constexpr uint16_t kMidScale = 2048;
inline constexpr uint16_t kOutOfRange = 0x1000;

// One insulator's current.  Amplitudes are peak values in mA.
struct ChannelParams {
  double fundamentalMa = 0;   // power-frequency component
  double phaseDeg = 0;        // its phase at t = 0
  double harmonic3 = 0;       // 3rd harmonic, as a fraction of the fundamental
  double harmonic3PhaseDeg = 0;
  double harmonic5 = 0;       // 5th harmonic, likewise
  double harmonic5PhaseDeg = 0;
  double dcMa = 0;            // steady offset
  double noiseMa = 0;         // uniform noise in [-noiseMa, +noiseMa)
  double burstChance = 0;     // chance that a half cycle carries a discharge burst
  double burstMa = 0;         // largest burst peak; a burst's peak is 50..100 % of it
  double burstDecayUs = 0;    // exponential decay of a burst
};

enum class ProfileKind {
  Insulators,  // per-channel currents from `channels`
  Zero,        // every sample is 2048
  Constant,    // every sample is `constantCode`
  Sine,        // every channel: 2048 + sineCounts * sin(2 pi f t), rounded
};

struct Profile {
  ProfileKind kind = ProfileKind::Insulators;
  uint16_t constantCode = kMidScale;
  double sineCounts = 0;
  double powerHz = 50;
  uint64_t seed = 1;
  double shuntOhms = 330;
  std::array<ChannelParams, kChannelIndexes> channels{};
};

// Sixteen insulators from clean and dry (a fraction of a mA, almost a pure
// sine) to polluted and wet (several mA, strong 3rd and 5th harmonics and
// frequent discharge bursts), crossing the detection levels 0.5, 1, 2 and
// 5 mA one after another.
Profile InsulatorProfile(double powerHz = 50, uint64_t seed = 1);

// "insulators" (or "default"), "zero", "constant:CODE" (0..8191) or
// "sine:AMPLITUDE_COUNTS".  Keeps powerHz and seed of `profile`.
bool ParseProfile(std::string_view description, Profile& profile, std::string& error);

// Uniform noise in [-1, 1), a pure function of its arguments.
double NoiseUnit(uint64_t seed, int channelIndex, uint64_t frame);

// The discharge-burst part of a channel's current at time t (mA).
double BurstMa(const ChannelParams& ch, uint64_t seed, int channelIndex, double powerHz, double t);

// The whole current of a channel index at frame `frame`, time t (mA).
double CurrentMa(const Profile& profile, int channelIndex, uint64_t frame, double t);

// Counts (codes above mid-scale) per mA for a card type and shunt.
double CountsPerMa(int cardType, double shuntOhms);

// Mid-scale plus `counts`, rounded, clamped and flagged as described above.
uint16_t CodeFromCounts(double counts);

// The raw code of one sample.
uint16_t SampleCode(const Profile& profile, int cardType, int channelIndex, uint64_t frame, double t);

int ChannelIndex(int group, uint16_t adChannel);

// Fills `out` with scan frames: sample i is A/D channel channelList[i % n] of
// frame firstFrame + i / n (n = channelList.size(), which must not be empty).
void FillScanFrames(const Profile& profile, int cardType, int group, std::span<const uint16_t> channelList,
                    uint64_t firstFrame, double intervalSeconds, std::span<uint16_t> out);

}  // namespace cardsim
