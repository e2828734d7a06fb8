#include "store/peak_waveform.h"

#include <algorithm>

#include "analysis/analysis.h"
#include "analysis/sweep.h"
#include "store/waveform_file.h"
#include "text/paths.h"

namespace varnel::store {

std::string PeakFileName(std::string_view dataPath, int channelIndex, double milliamps,
                         const text::LocalDateTime& now) {
  return text::FolderPart(dataPath) + "ch" + text::Format(channelIndex + 1, "##Peak") +
         text::Format(milliamps, "#0.0#mA") + text::FormatStamp(now) + "Wev.dat";
}

PeakWaveformSave::PeakWaveformSave(const PolModeForm& form, const MeasureState& state, const Clock& clock)
    : writeWaveform([](const std::string& path, const WaveStore& waves, int channels) {
        return WriteWaveformFile(path, waves, channels);
      }),
      form_(form),
      state_(state),
      clock_(clock) {}

void PeakWaveformSave::Save() {
  if (!form_.Check3.checked) return;
  const auto choice = analysis::ChooseTriggeredChannel(form_, state_, analysis::ShuntResistance(form_));
  if (!choice) return;
  const std::string path = PeakFileName(form_.Text4.text, choice->channelIndex, choice->milliamps, clock_.Now());
  // The header names exactly the channels that follow: the sweep's channels,
  // or fewer when the store holds fewer.
  const int channels = std::min(analysis::SweepChannels(state_), state_.waves.Channels());
  if (!writeWaveform) return;
  try {
    (void)writeWaveform(path, state_.waves, channels);  // a file that cannot be written is skipped quietly
  } catch (...) {
  }
}

}  // namespace varnel::store
