// Waveform snapshot files ("...Wev.dat"): the waveform store as written by the
// scheduled snapshot and by the peak-triggered save.
//
// Layout, little-endian, no gaps:
//   offset 0  int16  1255, the last sample index
//   offset 2  int16  channels - 1, the last channel index (3, 7 or 15)
//   offset 4  int16  1256 samples of channel 0, then 1256 of channel 1, ...
// so a file is 10052, 20100 or 40196 bytes for 4, 8 or 16 channels.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "form/state.h"

namespace varnel::store {

inline constexpr int16_t kWaveLastSampleIndex = WaveStore::kSamples - 1;  // 1255
inline constexpr std::size_t kWaveHeaderBytes = 4;

// True for the channel counts a waveform file can hold: 4, 8 or 16.
bool IsWaveformChannelCount(int channels);
// Size in bytes of a waveform file with `channels` channels.
std::size_t WaveformFileSize(int channels);

// Writes `waves` (all of its channels) to `pathUtf8`, replacing any file of
// that name.  The file is written whole or not at all: the bytes go to a
// temporary file in the same folder, which is synced and then renamed over
// the target, so a reader never sees a half-written snapshot and a failure
// leaves any older file of that name untouched.  Returns false (and leaves
// nothing behind) when the store's channel count is not 4, 8 or 16 or when
// any file operation fails.
bool WriteWaveformFile(const std::string& pathUtf8, const WaveStore& waves);
// The same for the first `channels` channels of `waves` only (for a store
// sized larger than the measured channel count).  `channels` must be 4, 8 or
// 16 and not more than waves.Channels().
bool WriteWaveformFile(const std::string& pathUtf8, const WaveStore& waves, int channels);

// The file bytes of a snapshot of the first `channels` channels (no checks).
std::string EncodeWaveform(const WaveStore& waves, int channels);
// Decodes file bytes; nullopt with the reason in *whyNot when the header or
// the size does not fit the layout.
std::optional<WaveStore> DecodeWaveform(const std::string& bytes, std::string* whyNot);

// Reads a waveform file; nullopt with the reason in *whyNot (may be null)
// when it cannot be read or does not fit the layout.
std::optional<WaveStore> ReadWaveformFile(const std::string& pathUtf8, std::string* whyNot);

}  // namespace varnel::store
