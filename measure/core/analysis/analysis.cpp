#include "analysis/analysis.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "text/numforms.h"

namespace varnel::analysis {

namespace {

// The constants of the original arithmetic; the stored numbers depend on them.
constexpr double kPiTables = 3.14159265;  // angles of the sine and cosine tables
constexpr double kPiMean = 3.141592;      // 2/pi of the mean rectified fundamental

// Shows a value in a label, or leaves the old text when its conversion faulted.
void Show(Label& label, const std::optional<float>& value) {
  if (value) label.text = text::FormatCut(static_cast<double>(*value), "0.000", 5);
}

// total += value, skipped when the value is missing or the sum overflows.
void AddTo(float& total, const std::optional<float>& value) {
  if (!value) return;
  if (const auto sum = ToSingle(static_cast<double>(total) + static_cast<double>(*value))) total = *sum;
}

// total += value^2 (the RMS total sums squares), skipped like AddTo.
void AddSquareTo(float& total, const std::optional<float>& value) {
  if (!value) return;
  const double v = static_cast<double>(*value);
  if (const auto sum = ToSingle(static_cast<double>(total) + v * v)) total = *sum;
}

bool HoldsChannel(int channelIndex) { return channelIndex >= 0 && channelIndex < kMaxChannels; }

}  // namespace

bool Is50Hz(const PolModeForm& form) { return form.Option2[0].selected; }

void BuildFrequencyTables(const PolModeForm& form, FrequencyTables& tables) {
  const double hertz = Is50Hz(form) ? 50.0 : 60.0;
  tables.halfPeriod = static_cast<float>((1000.0 / hertz) / 0.16);
  const double halfPeriod = static_cast<double>(tables.halfPeriod);
  for (std::size_t i = 0; i < tables.sine.size(); ++i) {
    const double angle = static_cast<double>(i) * kPiTables / halfPeriod;
    tables.sine[i] = static_cast<float>(std::sin(angle));
    tables.cosine[i] = static_cast<float>(std::cos(angle));
  }
}

void ConvertBlock(SampleBlock& block) {
  const std::size_t n = block.size() < kConvertedEntries ? block.size() : kConvertedEntries;
  for (std::size_t i = 0; i < n; ++i) {
    const int code = static_cast<uint16_t>(block[i]) & 0x1FFF;
    block[i] = static_cast<int16_t>(code - 2048);
  }
}

double ShuntResistance(const PolModeForm& form) { return text::LeadingNumber(form.Text1.text); }

bool UsableShunt(double ohm) { return std::isfinite(ohm) && ohm > 0.0; }

double CountsToMilliamps(double counts, double ohm) { return counts / ohm * 10.0 / 4096.0 * 1000.0; }

std::optional<float> ToSingle(double value) {
  if (!std::isfinite(value) || std::fabs(value) > static_cast<double>(FLT_MAX)) return std::nullopt;
  return static_cast<float>(value);
}

// The block kernel.  The four channels of a scan frame are independent, so
// they advance together, one per vector lane, through exactly the steps of
// SumChannel: the same integer moving sums, every product and quotient in
// double, every sum stored back as single after each addition, in the same
// order.  Only the grouping into lanes differs, and IEEE arithmetic on a
// lane is the arithmetic on a scalar, so each lane's numbers are SumChannel's
// to the bit (the build keeps multiplies and adds unfused).
namespace {

// The lane helpers below pass vectors wider than the baseline registers by
// value; they are always inlined into SumBlock, also in unoptimised builds,
// so no call boundary (and no ABI) ever sees them: a call from SumBlock's
// AVX2 clone into a helper built for plain x86-64 would pass the vectors in
// registers the helper does not read.  (GCC reports that note at the end of
// the file, so it stays off from here on.)
#pragma GCC diagnostic ignored "-Wpsabi"

using IntLanes = int32_t __attribute__((vector_size(kFrameEntries * sizeof(int32_t))));
using FloatLanes = float __attribute__((vector_size(kFrameEntries * sizeof(float))));
using DoubleLanes = double __attribute__((vector_size(kFrameEntries * sizeof(double))));
using BitLanes = uint64_t __attribute__((vector_size(kFrameEntries * sizeof(uint64_t))));

// Frame k of a block: sample k of each channel.
[[gnu::always_inline]] inline IntLanes Frame(const int16_t* frames, std::size_t k) {
  const int16_t* f = frames + kFrameEntries * k;
  return IntLanes{f[0], f[1], f[2], f[3]};
}

// Widened lane by lane.  (Spelled out element by element: GCC 12 makes a
// single widening instruction of this, but splits __builtin_convertvector.)
[[gnu::always_inline]] inline DoubleLanes ToDouble(IntLanes v) {
  return DoubleLanes{static_cast<double>(v[0]), static_cast<double>(v[1]), static_cast<double>(v[2]),
                     static_cast<double>(v[3])};
}
[[gnu::always_inline]] inline DoubleLanes ToDouble(FloatLanes v) {
  return DoubleLanes{static_cast<double>(v[0]), static_cast<double>(v[1]), static_cast<double>(v[2]),
                     static_cast<double>(v[3])};
}

// Accumulate, lane by lane.
[[gnu::always_inline]] inline FloatLanes Accumulate(FloatLanes sum, DoubleLanes term) {
  return __builtin_convertvector(ToDouble(sum) + term, FloatLanes);
}

// fabs, lane by lane: the sign bit cleared.  (Copied rather than
// std::bit_cast: GCC 12's undefined-behaviour checks misread a bit_cast of
// a vector in unoptimised builds; the copies compile to nothing.)
[[gnu::always_inline]] inline DoubleLanes Abs(DoubleLanes v) {
  constexpr uint64_t kMagnitude = ~(uint64_t{1} << 63);
  BitLanes bits;
  std::memcpy(&bits, &v, sizeof bits);
  bits &= kMagnitude;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

[[gnu::always_inline]] inline IntLanes Abs(IntLanes v) { return v < 0 ? -v : v; }

}  // namespace

// Built twice: for processors with AVX2, whose registers hold all four
// channels' doubles at once, and for any x86-64; the loader picks the one
// the processor runs.  Both do the same IEEE operations in the same order.
__attribute__((target_clones("avx2", "default")))
std::optional<BlockSums> SumBlock(std::span<const int16_t> frames, const FrequencyTables& tables) {
  if (frames.size() < kBlockEntriesRead) return std::nullopt;
  // x[k]: frame k, that is sample k of every channel.
  std::array<IntLanes, kSamplesRead> x;
  for (std::size_t k = 0; k < x.size(); ++k) x[k] = Frame(frames.data(), k);

  // Moving sums of five samples, one subtraction and one addition per point.
  std::array<IntLanes, kPoints> m;
  IntLanes run = x[0] + x[1] + x[2] + x[3] + x[4];
  m[0] = run;
  for (std::size_t b = 1; b < static_cast<std::size_t>(kPoints); ++b) {
    run = run - x[b - 1] + x[b + 4];
    m[b] = run;
  }

  FloatLanes sumHigh{}, sumDc{}, sinSum{}, cosSum{}, sumAbs{}, sumSq{};
  IntLanes peak = Abs(x[2]);
  for (std::size_t b = 0; b < static_cast<std::size_t>(kPoints); ++b) {
    const DoubleLanes mb = ToDouble(m[b]);
    const IntLanes centre = x[b + 2];
    const DoubleLanes c = ToDouble(centre);
    const IntLanes magnitude = Abs(centre);
    sumHigh = Accumulate(sumHigh, Abs(mb / 5.0 - c));
    sumDc = Accumulate(sumDc, mb);
    sinSum = Accumulate(sinSum, static_cast<double>(tables.sine[b]) * mb);
    cosSum = Accumulate(cosSum, static_cast<double>(tables.cosine[b]) * mb);
    sumAbs = Accumulate(sumAbs, ToDouble(magnitude));
    sumSq = Accumulate(sumSq, c * c);
    peak = magnitude > peak ? magnitude : peak;
  }

  BlockSums out;
  for (std::size_t ch = 0; ch < kFrameEntries; ++ch) {
    ChannelSums& s = out[ch];
    s.sumHigh = sumHigh[ch];
    s.sumDc = sumDc[ch];
    s.sinSum = sinSum[ch];
    s.cosSum = cosSum[ch];
    s.sumAbs = sumAbs[ch];
    s.sumSq = sumSq[ch];
    s.peak = static_cast<float>(peak[ch]);
    ScaleSums(s);
  }

  // Residual of the moving sum after DC and the fitted fundamental.
  const DoubleLanes sinLanes{out[0].sinSum, out[1].sinSum, out[2].sinSum, out[3].sinSum};
  const DoubleLanes cosLanes{out[0].cosSum, out[1].cosSum, out[2].cosSum, out[3].cosSum};
  const DoubleLanes meanLanes{out[0].meanSum, out[1].meanSum, out[2].meanSum, out[3].meanSum};
  FloatLanes sumLow{};
  for (std::size_t b = 0; b < static_cast<std::size_t>(kPoints); ++b) {
    const DoubleLanes fitted = sinLanes * static_cast<double>(tables.sine[b]) +
                               cosLanes * static_cast<double>(tables.cosine[b]);
    sumLow = Accumulate(sumLow, Abs(fitted + meanLanes - ToDouble(m[b])));
  }
  for (std::size_t ch = 0; ch < kFrameEntries; ++ch) out[ch].sumLow = sumLow[ch];
  return out;
}

BlockValues ToBlockValues(const ChannelSums& s, double ohm) {
  BlockValues v;
  v.peak = s.peak;
  // Every conversion divides by R: with no usable shunt each of them would
  // fault and be skipped, so none is shown or summed.
  if (!UsableShunt(ohm)) return v;
  const double r = ohm;
  v.Fhc = ToSingle(static_cast<double>(s.sumHigh) / r * 10.0 / 4096.0 / 1.25);
  v.DCc = ToSingle(static_cast<double>(s.sumDc) / 5.0 / r * 10.0 / 4096.0 / 1.25);
  const double sinSum = s.sinSum;
  const double cosSum = s.cosSum;
  v.F1c = ToSingle(2.0 * std::sqrt(sinSum * sinSum + cosSum * cosSum) / kPiMean / 5.0 / r * 10.0 / 4096.0 * 1000.0);
  v.ALLc = ToSingle(static_cast<double>(s.sumAbs) / r * 10.0 / 4096.0 / 1.25);
  v.Rms = ToSingle(std::sqrt(static_cast<double>(s.sumSq) / kPoints) * 1000.0 / r * 10.0 / 4096.0);
  v.Flc = ToSingle(static_cast<double>(s.sumLow) / 5.0 / r * 10.0 / 4096.0 / 1.25);
  const double p = CountsToMilliamps(static_cast<double>(s.peak), r);
  if (std::isfinite(p)) v.peakMilliamps = p;
  return v;
}

ChannelOutcome ShowAndAdd(const ChannelSums& sums, double ohm, int channelIndex, PolModeForm& form,
                          MeasureState& state) {
  ChannelOutcome out{ToBlockValues(sums, ohm), sums.sinSum, sums.cosSum};
  if (!HoldsChannel(channelIndex)) return out;

  const auto n = static_cast<std::size_t>(channelIndex);
  ChannelTotals& total = state.results[n];
  const BlockValues& v = out.values;
  Show(form.L25H[n], v.Fhc);
  AddTo(total.Fhc, v.Fhc);
  Show(form.LDC[n], v.DCc);
  AddTo(total.DCc, v.DCc);
  Show(form.LF1[n], v.F1c);
  AddTo(total.F1c, v.F1c);
  Show(form.LAC[n], v.ALLc);
  AddTo(total.ALLc, v.ALLc);
  Show(form.LRms[n], v.Rms);
  AddSquareTo(total.Rms, v.Rms);
  Show(form.L25L[n], v.Flc);
  AddTo(total.Flc, v.Flc);

  state.peaks[n] = v.peak;
  if (v.peakMilliamps) {
    // Only a larger peak replaces the maximum; an equal one does not.
    if (const auto p = ToSingle(*v.peakMilliamps); p && *p > total.MaxPeak) total.MaxPeak = *p;
    form.Peak[n].text = text::FormatCut(*v.peakMilliamps, "0.00", 4);
  }
  return out;
}

bool GatherChannel(std::span<const int16_t> frames, int ch, std::span<int16_t> out) {
  if (ch < 0 || ch >= kFrameEntries) return false;
  const std::size_t count = out.size();
  if (count == 0) return true;
  const std::size_t last = kFrameEntries * (count - 1) + static_cast<std::size_t>(ch);
  if (last >= frames.size()) return false;
  for (std::size_t k = 0; k < count; ++k) out[k] = frames[kFrameEntries * k + static_cast<std::size_t>(ch)];
  return true;
}

std::optional<ChannelOutcome> AnalyseChannel(const SampleBlock& block, int ch, int channelIndex,
                                             PolModeForm& form, MeasureState& state) {
  if (ch < 0 || ch >= kFrameEntries) return std::nullopt;
  const auto sums = SumBlock(block, state.tables);
  if (!sums) return std::nullopt;
  return ShowAndAdd((*sums)[static_cast<std::size_t>(ch)], ShuntResistance(form), channelIndex, form, state);
}

}  // namespace varnel::analysis
