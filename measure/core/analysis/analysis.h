// Leakage-current analysis of one acquired block.
//
// A block holds 16-bit entries in frames of four: entry 4k + ch is sample k
// of A/D channel ch.  Each channel of a block is reduced to six current
// components in mA and a peak, shown in the channel's labels and added to the
// channel's totals.  The numbers stored in the data file depend on the exact
// arithmetic, so it is spelled out here: a 32-bit integer moving sum, sums
// held in single precision and stored back as single after every addition,
// products and quotients formed in double precision.
//
// A step that would fault (division by zero, overflow, an index outside an
// array) is skipped: its label keeps its old text and its total stays as it
// was, and the following steps still run.  No infinity or NaN ever reaches a
// label or a total.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "form/form.h"
#include "form/state.h"

namespace varnel::analysis {

// Moving sums per channel and block: 1250 frames of 80 us, 100 ms, that is
// 5 periods at 50 Hz or 6 at 60 Hz.
inline constexpr int kPoints = 1250;
// Samples of one channel the analysis reads: x[0] .. x[1253].
inline constexpr int kSamplesRead = kPoints + 4;
// Entries of a block converted to signed counts: 0 .. 5024.
inline constexpr std::size_t kConvertedEntries = 5025;
// Scan frames are always taken as four entries, whatever the channel setting.
inline constexpr int kFrameEntries = 4;

// True when "50Hz" (Option2(0)) is selected.
bool Is50Hz(const PolModeForm& form);

// Sets the half period and the sine and cosine tables from the power
// frequency choice: 125 frames at 50 Hz, 104.1667 at 60 Hz.
void BuildFrequencyTables(const PolModeForm& form, FrequencyTables& tables);

// Entries 0..5024 (as far as the block reaches) become (raw AND 0x1FFF) - 2048
// in place; later entries are left as they are.
void ConvertBlock(SampleBlock& block);

// Shunt resistance in ohm: the leading number of `Text1`, read again at every
// call so that a change applies to the next block at once.
double ShuntResistance(const PolModeForm& form);
// A shunt value the conversions to mA can divide by: finite and above zero.
// With any other value (0, a text without a number, a negative or not-a-number
// value) the currents of a block are unknown, so nothing is converted.
bool UsableShunt(double ohm);

// Milliamps of a count (or of a sum of counts): counts / R x 10 / 4096 x 1000,
// formed in double in that order.
double CountsToMilliamps(double counts, double ohm);

// A double stored as single; nullopt where the store would overflow (a value
// beyond the range of a single, an infinity or a NaN).
std::optional<float> ToSingle(double value);

// The sums of one channel over one block, before the shunt resistance enters.
struct ChannelSums {
  float sumHigh = 0;  // sum |m[b]/5 - x[b+2]|
  float sumDc = 0;    // sum m[b]
  float sinSum = 0;   // fundamental sine coefficient, moving-sum units
  float cosSum = 0;   // fundamental cosine coefficient, moving-sum units
  float meanSum = 0;  // mean moving sum
  float sumAbs = 0;   // sum |x[b+2]|
  float sumSq = 0;    // sum x[b+2]^2
  float sumLow = 0;   // sum of the residual after DC and fundamental
  float peak = 0;     // largest |x[b+2]|, counts
};

// Sums of the four channels of a converted block, in one pass over its
// frames: every vector lane carries one A/D channel, and each channel adds
// its points in the same order, with the same roundings, as SumChannel.
// nullopt when the block holds fewer than kBlockEntriesRead entries.
inline constexpr std::size_t kBlockEntriesRead = kFrameEntries * kSamplesRead;
using BlockSums = std::array<ChannelSums, kFrameEntries>;
std::optional<BlockSums> SumBlock(std::span<const int16_t> frames, const FrequencyTables& tables);

// The straightforward form of the same sums: the samples `x` of one channel
// (consecutive, at least kSamplesRead), one point and one sum at a time.
// It is the reference the block kernel SumBlock is checked against bit for
// bit; the measurement itself runs SumBlock.
ChannelSums SumChannel(std::span<const int16_t> x, const FrequencyTables& tables);

// The second step of both: the mean moving sum, and SinSum and CosSum
// scaled from sums to coefficients.
void ScaleSums(ChannelSums& sums);

// The values of one channel from one block.  A component is nullopt when its
// conversion to mA faulted (no usable shunt, or an overflow); it then was not
// shown and not summed.
struct BlockValues {
  std::optional<float> Fhc, DCc, F1c, ALLc, Rms, Flc;
  std::optional<double> peakMilliamps;
  float peak = 0;  // counts
};

// Converts the sums of a channel to mA with shunt resistance `ohm`.
BlockValues ToBlockValues(const ChannelSums& sums, double ohm);

// What the analysis of a channel leaves for the threshold statistics.
struct ChannelOutcome {
  BlockValues values;
  float sinSum = 0;
  float cosSum = 0;
};

// Converts the sums of the channel with index `channelIndex` (0..15) with
// shunt `ohm`, shows the values in that channel's labels, adds them to its
// totals and sets its entry of the peak counts, in the order Fhc, DCc, F1c,
// ALLc, Rms, Flc, maximum peak, Peak label.  A channel index outside 0..15
// is converted but touches no label or total.
ChannelOutcome ShowAndAdd(const ChannelSums& sums, double ohm, int channelIndex, PolModeForm& form,
                          MeasureState& state);

// Analyses A/D channel `ch` (0..3) of a converted block as channel index
// `channelIndex`: the sums of the block, then ShowAndAdd with the shunt of
// `Text1`.  A block shorter than the analysis needs, or a channel outside
// 0..3, is not analysed (nullopt).
std::optional<ChannelOutcome> AnalyseChannel(const SampleBlock& block, int ch, int channelIndex,
                                             PolModeForm& form, MeasureState& state);

// Copies the samples of A/D channel `ch` out of a block's frames of four.
// Returns false when the block is too short.
bool GatherChannel(std::span<const int16_t> frames, int ch, std::span<int16_t> out);

}  // namespace varnel::analysis
