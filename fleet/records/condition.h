// Quantities of an insulator's surface condition that the records and the
// waveform snapshots give beyond their own values: how near the air is to
// dew (a surface at the dew point is wet), and the odd harmonics of the
// current (a dry-band arc distorts the waveform long before a flashover).
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "form/state.h"

namespace varnel::fleet {

// The dew point in °C of air at `temperatureC` and relative humidity
// `humidityPct` (Magnus' formula with Sonntag's constants, good to about
// 0.35 °C from -45 to 60 °C); nullopt for a humidity outside (0, 100] or
// a value that is no number.
std::optional<double> DewPointC(double temperatureC, double humidityPct);
// The temperature above the dew point (0 when the air is saturated).
std::optional<double> DewPointDepression(double temperatureC, double humidityPct);

// Samples of a snapshot channel the harmonics are taken from: the first
// 1250, which are 100 ms at the 80 µs frame period, exactly 5 periods at
// 50 Hz and 6 at 60 Hz, so every harmonic falls on a bin of the transform.
inline constexpr int kHarmonicSamples = 1250;

// Amplitudes (peak, in counts) of the fundamental and of the 3rd, 5th and
// 7th harmonic of channel `channel` of a snapshot, at a power frequency of
// `powerHz` (50 or 60).
using HarmonicAmplitudes = std::array<double, 4>;  // I1, I3, I5, I7
HarmonicAmplitudes ChannelHarmonics(const WaveStore& waves, int channel, int powerHz);
// Every channel of a snapshot in mA through a shunt of `shuntOhm`, four
// values per channel (I1, I3, I5, I7), channel after channel.
std::vector<double> SnapshotHarmonicsMa(const WaveStore& waves, int powerHz, double shuntOhm);

// The ratios that tell a surface's state from its current's shape: I3/I1,
// I5/I1 and (I5 + I7)/I3; each nullopt where its divisor is zero.
struct HarmonicRatios {
  std::optional<double> i3OverI1, i5OverI1, i57OverI3;
};
HarmonicRatios RatiosOf(const HarmonicAmplitudes& a);

}  // namespace varnel::fleet
