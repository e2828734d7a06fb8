// The group sweep: the block handling `DTSyori` that the measurement cycle
// runs once per acquired block.
//
// With an external multiplexer the card's four inputs serve up to sixteen
// channels as groups of four, selected by the RTS and DTR lines of the serial
// port.  Each block is attributed to the group the counter names when it
// arrives; the lines are switched to the next group at once so that the
// multiplexer settles before the next acquisition.  A sweep is GroupCount
// consecutive blocks: the result storage runs at its start, the graph and the
// peak-triggered waveform save at its end.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "analysis/analysis.h"
#include "analysis/statistics.h"
#include "form/form.h"
#include "ports/ports.h"
#include "form/state.h"
#include "text/numforms.h"

namespace varnel::analysis {

// Multiplexer line codes for group g: RTS asserted when g mod 3 = 0, DTR
// asserted when g div 2 is not 0 (g 0: RTS; 1: none; 2: DTR; 3: both).
struct LineCodes {
  bool rts = false;
  bool dtr = false;
  friend bool operator==(const LineCodes&, const LineCodes&) = default;
};
LineCodes LinesForGroup(int group);

// The channel whose peak exceeded its own trigger level (`Combo3(i)`, mA) in
// the last sweep; the highest such channel index wins.  Equal does not pass.
struct PeakChoice {
  int channelIndex = 0;
  float peak = 0;         // counts
  double milliamps = 0;   // peak / R x 10 / 4096 x 1000
};
std::optional<PeakChoice> ChooseTriggeredChannel(const PolModeForm& form, const MeasureState& state, double ohm);

// Name of a peak-triggered waveform file: the folder part of `dataPath`
// (empty when it has none), "ch", the channel number (index + 1) with "Peak",
// the peak formatted "#0.0#mA", the local time "yyyymmdd-hhmm" and "Wev.dat".
// Channel index 2 with 12.34 mA at 15:30 on 4 February 2004 in /var/tmp/
// gives /var/tmp/ch3Peak12.34mA20040204-1530Wev.dat.
std::string PeakFileName(std::string_view dataPath, int channelIndex, double milliamps,
                         const text::LocalDateTime& now);

// Values of the last block analysed for one channel index.
struct ChannelReport {
  bool analysed = false;
  BlockValues values;
  ThresholdCounts counts;  // counts this block added
};

// Writes `channels` channels of the waveform store to a file, replacing it;
// false when it could not.
using WaveformWriter = std::function<bool(const std::string& path, const WaveStore& waves, int channels)>;

class Sweep {
 public:
  Sweep(PolModeForm& form, MeasureState& state, SerialPort& port, const Clock& clock);

  // Result storage, called at the start of every sweep before the block is
  // analysed.  Whatever it throws ends only that call.
  std::function<void()> dtSave;
  // Graph redraw, called at the end of every sweep.
  std::function<void()> plotData;
  // The waveform file writer of the peak-triggered save (the store's own by
  // default).
  WaveformWriter writeWaveform;

  // Handles the block in `state.block`: advances the group counter, sets the
  // lines for the next group, converts the block, runs the storage at the
  // start of a sweep, analyses and counts the four channels, copies the block
  // into the waveform store and, at the end of a sweep, redraws the graph and
  // runs the peak-triggered save when `Check3` is ticked.
  void DTSyori();

  // Analysis and threshold statistics of the four channels of `frames`
  // (signed counts in frames of four, at least kBlockEntriesRead entries) as
  // channel indexes group x 4 .. group x 4 + 3.  DTSyori calls this for its
  // block; the offline analysis calls it for the groups of a waveform
  // snapshot.  False when there are too few entries.
  bool AnalyseGroup(std::span<const int16_t> frames, int group);

  // The last block analysed for a channel index (not analysed when out of range).
  const ChannelReport& LastReport(int channelIndex) const;

 private:
  void SetLines(int group);
  void StoreWaves(int group);
  void PeakTriggeredSave();

  PolModeForm& form_;
  MeasureState& state_;
  SerialPort& port_;
  const Clock& clock_;
  std::array<ChannelReport, kMaxChannels> reports_{};
};

}  // namespace varnel::analysis
