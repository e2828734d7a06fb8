// SETDT.DAT: the operator's settings, kept across restarts.
//
// The file is one little-endian record with no header, padding or checksum:
//
//   offset  size  field
//        0     2  FreqIndex       int16   0 = 50 Hz, 1 = 60 Hz
//        2     2  DataInterval    int16   data save interval, minutes
//        4     2  WaveInterval    int16   waveform save interval, minutes;
//                                         negative = scheduled save off
//        6     2  GroupCount      int16   groups of four channels: 1, 2, 4
//        8     4  ShuntOhm        single  shunt resistance, ohm
//       12     2  PathLen         int16   CHARACTERS of DataPath
//       14     n  DataPath        code page 932, no terminator
//     14+n     4  PeakLevel       single  negative = peak-triggered save off
//     18+n    20  PeakThresholds  5 x single, mA
//     38+n     2  BinaryFormat    int16   0 = CSV, 1 = binary
//     40+n    64  ChannelLevels   16 x single, mA
//
// 104 + n bytes.  A two-byte character counts once in PathLen, so a reader
// must walk the path character by character to find the fields after it.
// The file is never truncated: bytes after a shorter new record stay.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "form/form.h"
#include "form/state.h"
#include "settings/file_write.h"
#include "settings/limits.h"

namespace varnel {

inline constexpr const char* kSettingsFileName = "SETDT.DAT";
inline constexpr std::size_t kSettingsFixedBytes = 104;
// The longest record: a path of 32767 two-byte characters.
inline constexpr std::size_t kSettingsMaxRecordBytes = kSettingsFixedBytes + 2 * 32767;

// The record of SETDT.DAT, with DataPath in UTF-8.
struct MeasureSettings {
  int16_t freqIndex = 0;
  int16_t dataInterval = 0;
  int16_t waveInterval = 0;
  int16_t groupCount = 0;
  float shuntOhm = 0;
  std::string dataPath;
  float peakLevel = 0;
  std::array<float, 5> peakThresholds{};
  int16_t binaryFormat = 0;
  std::array<float, kMaxChannels> channelLevels{};
  friend bool operator==(const MeasureSettings&, const MeasureSettings&) = default;
};

// What a file actually holds, field by field.  A field is nullopt when the
// file ends before it, when its position is unknown (a negative or too long
// PathLen), or when its value is unusable (path bytes that are not code page
// 932 or hold a NUL, a single that is not finite).
struct StoredSettings {
  std::optional<int16_t> freqIndex, dataInterval, waveInterval, groupCount;
  std::optional<float> shuntOhm;
  std::optional<std::string> dataPath;
  std::optional<float> peakLevel;
  std::array<std::optional<float>, 5> peakThresholds{};
  std::optional<int16_t> binaryFormat;
  std::array<std::optional<float>, kMaxChannels> channelLevels{};
};

// The record's bytes; nullopt when DataPath has more than 32767 characters
// and so cannot be stored.
std::optional<std::vector<uint8_t>> EncodeSettings(const MeasureSettings& s);
// Reads the leading record of `bytes`; never reads past them and allocates
// nothing from the stored length.  Bytes after the record are ignored.
StoredSettings DecodeSettings(std::span<const uint8_t> bytes);

// The values the save takes from the window: numbers are the leading
// numbers of the texts; the intervals are rounded half to even and held to
// the 16-bit range (a text beyond it stores -32768 or 32767); the check
// boxes are folded into the signs of WaveInterval and PeakLevel.
MeasureSettings CollectSettings(const PolModeForm& form, const MeasureState& state);

// Applies a stored record to the window as the start-up's settings load does
// and returns the values with the load defaults filled in, for the rest of
// the start-up (shunt text, channel-count option, data path, frequency
// option, interval lists and Check1):
//  - DataPath empty or unreadable: the current text of Text4, and FreqIndex
//    from the current Option2 choice;
//  - DataInterval 0 -> 1, WaveInterval 0 -> 10, ShuntOhm 0 -> 330, and
//    the same defaults for any value outside the limits the window takes
//    (settings/limits.h): a value the window refuses never comes back;
//  - GroupCount 0, or anything but 1, 2 and 4 -> 4 (the "16ch" choice);
//  - FreqIndex other than 0 or 1 -> the current Option2 choice;
//  - BinaryFormat 0 or 1 selects that Option3 item (selecting "バイナリ"
//    also sets the binary extension on Text4, as a click does); other values
//    and a missing field keep the current choice;
//  - Check3 cleared when PeakLevel < 0; Text3 = |PeakLevel| when non-zero;
//  - Text5(i) = PeakThresholds[i] when > 0, else unchanged;
//  - Combo3(i) = ChannelLevels[i], also "0"; unchanged when not in the file.
// The window's GroupCount and BinaryFormat are set here.  Fields missing
// from the file count as 0 for the rules above.
MeasureSettings ApplyStoredSettings(PolModeForm& form, MeasureState& state, const StoredSettings& stored);

// Outcome of loading SETDT.DAT.
struct SettingsLoad {
  MeasureSettings settings;  // load defaults filled in
  bool fileRead = false;     // false: missing or unreadable, defaults only
  std::string problem;       // why the file could not be read, when it could not
};

// Reads `dir`/SETDT.DAT into the window (see ApplyStoredSettings).  A
// missing or unreadable file is loaded as an empty one: the load defaults,
// every other control as designed.
SettingsLoad STFLood(PolModeForm& form, MeasureState& state, const std::filesystem::path& dir);

// Writes the window's settings to `dir`/SETDT.DAT.  The old file is replaced
// only when the new one is complete on disk; on failure the old file, the
// window and the state are unchanged and the result says why.
WriteResult STFSave(const PolModeForm& form, const MeasureState& state, const std::filesystem::path& dir);

// The data-file path stored in a settings file (UTF-8); nullopt when the
// file cannot be read, the path is empty or cannot be decoded.  Shared by
// the measurement program and the watchdog.
std::optional<std::string> ReadSettingsDataPath(const std::filesystem::path& file);

// Reads at most kSettingsMaxRecordBytes leading bytes of a file; nullopt
// when it cannot be opened or read.
std::optional<std::vector<uint8_t>> ReadSettingsBytes(const std::filesystem::path& file, std::string* problem = nullptr);

}  // namespace varnel
