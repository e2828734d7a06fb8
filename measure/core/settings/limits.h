// The values of the window that SETDT.DAT keeps, and the one set of limits
// they must meet.
//
// The same rules decide whether the window takes a value the operator types
// and whether a value loaded from SETDT.DAT is used or replaced by its load
// default, so a value the window takes is exactly the value a restart (by
// hand or by the watchdog) comes back with.  An entered text is judged by
// the value the settings save makes of it: its leading number, rounded half
// to even for the intervals, in single precision for the shunt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnel {

// Data save interval, minutes: a record at every minute divisible by it
// within the hour.
inline constexpr int16_t kMinDataInterval = 1;
inline constexpr int16_t kMaxDataInterval = 60;
// Waveform save interval, minutes: up to a day.  SETDT.DAT stores it
// negated while the scheduled save is off, so a stored value is judged by
// its magnitude.
inline constexpr int16_t kMinWaveInterval = 1;
inline constexpr int16_t kMaxWaveInterval = 1440;
// Shunt resistance, ohm: anything that can carry a leakage current to the
// card, from 10 milliohm to 1 megohm.
inline constexpr float kMinShuntOhm = 0.01f;
inline constexpr float kMaxShuntOhm = 1.0e6f;

bool DataIntervalAllowed(int16_t minutes);
// `minutes` as entered (always positive); see StoredWaveIntervalAllowed.
bool WaveIntervalAllowed(int16_t minutes);
// A stored waveform interval: its sign carries the check box.
bool StoredWaveIntervalAllowed(int16_t stored);
bool ShuntOhmAllowed(float ohm);

// Texts of the window as the settings save stores them: the leading number
// rounded half to even and held to the 16-bit range, or as a single.
int16_t IntervalAsStored(std::string_view text);
float SingleAsStored(std::string_view text);

// The value an entered text stands for, or nullopt when it lies outside the
// limits ("0", "61", "-5", "abc" for the data interval).
std::optional<int16_t> EnteredDataInterval(std::string_view text);
std::optional<int16_t> EnteredWaveInterval(std::string_view text);
std::optional<float> EnteredShuntOhm(std::string_view text);

// Why a data-file path cannot be kept by SETDT.DAT.
enum class PathProblem {
  None,
  Empty,            // an empty stored path loads as the window's own path
  TooLong,          // more than 32767 characters
  NotInCodePage932  // a character code page 932 cannot hold, or holds as another one
};
struct PathCheck {
  PathProblem problem = PathProblem::None;
  std::string character;  // the first character that cannot be kept (UTF-8)
};
// SETDT.DAT stores the path in code page 932, which holds no "ä" and no
// emoji and folds some characters into others ("〜" U+301C comes back as
// "～" U+FF5E): such a path would load as another file after a restart.
PathCheck CheckDataPath(std::string_view utf8);

}  // namespace varnel
