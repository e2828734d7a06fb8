// A waveform store as the measurement program would hold it after one sweep
// over the card stand-in's insulator profile: for every group the block of
// that group (1256 frames of 80 us, taken one cycle after the previous
// group's) converted to signed counts, as the sweep copies it.
#pragma once

#include <cstdint>
#include <string>

#include "form/state.h"

namespace varnel::tools::testing {

// `channels` is 4, 8 or 16; cardType 2 bipolar, 1 unipolar.
WaveStore SyntheticSweep(int channels, int cardType = 2, uint64_t seed = 1);

// The channel index with the largest peak |count| and that peak.
struct Peak {
  int channel = 0;
  int counts = 0;
};
Peak LargestPeak(const WaveStore& waves);

// The name the peak-triggered save gives such a snapshot at 15:30 on
// 4 February 2004 with a 330 ohm shunt ("ch16Peak5.12mA20040204-1530Wev.dat").
std::string PeakSnapshotName(const WaveStore& waves);

}  // namespace varnel::tools::testing
