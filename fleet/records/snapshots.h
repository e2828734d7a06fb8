// Waveform snapshot files as the collector registers them: what the file
// name says (scheduled or peak-triggered, the time, the triggering channel
// and its peak) and the per-channel peaks of the samples.
//
// Names, in the folder of the data file:
//   scheduled        yyyymmdd-hhmmWev.dat                 20050601-1530Wev.dat
//   peak-triggered   ch<N>Peak<X.X#>mA<yyyymmdd-hhmm>Wev.dat  ch3Peak12.34mA20040204-1530Wev.dat
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "form/state.h"
#include "text/numforms.h"

namespace varnel::fleet {

enum class SnapshotKind { kScheduled, kPeak };

const char* SnapshotKindName(SnapshotKind kind);  // "scheduled", "peak"

struct SnapshotName {
  SnapshotKind kind = SnapshotKind::kScheduled;
  text::LocalDateTime time;                // to the minute, the site's local time
  std::optional<int> triggerChannel;       // 1..16, peak-triggered only
  std::optional<double> triggerPeakMa;     // as the name gives it
};

// True for a name ending in "Wev.dat".
bool LooksLikeSnapshot(std::string_view fileName);
// nullopt when the file name is neither form.
std::optional<SnapshotName> ParseSnapshotName(std::string_view fileName);

// Largest |count| of each channel over the samples the analysis looks at
// (indexes 2..1251), as the measurement program takes a block's peak.
std::vector<int> ChannelPeakCounts(const WaveStore& waves);
// Counts (a peak, an amplitude) as a current in mA through a shunt of
// `shuntOhm`.
double PeakMilliamps(double counts, double shuntOhm);

}  // namespace varnel::fleet
