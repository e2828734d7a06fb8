#include "analysis/sweep.h"

#include <algorithm>
#include <exception>

#include "text/numforms.h"

namespace varnel::analysis {

namespace {

// A hook that throws ends only its own call; the block handling goes on.
template <typename... Args>
void CallHook(const std::function<void(Args...)>& hook, Args... args) {
  if (!hook) return;
  try {
    hook(args...);
  } catch (const std::exception&) {
  } catch (...) {
  }
}

bool HoldsChannel(int channelIndex) { return channelIndex >= 0 && channelIndex < kMaxChannels; }

}  // namespace

int SweepChannels(const MeasureState& state) {
  return std::clamp(kFrameEntries * static_cast<int>(state.groupCount), 0, kMaxChannels);
}

std::optional<PeakChoice> ChooseTriggeredChannel(const PolModeForm& form, const MeasureState& state, double ohm) {
  // Every peak is converted with R: without a usable shunt no channel can pass.
  if (!UsableShunt(ohm)) return std::nullopt;
  std::optional<PeakChoice> chosen;
  const int channels = SweepChannels(state);
  for (int i = 0; i < channels; ++i) {
    const auto n = static_cast<std::size_t>(i);
    const double milliamps = CountsToMilliamps(static_cast<double>(state.peaks[n]), ohm);
    if (milliamps > text::LeadingNumber(form.Combo3[n].text)) chosen = PeakChoice{i, state.peaks[n], milliamps};
  }
  return chosen;
}

Sweep::Sweep(PolModeForm& form, MeasureState& state) : form_(form), state_(state) {}

const ChannelReport& Sweep::LastReport(int channelIndex) const {
  static const ChannelReport kNone{};
  return HoldsChannel(channelIndex) ? reports_[static_cast<std::size_t>(channelIndex)] : kNone;
}

void Sweep::DTSyori() {
  const int old = state_.groupCounter;
  // A group count of 0 would divide by zero: the counter then stays.
  if (state_.groupCount > 0) state_.groupCounter = static_cast<int16_t>((old + 1) % state_.groupCount);
  CallHook(selectGroup, static_cast<int>(state_.groupCounter));

  ConvertBlock(state_.block);
  if (old == 0) CallHook(dtSave);

  AnalyseGroup(state_.block, old);
  StoreWaves(old);

  if (old != state_.groupCount - 1) return;
  CallHook(plotData);
  CallHook(peakSave);
}

bool Sweep::AnalyseGroup(std::span<const int16_t> frames, int group) {
  const auto sums = SumBlock(frames, state_.tables);
  if (!sums) return false;
  // Nothing else runs while a block is handled, so the shunt box and the
  // level boxes read once hold for all four channels.
  const double ohm = ShuntResistance(form_);
  // The levels are currents converted with R: without a usable shunt no level
  // in counts exists, and nothing is counted.
  const bool counting = UsableShunt(ohm);
  StatisticsInput in;
  if (counting) {
    in.levels = ThresholdLevels(form_, ohm);
    in.halfPeriod = state_.tables.halfPeriod;
    in.lastSegment = LastSegment(form_);
  }
  int16_t offset = 0;  // the half-cycle offset computed last during this block
  std::array<int16_t, kSamplesRead> x;
  for (int ch = 0; ch < kFrameEntries; ++ch) {
    const int n = group * kFrameEntries + ch;
    if (!HoldsChannel(n)) continue;
    const ChannelOutcome outcome = ShowAndAdd((*sums)[static_cast<std::size_t>(ch)], ohm, n, form_, state_);
    const auto i = static_cast<std::size_t>(n);
    ThresholdCounts counts;
    if (counting && GatherChannel(frames, ch, x)) {
      in.x = x;
      in.peak = state_.peaks[i];
      in.sinSum = outcome.sinSum;
      in.cosSum = outcome.cosSum;
      counts = CountThresholds(in, offset);
      AddCounts(state_.results[i], counts);
    }
    reports_[i] = ChannelReport{true, outcome.values, counts};
  }
  return true;
}

void Sweep::StoreWaves(int group) {
  const SampleBlock& block = state_.block;
  WaveStore& waves = state_.waves;
  // Whole frames of the block, at most a store's worth.
  const int frames = static_cast<int>(std::min<std::size_t>(block.size() / kFrameEntries, WaveStore::kSamples));
  for (int ch = 0; ch < kFrameEntries; ++ch) {
    const int n = group * kFrameEntries + ch;
    // A store sized for fewer channels (the channel count changed since it
    // was made) does not take this channel; the others are stored.
    if (!waves.Holds(n)) continue;
    for (int k = 0; k < frames; ++k) waves.Set(k, n, block[static_cast<std::size_t>(kFrameEntries * k + ch)]);
  }
}

}  // namespace varnel::analysis
