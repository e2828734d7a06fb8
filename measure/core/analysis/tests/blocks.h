// Blocks built in the tests: raw codes in frames of four, as the card
// delivers them, from signals whose analysis is known by hand.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>

#include "form/form.h"
#include "form/state.h"

namespace varnel::analysis::testing {

// mA of one count with R ohm: 10 V over 4096 counts.
inline double Milliamps(double counts, double ohm) { return counts * 10.0 / 4096.0 / ohm * 1000.0; }

// A raw block of 5040 samples (1260 frames of four) in a 5057-entry block;
// `counts(k, ch)` gives sample k of A/D channel ch as a signed count.
inline SampleBlock RawBlock(const std::function<int(int k, int ch)>& counts) {
  SampleBlock block(kMinSampleBlock, 0);
  for (int k = 0; k < 1260; ++k)
    for (int ch = 0; ch < 4; ++ch)
      block[static_cast<std::size_t>(4 * k + ch)] = static_cast<int16_t>(counts(k, ch) + 2048);
  return block;
}

inline SampleBlock ConstantBlock(int count) {
  return RawBlock([count](int, int) { return count; });
}

// Sine of `amplitude` counts with `period` frames, rounded to whole counts.
inline int Sine(double amplitude, double period, double k) {
  return static_cast<int>(std::lround(amplitude * std::sin(2.0 * M_PI * k / period)));
}

}  // namespace varnel::analysis::testing
