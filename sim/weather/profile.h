// Readings of the simulated weather station and the packet that carries them.
//
// A profile decides what the station reports for each reply: one fixed set of
// readings, a sequence read from a file, or a day of weather that changes
// smoothly with (simulated) time.  Everything here is deterministic so that
// tests can compute what the measurement program must show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace weathersim {

// Readings exactly as they travel on the wire.
struct RawReading {
  uint16_t inTemp = 0;     // tenths of a degree Fahrenheit (16 bits, as sent)
  uint16_t outTemp = 0;    // tenths of a degree Fahrenheit
  uint8_t windSpeed = 0;   // miles per hour
  uint16_t direction = 0;  // degrees
  uint8_t inHumidity = 0;  // %
  uint8_t outHumidity = 0; // %
  uint16_t rain = 0;       // hundredths of an inch
  friend bool operator==(const RawReading&, const RawReading&) = default;
};

// Physical values to wire units, rounded to the nearest unit and clamped to
// the field's range.  Temperatures below 0 °F become the 16-bit two's
// complement, as the station sends them (-20 °C is -4.0 °F, 0xFFD8).
uint16_t TempCelsiusToWire(double celsius);
uint8_t WindMetresPerSecondToWire(double metresPerSecond);
uint16_t RainMillimetresToWire(double millimetres);

// The reply packet: byte 0 = 0x01, then the fields in their wire layout
// (16-bit fields low byte first), then filler up to `length` bytes.  A length
// under 14 cuts the packet (a broken reply).
inline constexpr std::size_t kPacketLength = 18;
std::vector<uint8_t> EncodePacket(const RawReading& r, std::size_t length = kPacketLength);

// The 7-byte request the station answers.
inline constexpr uint8_t kRequest[7] = {0x4C, 0x4F, 0x4F, 0x50, 0xE7, 0xFF, 0x0D};

// Readings given as "key=value,key=value" (blanks and ";" also separate).
// Keys in physical units: in, out (°C), wind (m/s), dir (degrees),
// inhum, outhum (%), rain (mm).  Keys in wire units, for exact or faulty
// values: in_raw, out_raw, wind_raw, dir_raw, rain_raw (0..65535; the two
// temperatures also -32768..-1, sent in two's complement).  Keys left out
// keep the values of DefaultReading().
std::optional<RawReading> ParseReading(std::string_view text, std::string* error);
RawReading DefaultReading();

// One reading per line in the ParseReading form; blank lines and lines
// starting with '#' are skipped.  An empty result or a bad line is an error
// naming the line.
std::optional<std::vector<RawReading>> LoadSequence(const std::string& path, std::string* error);
std::optional<std::vector<RawReading>> ParseSequence(std::string_view text, std::string* error);

// The default profile: a day of weather as smooth functions of the time of
// day.  `hourOfDay` is 0..24 (wraps).  Temperatures peak mid-afternoon,
// humidity moves against the temperature, the wind freshens in the afternoon
// and veers slowly, and a shower from 14:00 to 16:00 brings the day's rain
// total from 0 to 4 mm (reset at midnight).
struct DayWeather {
  double inTempC;
  double outTempC;
  double windMs;
  double directionDeg;  // 0..360
  double inHumidity;
  double outHumidity;
  double rainMm;
};
DayWeather DayWeatherAt(double hourOfDay);
RawReading DayReadingAt(double hourOfDay);

class Profile {
 public:
  static Profile Fixed(RawReading r);
  static Profile Sequence(std::vector<RawReading> readings);
  // Simulated time starts at `startHour` and runs `speedup` times faster
  // than real time.
  static Profile Day(double startHour, double speedup);

  // The reading of the `replyIndex`-th packet (from 0), sent `elapsedSeconds`
  // of real time after the station started.  A sequence repeats from its
  // first entry after its last.
  RawReading Reading(uint64_t replyIndex, double elapsedSeconds) const;

 private:
  enum class Kind { Fixed, Sequence, Day };
  Kind kind_ = Kind::Fixed;
  std::vector<RawReading> readings_;
  double startHour_ = 0;
  double speedup_ = 1;
};

}  // namespace weathersim
