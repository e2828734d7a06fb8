// Measurement state shared by the analysis, the sweep, the result files, the
// graph and the weather link.  All of it lives as long as the main window and
// is touched only on its event thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "form/form.h"

namespace varnel {

// Totals of one channel index since the last stored record.  Every sum is a
// single, stored back as single after each addition.
struct ChannelTotals {
  float Fhc = 0;   // sum of the content above about 2.5 kHz, mA
  float F1c = 0;   // sum of the fundamental, mA
  float Flc = 0;   // sum of the content below 2.5 kHz without DC and fundamental, mA
  float DCc = 0;   // sum of the DC component, mA
  float ALLc = 0;  // sum of the mean absolute current, mA
  float Rms = 0;  // sum of squares of the block RMS values, mA^2
  float MaxPeak = 0;  // highest block peak, mA
  std::array<int32_t, 4> TimeCount{};       // samples reaching each detection level (Text5)
  std::array<int32_t, 4> HalfCycleCount{};  // half cycles in which each level is reached
};
using ChannelResults = std::array<ChannelTotals, kMaxChannels>;

// Peak |count| of the last analysed block of each channel index.
using PeakCounts = std::array<float, kMaxChannels>;

// The raw block of one acquisition: 16-bit samples in scan frames, at least
// kMinSampleBlock entries, zero beyond the sample count.
using SampleBlock = std::vector<int16_t>;
inline constexpr std::size_t kMinSampleBlock = 5057;

// Last 1256 samples of every channel index, sample index varying fastest
// (all samples of channel 0, then channel 1, ...), as waveform files store it.
class WaveStore {
 public:
  static constexpr int kSamples = 1256;

  WaveStore() = default;
  explicit WaveStore(int channels) { Reset(channels); }

  // Made anew for `channels` channel indexes, all zero.
  void Reset(int channels) {
    channels_ = channels < 0 ? 0 : channels;
    data_.assign(static_cast<std::size_t>(channels_) * kSamples, 0);
  }
  int Channels() const { return channels_; }
  bool Holds(int channel) const { return channel >= 0 && channel < channels_; }
  // Caller checks Holds(channel) and 0 <= sample < kSamples.
  int16_t At(int sample, int channel) const {
    return data_[static_cast<std::size_t>(channel) * kSamples + static_cast<std::size_t>(sample)];
  }
  void Set(int sample, int channel, int16_t v) {
    data_[static_cast<std::size_t>(channel) * kSamples + static_cast<std::size_t>(sample)] = v;
  }
  const std::vector<int16_t>& Data() const { return data_; }

 private:
  int channels_ = 0;
  std::vector<int16_t> data_;
};

// Running weather statistics since the last stored record.  All singles;
// every addition is formed in double and stored back as single.
struct WeatherTotals {
  float windSpeedSum = 0;
  float dirSinSum = 0;
  float dirCosSum = 0;
  float outTempSum = 0;
  float inTempSum = 0;
  float outHumSum = 0;
  float inHumSum = 0;
  float packetCount = 0;
  float maxWindSpeed = 0;
};

// Power-frequency tables of the analysis.
struct FrequencyTables {
  float halfPeriod = 125.0f;  // 80 us frames per half period
  std::array<float, 1251> sine{};
  std::array<float, 1251> cosine{};
};

// Card found at start-up.
struct CardInfo {
  int16_t cardType = 0;  // 1 unipolar QDA7100U, 2 bipolar QDA7100B
  int16_t ioBase = 0;     // the card's I/O port address
  int16_t irqNumber = 0;  // the card's interrupt line
};

// Geometry of the graph picture, fixed at start-up.
struct GraphGeometry {
  float width = 0;       // scale width of the picture, pixels
  float height = 0;      // scale height of the picture, pixels
  int16_t zeroLineY = 0;  // baseline: height (unipolar) or height / 2 (bipolar)
};

// Window-level measurement state shared by the cycle, the sweep, the result
// files, the graph, the export and the weather link.
struct MeasureState {
  CardInfo card;
  GraphGeometry graph;
  int16_t groupCount = 4;    // groups of four channels: 1, 2 or 4
  int16_t groupCounter = 0;  // group of the block being acquired
  int16_t binaryFormat = 0;  // 0 text data file, 1 binary

  // Acquisition settings taken at the first start of a run.
  int16_t sampInterval = 0;  // sampling interval, in sampUnit
  int16_t sampUnit = 0;      // its unit: 0 s, 1 ms, 2 us
  int16_t chanCount = 0;     // A/D channels scanned per frame
  int32_t sampCount = 0;     // frames per block

  SampleBlock block = SampleBlock(kMinSampleBlock, 0);  // the block being handled
  int32_t blockCount = 0;    // entries the card reported for that block

  FrequencyTables tables;      // of the selected power frequency
  ChannelResults results{};    // totals since the last stored record
  PeakCounts peaks{};          // peak of each channel's last block, counts
  WaveStore waves{16};         // last waveform of each channel
  WeatherTotals weather{};     // weather totals since the last stored record
};

}  // namespace varnel
