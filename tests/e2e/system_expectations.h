// The configuration of the end-to-end sites and what their data files must
// hold, checked field by field against the card profile's reference and the
// weather station's fixed readings.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "profile_reference.h"
#include "site.h"

namespace e2e {

// Trigger level of the last insulator's peak-triggered snapshot (the other
// channels get a level no current reaches): only its larger discharge bursts
// pass it.
inline constexpr double kPeakTriggerMa = 8.5;
inline constexpr double kUnreachableLevelMa = 100;

// 16 channels, a record every minute, a scheduled snapshot every minute,
// text or binary data file.
SiteSettings SystemRunSettings(bool binary);

// The station sends the same packet every time, given in wire units:
//   inside 770 tenths of F -> (77.0 - 32) x 5/9 = 25.0 C
//   outside 680           -> (68.0 - 32) x 5/9 = 20.0 C
//   wind 10 mph           -> 10 / 3578 x 1600 = 4.47 -> "4.5" m/s
//   direction 45; humidity 50 % inside, 75 % outside
//   rain 5 hundredths of an inch -> Int(5 / 100 x 254 + 0.5) / 10 = 1.3 mm
// Averages of identical packets are the packet's values (the vector mean of
// 45 degrees is 45), the maximum wind speed is the wind speed.
std::vector<std::string> FixedStationArgs();
// Fields 2..9 of a record: wind, direction, outside temperature and
// humidity, inside temperature and humidity, rain, maximum wind.
inline const std::array<std::string, 8> kStoredWeather{"4.5", "45", "20", "75", "25", "50", "1.3", "4.5"};

// The header line of the text form for `channels` channels and the design
// detection levels, without its line end.
std::string ExpectedHeader(int channels);

// Lines of a data file in text form (UTF-8): headers and records apart.
struct DataLines {
  std::vector<std::string> headers;
  std::vector<std::vector<std::string>> records;  // fields
  bool endsWithLineEnd = true;
};
DataLines SplitDataText(std::string_view utf8, std::string_view lineEnd);

// The data file in text form, decoded from code page 932.
DataLines ReadTextDataFile(const fs::path& file);

// Seconds since the epoch of a record's time text, read as UTC (only
// differences are used); nullopt when it is not "yyyy/mm/dd hh:mm:ss".
std::optional<long long> RecordSeconds(const std::string& text);

// Checks one record of 16 channels against the reference: components within
// their tolerance for a mean over at least `minSweeps` blocks per channel,
// the largest peak between the median block peak and the profile's ceiling,
// the percentages likewise.  `what` names the record in failures.
void ExpectRecordMatchesProfile(const std::vector<std::string>& record, const Reference& reference, int minSweeps,
                                const std::string& what);

// Weather fields of a record against kStoredWeather.
void ExpectFixedWeather(const std::vector<std::string>& record, const std::string& what);

// Whole records in the site's data file so far (lines after the header in
// text form, 1000-byte records in binary form).
size_t StoredRecords(const Site& site);

// The reference for the sites' card stand-in (computed once).
const Reference& SiteReference();

// A waveform snapshot file: int16 1255, int16 channels - 1, then 1256 counts
// of each channel.  Empty when the file does not fit that layout.
std::vector<std::vector<int16_t>> ReadSnapshot(const fs::path& file);

}  // namespace e2e
