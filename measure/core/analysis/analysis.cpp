#include "analysis/analysis.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>

#include "text/numforms.h"

namespace varnel::analysis {

namespace {

// The constants of the original arithmetic; the stored numbers depend on them.
constexpr double kPiTables = 3.14159265;  // angles of the sine and cosine tables
constexpr double kPiMean = 3.141592;      // 2/pi of the mean rectified fundamental

// sum + term, formed in double and stored back as single.  The sums of one
// block stay far inside the range of a single (at most 1250 x 6143^2).
inline float Accumulate(float sum, double term) { return static_cast<float>(static_cast<double>(sum) + term); }

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

ChannelSums SumChannel(std::span<const int16_t> x, const FrequencyTables& tables) {
  ChannelSums s;
  if (x.size() < static_cast<std::size_t>(kSamplesRead)) return s;

  // Moving sums of five samples, one subtraction and one addition per point.
  std::array<int32_t, kPoints> m;
  int32_t run = int32_t{x[0]} + x[1] + x[2] + x[3] + x[4];
  m[0] = run;
  for (int b = 1; b < kPoints; ++b) {
    run = run - x[static_cast<std::size_t>(b - 1)] + x[static_cast<std::size_t>(b + 4)];
    m[static_cast<std::size_t>(b)] = run;
  }

  s.peak = static_cast<float>(std::abs(int{x[2]}));
  for (std::size_t b = 0; b < static_cast<std::size_t>(kPoints); ++b) {
    const double mb = m[b];
    const int centre = x[b + 2];
    s.sumHigh = Accumulate(s.sumHigh, std::fabs(mb / 5.0 - centre));
    s.sumDc = Accumulate(s.sumDc, mb);
    s.sinSum = Accumulate(s.sinSum, static_cast<double>(tables.sine[b]) * mb);
    s.cosSum = Accumulate(s.cosSum, static_cast<double>(tables.cosine[b]) * mb);
    s.sumAbs = Accumulate(s.sumAbs, std::abs(centre));
    s.sumSq = Accumulate(s.sumSq, static_cast<double>(centre) * static_cast<double>(centre));
    const auto magnitude = static_cast<float>(std::abs(centre));
    if (magnitude > s.peak) s.peak = magnitude;
  }

  s.meanSum = static_cast<float>(static_cast<double>(s.sumDc) / kPoints);
  s.sinSum = static_cast<float>(static_cast<double>(s.sinSum) / kPoints * 2.0);
  s.cosSum = static_cast<float>(static_cast<double>(s.cosSum) / kPoints * 2.0);

  // Residual of the moving sum after DC and the fitted fundamental.
  const double sinSum = s.sinSum;
  const double cosSum = s.cosSum;
  const double meanSum = s.meanSum;
  for (std::size_t b = 0; b < static_cast<std::size_t>(kPoints); ++b) {
    const double fitted = sinSum * static_cast<double>(tables.sine[b]) + cosSum * static_cast<double>(tables.cosine[b]);
    s.sumLow = Accumulate(s.sumLow, std::fabs(fitted + meanSum - static_cast<double>(m[b])));
  }
  return s;
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

ChannelOutcome AnalyseSamples(std::span<const int16_t> x, int channelIndex, PolModeForm& form,
                              MeasureState& state) {
  const ChannelSums sums = SumChannel(x, state.tables);
  ChannelOutcome out{ToBlockValues(sums, ShuntResistance(form)), sums.sinSum, sums.cosSum};
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

bool GatherChannel(const SampleBlock& block, int ch, std::span<int16_t> out) {
  if (ch < 0 || ch >= kFrameEntries) return false;
  const std::size_t count = out.size();
  if (count == 0) return true;
  const std::size_t last = kFrameEntries * (count - 1) + static_cast<std::size_t>(ch);
  if (last >= block.size()) return false;
  for (std::size_t k = 0; k < count; ++k) out[k] = block[kFrameEntries * k + static_cast<std::size_t>(ch)];
  return true;
}

std::optional<ChannelOutcome> AnalyseChannel(const SampleBlock& block, int ch, int channelIndex,
                                             PolModeForm& form, MeasureState& state) {
  std::array<int16_t, kSamplesRead> x;
  if (!GatherChannel(block, ch, x)) return std::nullopt;
  return AnalyseSamples(x, channelIndex, form, state);
}

}  // namespace varnel::analysis
