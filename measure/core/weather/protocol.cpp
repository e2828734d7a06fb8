#include "weather/protocol.h"

#include <cmath>

#include "text/numforms.h"

namespace varnel::weather {

namespace {

// Byte `i` of the reply, or nullopt past its end.
std::optional<uint8_t> ByteAt(std::span<const uint8_t> reply, std::size_t i) {
  if (i >= reply.size()) return std::nullopt;
  return reply[i];
}

std::optional<int16_t> Signed16At(std::span<const uint8_t> reply, std::size_t lowIndex) {
  const auto low = ByteAt(reply, lowIndex);
  const auto high = ByteAt(reply, lowIndex + 1);
  if (!low || !high) return std::nullopt;
  return CombineSigned16(*low, *high);
}

// A temperature field in °C, or nullopt when it is missing or outside
// [minimum, maximum].
std::optional<double> TemperatureAt(std::span<const uint8_t> reply, std::size_t lowIndex, double minimum,
                                    double maximum) {
  const auto low = ByteAt(reply, lowIndex);
  const auto high = ByteAt(reply, lowIndex + 1);
  if (!low || !high) return std::nullopt;
  const double celsius = TenthsFahrenheitToCelsius(TwosComplement16(*low, *high));
  if (celsius < minimum || celsius > maximum) return std::nullopt;
  return celsius;
}

}  // namespace

std::optional<int16_t> CombineSigned16(uint8_t low, uint8_t high) {
  if (high >= 128) return std::nullopt;
  return static_cast<int16_t>(high * 256 + low);
}

int16_t TwosComplement16(uint8_t low, uint8_t high) {
  return static_cast<int16_t>(static_cast<uint16_t>(high << 8 | low));
}

double TenthsFahrenheitToCelsius(int raw) { return (raw / 10.0 - 32.0) * 5.0 / 9.0; }

double MilesPerHourToMetresPerSecond(int raw) { return raw / 3578.0 * 1600.0; }

double HundredthsInchToMillimetres(int raw) { return std::floor(raw / 100.0 * 254.0 + 0.5) / 10.0; }

std::optional<WeatherValues> DecodeWeatherValues(std::span<const uint8_t> reply) {
  if (reply.empty() || reply[0] != kStartMarker) return std::nullopt;
  WeatherValues v;
  v.insideTemperature = TemperatureAt(reply, 1, kMinInsideCelsius, kMaxInsideCelsius);
  v.outsideTemperature = TemperatureAt(reply, 3, kMinOutsideCelsius, kMaxOutsideCelsius);
  if (const auto raw = ByteAt(reply, 5)) v.windSpeed = MilesPerHourToMetresPerSecond(*raw);
  // The direction is combined in 32 bits, so every value 0..65535 is taken.
  if (const auto low = ByteAt(reply, 6), high = ByteAt(reply, 7); low && high)
    v.windDirection = static_cast<int32_t>(*high) * 256 + static_cast<int32_t>(*low);
  v.insideHumidity = ByteAt(reply, 10);
  v.outsideHumidity = ByteAt(reply, 11);
  if (const auto raw = Signed16At(reply, 12)) v.rain = HundredthsInchToMillimetres(*raw);
  return v;
}

WeatherReading ToReading(const WeatherValues& v) {
  WeatherReading r;
  if (v.windSpeed) r.windSpeed = text::Format(*v.windSpeed, "##0.0");
  if (v.windDirection) r.windDirection = text::PlainForm(*v.windDirection);
  if (v.outsideTemperature) r.outsideTemperature = text::Format(*v.outsideTemperature, "##0.0");
  if (v.insideTemperature) r.insideTemperature = text::Format(*v.insideTemperature, "##0.0");
  if (v.outsideHumidity) r.outsideHumidity = text::PlainForm(*v.outsideHumidity);
  if (v.insideHumidity) r.insideHumidity = text::PlainForm(*v.insideHumidity);
  if (v.rain) r.rain = text::GeneralDouble(*v.rain);
  return r;
}

std::optional<WeatherReading> DecodeWeatherReply(std::span<const uint8_t> reply) {
  const auto values = DecodeWeatherValues(reply);
  if (!values) return std::nullopt;
  return ToReading(*values);
}

}  // namespace varnel::weather
