// The group sweep: the block handling `DTSyori` that the measurement cycle
// runs once per acquired block.
//
// With an external multiplexer the card's four inputs serve up to sixteen
// channels as groups of four.  Each block is attributed to the group the
// counter names when it arrives; the multiplexer is asked for the next group
// at once (cycle/multiplexer.h).  A sweep is GroupCount consecutive blocks:
// the result storage runs at its start, the graph and the peak-triggered
// waveform save (store/peak_waveform.h) at its end.  The sweep itself only
// computes: lines and files are reached through its hooks.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "analysis/analysis.h"
#include "analysis/statistics.h"
#include "form/form.h"
#include "form/state.h"

namespace varnel::analysis {

// Channel indexes of a sweep: 4 x GroupCount, never more than there are.
int SweepChannels(const MeasureState& state);

// The channel whose peak exceeded its own trigger level (`Combo3(i)`, mA) in
// the last sweep; the highest such channel index wins.  Equal does not pass.
struct PeakChoice {
  int channelIndex = 0;
  float peak = 0;         // counts
  double milliamps = 0;   // peak / R x 10 / 4096 x 1000
};
std::optional<PeakChoice> ChooseTriggeredChannel(const PolModeForm& form, const MeasureState& state, double ohm);

// Values of the last block analysed for one channel index.
struct ChannelReport {
  bool analysed = false;
  BlockValues values;
  ThresholdCounts counts;  // counts this block added
};

class Sweep {
 public:
  Sweep(PolModeForm& form, MeasureState& state);

  // Each hook is optional; whatever one throws ends only that call.
  // Switches the multiplexer to the group of the next block, called first.
  std::function<void(int group)> selectGroup;
  // Result storage, called at the start of every sweep before the block is
  // analysed.
  std::function<void()> dtSave;
  // Graph redraw, called at the end of every sweep.
  std::function<void()> plotData;
  // The peak-triggered waveform save, called at the end of every sweep after
  // the graph.
  std::function<void()> peakSave;

  // Handles the block in `state.block`: advances the group counter, selects
  // the next group, converts the block, runs the storage at the start of a
  // sweep, analyses and counts the four channels, copies the block into the
  // waveform store and, at the end of a sweep, redraws the graph and runs
  // the peak-triggered save.
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
  void StoreWaves(int group);

  PolModeForm& form_;
  MeasureState& state_;
  std::array<ChannelReport, kMaxChannels> reports_{};
};

}  // namespace varnel::analysis
