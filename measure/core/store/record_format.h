// Layout of the data file's records, shared by the writer (DTSave) and the
// reader (varnel-data).
//
// Every record is one array of 248 singles plus its time:
//   element 0..7            weather: wind speed, wind direction, outside
//                           temperature, outside humidity, inside temperature,
//                           inside humidity, rain, maximum wind speed
//   element 8 + 6ch + k     channel ch (0..15), k = 0..5: Fhc F1c Flc DCc ALLc Rms
//   element 104 + 9ch + k   channel ch, k = 0: peak (mA), 1..4: time
//                           percentages, 5..8: half-cycle percentages
// Text form: one CSV line, "," without spaces, CR LF, code page 932, the time
// as the general date-time text and every number as the general text of a
// single; 9 + 15 x channels fields.  Binary form: 1000-byte records, the time
// as a little-endian double OLE Automation date at offset 0, then the 248
// little-endian singles; channels not measured hold 0.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "text/numforms.h"

namespace varnel::store {

inline constexpr std::size_t kRecordBytes = 1000;
inline constexpr std::size_t kRecordValueCount = 248;
inline constexpr int kWeatherValueCount = 8;
inline constexpr int kComponentsPerChannel = 6;
inline constexpr int kPeakValuesPerChannel = 9;
inline constexpr int kRecordChannels = 16;

using RecordValues = std::array<float, kRecordValueCount>;
using ThresholdTexts = std::array<std::string, 4>;

// The design threshold texts "0.5", "1", "2", "5".
ThresholdTexts DesignThresholdTexts();

constexpr std::size_t WeatherIndex(int k) { return static_cast<std::size_t>(k); }
constexpr std::size_t ComponentIndex(int ch, int k) { return static_cast<std::size_t>(8 + 6 * ch + k); }
constexpr std::size_t PeakIndex(int ch, int k) { return static_cast<std::size_t>(104 + 9 * ch + k); }

// Fields of a text line for `channels` channels: 69, 129 or 249.
constexpr int TextFieldCount(int channels) { return 9 + 15 * channels; }

// Appended to the last line before the program ends on abnormal data.
inline constexpr std::string_view kForcedStopMark = ",データ異常により強制終了";
inline constexpr std::string_view kLineEnd = "\r\n";

// The header line of the text form (UTF-8, without the line end).
std::string DataHeaderLine(int channels, const ThresholdTexts& thresholds);

// A record line of the text form (UTF-8, without the line end).
std::string DataRecordLine(const text::LocalDateTime& time, const RecordValues& values, int channels);

// One binary record.
struct BinaryRecord {
  double oleTime = 0;
  RecordValues values{};
};
std::string EncodeBinaryRecord(const BinaryRecord& record);
// `bytes` must hold at least kRecordBytes bytes.
BinaryRecord DecodeBinaryRecord(std::string_view bytes);

}  // namespace varnel::store
