#include "synthetic_wave.h"

#include <cstdlib>

#include "profile.h"
#include "text/numforms.h"

namespace varnel::tools::testing {

namespace {
constexpr double kFrameSeconds = 80e-6;
// One measurement cycle: a 1260-frame block and a 20 ms pause.
constexpr uint64_t kFramesPerCycle = 1260 + 250;
}  // namespace

WaveStore SyntheticSweep(int channels, int cardType, uint64_t seed) {
  const cardsim::Profile profile = cardsim::InsulatorProfile(50, seed);
  WaveStore waves(channels);
  for (int group = 0; group < channels / 4; ++group) {
    const uint64_t first = static_cast<uint64_t>(group) * kFramesPerCycle;
    for (int k = 0; k < WaveStore::kSamples; ++k) {
      const uint64_t frame = first + static_cast<uint64_t>(k);
      for (int ch = 0; ch < 4; ++ch) {
        const int index = group * 4 + ch;
        const uint16_t code =
            cardsim::SampleCode(profile, cardType, index, frame, static_cast<double>(frame) * kFrameSeconds);
        waves.Set(k, index, static_cast<int16_t>((code & 0x1FFF) - 2048));
      }
    }
  }
  return waves;
}

Peak LargestPeak(const WaveStore& waves) {
  Peak best;
  for (int j = 0; j < waves.Channels(); ++j)
    for (int k = 0; k < WaveStore::kSamples; ++k) {
      const int v = std::abs(static_cast<int>(waves.At(k, j)));
      if (v > best.counts) best = {j, v};
    }
  return best;
}

std::string PeakSnapshotName(const WaveStore& waves) {
  const Peak p = LargestPeak(waves);
  const double mA = p.counts / 330.0 * 10 / 4096 * 1000;
  return "ch" + text::Format(p.channel + 1, "##Peak") + text::Format(mA, "#0.0#mA") + "20040204-1530Wev.dat";
}

}  // namespace varnel::tools::testing
