// The weather station's serial protocol: the request, and the decoding of a
// reply packet into display units and display texts.  Pure functions over
// byte spans; nothing here touches a port or the window.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace varnel::weather {

// The only bytes ever sent to the station: "LOOP", 0xE7, 0xFF, CR.
inline constexpr std::array<uint8_t, 7> kRequest = {0x4C, 0x4F, 0x4F, 0x50, 0xE7, 0xFF, 0x0D};

// A reply is read only when more than this many bytes wait (at least 17).
inline constexpr int kReplyThreshold = 16;

// The start marker that byte 0 of an accepted packet carries.
inline constexpr uint8_t kStartMarker = 0x01;

// high × 256 + low in 16-bit signed arithmetic.  A high byte of 128 or more
// overflows that arithmetic: the field is rejected (nullopt), never read as a
// negative number.  The rain field is combined this way.
std::optional<int16_t> CombineSigned16(uint8_t low, uint8_t high);
// The two bytes as a two's-complement 16-bit value: the station sends
// temperatures below 0 °F as negative numbers (0xFFD8 is -40, -4.0 °F).
int16_t TwosComplement16(uint8_t low, uint8_t high);

// Temperatures the station can report, °C.  A cold site goes well below
// 0 °F (-17.8 °C), which a station sends as a negative number; outside that
// a reading is not a temperature (the station's 32767 "no sensor" value,
// noise) and is rejected.  The inside sensor sits in the hut or cabinet of
// the console, which neither freezes as hard nor heats beyond the outside.
inline constexpr double kMinOutsideCelsius = -60.0;
inline constexpr double kMaxOutsideCelsius = 70.0;
inline constexpr double kMinInsideCelsius = -40.0;
inline constexpr double kMaxInsideCelsius = 70.0;

// Conversions into display units, in double with the station's constants.
double TenthsFahrenheitToCelsius(int raw);    // (raw / 10 − 32) × 5 / 9
double MilesPerHourToMetresPerSecond(int raw);  // raw / 3578 × 1600
double HundredthsInchToMillimetres(int raw);  // Int(raw / 100 × 254 + 0.5) / 10

// The values of one packet.  A field is nullopt when it is rejected (a
// temperature outside the limits above, a rain field with a high byte of 128
// or more) or when the packet is too short to hold it.
struct WeatherValues {
  std::optional<double> windSpeed;         // m/s
  std::optional<int32_t> windDirection;    // degrees, 0..65535, not reduced
  std::optional<double> outsideTemperature;  // °C
  std::optional<double> insideTemperature;   // °C
  std::optional<uint8_t> outsideHumidity;  // %
  std::optional<uint8_t> insideHumidity;   // %
  std::optional<double> rain;              // mm
};

// Decodes bytes 0..13 of a reply; nullopt when byte 0 is not the start
// marker (or there is no byte at all).  Bytes from 14 on are ignored.
std::optional<WeatherValues> DecodeWeatherValues(std::span<const uint8_t> reply);

// One accepted packet as the weather frame shows it.  Each field is the text
// of its label; nullopt for a rejected field, whose label keeps its text.
struct WeatherReading {
  std::optional<std::string> windSpeed;          // "##0.0"
  std::optional<std::string> windDirection;      // integer
  std::optional<std::string> outsideTemperature; // "##0.0"
  std::optional<std::string> insideTemperature;  // "##0.0"
  std::optional<std::string> outsideHumidity;    // integer
  std::optional<std::string> insideHumidity;     // integer
  std::optional<std::string> rain;               // shortest general number
};

WeatherReading ToReading(const WeatherValues& v);

// DecodeWeatherValues followed by ToReading.
std::optional<WeatherReading> DecodeWeatherReply(std::span<const uint8_t> reply);

}  // namespace varnel::weather
