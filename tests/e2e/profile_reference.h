// What the measurement program must store for the card stand-in's insulator
// profile, worked out in the test from the profile's own sample function.
//
// The reference replays the stand-in's sample stream (acquisition n reads
// group n mod groups, frames 1260 n onwards, 80 us apart) and reduces every
// channel of every block by the textbook definitions of the stored values, in
// double precision:
//   Fhc   mean |x - 5-sample moving average|          (content above 2.5 kHz)
//   DCc   mean of the moving average
//   F1c   2/pi x amplitude of the power-frequency Fourier component of the
//         moving average over the whole 100 ms window
//   Flc   mean |moving average - DC - fitted fundamental|
//   ALLc  mean |x|,  Rms  sqrt(mean x^2),  peak  max |x|
//   time% share of samples with |x| >= threshold
//   Sc%   share of half cycles (between zero crossings of the fitted
//         fundamental) in which |x| reaches the threshold
// A record averages these per-block values over the blocks of its period, so
// the reference keeps their mean and spread over many blocks: the record's
// mean of n blocks lies within a few standard errors of the mean.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "profile.h"

namespace e2e {

struct AnalysisSettings {
  double shuntOhm = 330;
  double powerHz = 50;
  std::array<double, 4> thresholdsMa{0.5, 1, 2, 5};
};

// Values of one channel from one block, in mA (percentages in %).
struct BlockValues {
  double fhc = 0, f1c = 0, flc = 0, dcc = 0, allc = 0, rms = 0, peak = 0;
  std::array<double, 4> timePct{}, halfPct{};
};

// Reduces one channel's signed counts x[0..1253] (at least 1254 of them).
BlockValues AnalyseByDefinition(std::span<const double> counts, const AnalysisSettings& settings);

// Mean, spread and range of one value over many blocks.
struct Spread {
  double mean = 0, sd = 0, min = 0, max = 0, median = 0;
};
Spread SpreadOf(std::vector<double> values);

struct ChannelReference {
  Spread fhc, f1c, flc, dcc, allc, peak;
  Spread rmsSquared;  // the record stores sqrt(mean of Rms^2)
  std::array<Spread, 4> timePct, halfPct;
  // The largest current the profile can ever produce on this channel: the
  // peak of its deterministic waveform plus the largest noise and burst,
  // plus half a count of rounding.  No stored peak may exceed it.
  double peakCeilingMa = 0;
  std::vector<BlockValues> blocks;  // every analysed block of the channel
};

struct Reference {
  std::array<ChannelReference, cardsim::kChannelIndexes> channels;
};

// Replays `blocksPerGroup` sweeps of the stand-in with `groups` groups.
Reference ComputeReference(const cardsim::Profile& profile, int cardType, int groups, int blocksPerGroup,
                           const AnalysisSettings& settings);

// mA per count of the measurement program's scale: 10 V / 4096 over the shunt.
double MilliampsPerCount(double shuntOhm);

// Peak of |current| over one power period without noise and bursts, from the
// profile parameters alone (fine time grid).
double DeterministicPeakMa(const cardsim::Profile& profile, int channelIndex);

}  // namespace e2e
