#include "analysis/sweep.h"

#include <algorithm>
#include <exception>

#include "store/waveform_file.h"
#include "text/paths.h"

namespace varnel::analysis {

namespace {

// A hook that throws ends only its own call; the block handling goes on.
void CallHook(const std::function<void()>& hook) {
  if (!hook) return;
  try {
    hook();
  } catch (const std::exception&) {
  } catch (...) {
  }
}

bool HoldsChannel(int channelIndex) { return channelIndex >= 0 && channelIndex < kMaxChannels; }

// Channel indexes of a sweep: 4 x GroupCount, never more than there are.
int SweepChannels(const MeasureState& state) {
  return std::clamp(kFrameEntries * static_cast<int>(state.groupCount), 0, kMaxChannels);
}

}  // namespace

LineCodes LinesForGroup(int group) { return LineCodes{group % 3 == 0, group / 2 != 0}; }

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

std::string PeakFileName(std::string_view dataPath, int channelIndex, double milliamps,
                         const text::LocalDateTime& now) {
  return text::FolderPart(dataPath) + "ch" + text::Format(channelIndex + 1, "##Peak") +
         text::Format(milliamps, "#0.0#mA") + text::FormatStamp(now) + "Wev.dat";
}

Sweep::Sweep(PolModeForm& form, MeasureState& state, SerialPort& port, const Clock& clock)
    : writeWaveform([](const std::string& path, const WaveStore& waves, int channels) {
        return store::WriteWaveformFile(path, waves, channels);
      }),
      form_(form),
      state_(state),
      port_(port),
      clock_(clock) {}

const ChannelReport& Sweep::LastReport(int channelIndex) const {
  static const ChannelReport kNone{};
  return HoldsChannel(channelIndex) ? reports_[static_cast<std::size_t>(channelIndex)] : kNone;
}

void Sweep::DTSyori() {
  const int old = state_.groupCounter;
  // A group count of 0 would divide by zero: the counter then stays.
  if (state_.groupCount > 0) state_.groupCounter = static_cast<int16_t>((old + 1) % state_.groupCount);
  SetLines(state_.groupCounter);

  ConvertBlock(state_.block);
  if (old == 0) CallHook(dtSave);

  AnalyseGroup(state_.block, old);
  StoreWaves(old);

  if (old != state_.groupCount - 1) return;
  CallHook(plotData);
  if (form_.Check3.checked) PeakTriggeredSave();
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

void Sweep::SetLines(int group) {
  const LineCodes lines = LinesForGroup(group);
  // A port that cannot take the line settings (a pseudo-terminal) is skipped
  // quietly; the lamps still show the code that was meant.
  form_.Label21[1].backColor = lines.rts ? kRed : kNavy;
  (void)port_.SetRts(lines.rts);
  form_.Label21[0].backColor = lines.dtr ? kRed : kNavy;
  (void)port_.SetDtr(lines.dtr);
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

void Sweep::PeakTriggeredSave() {
  const auto choice = ChooseTriggeredChannel(form_, state_, ShuntResistance(form_));
  if (!choice) return;
  const std::string path = PeakFileName(form_.Text4.text, choice->channelIndex, choice->milliamps, clock_.Now());
  // The header names exactly the channels that follow: the sweep's channels,
  // or fewer when the store holds fewer.
  const int channels = std::min(SweepChannels(state_), state_.waves.Channels());
  if (!writeWaveform) return;
  try {
    (void)writeWaveform(path, state_.waves, channels);  // a file that cannot be written is skipped quietly
  } catch (...) {
  }
}

}  // namespace varnel::analysis
