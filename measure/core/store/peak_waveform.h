// The peak-triggered waveform save: at the end of a sweep, with "waveform
// save by peak" (`Check3`) ticked, the waveform store goes to a file named
// after the channel whose peak passed its own trigger level.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "form/form.h"
#include "form/state.h"
#include "ports/ports.h"
#include "text/numforms.h"

namespace varnel::store {

// Name of a peak-triggered waveform file: the folder part of `dataPath`
// (empty when it has none), "ch", the channel number (index + 1) with "Peak",
// the peak formatted "#0.0#mA", the local time "yyyymmdd-hhmm" and "Wev.dat".
// Channel index 2 with 12.34 mA at 15:30 on 4 February 2004 in /var/tmp/
// gives /var/tmp/ch3Peak12.34mA20040204-1530Wev.dat.
std::string PeakFileName(std::string_view dataPath, int channelIndex, double milliamps,
                         const text::LocalDateTime& now);

// Writes `channels` channels of the waveform store to a file, replacing it;
// false when it could not.
using WaveformWriter = std::function<bool(const std::string& path, const WaveStore& waves, int channels)>;

class PeakWaveformSave {
 public:
  PeakWaveformSave(const PolModeForm& form, const MeasureState& state, const Clock& clock);

  // The file writer (WriteWaveformFile by default).
  WaveformWriter writeWaveform;

  // Called at the end of every sweep: when `Check3` is ticked and a channel
  // of the sweep passed its trigger, writes the sweep's channels to the
  // file named after it.  A file that cannot be written is skipped quietly.
  void Save();

 private:
  const PolModeForm& form_;
  const MeasureState& state_;
  const Clock& clock_;
};

}  // namespace varnel::store
