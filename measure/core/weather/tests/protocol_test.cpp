#include "weather/protocol.h"

#include <gtest/gtest.h>

#include "packets.h"

namespace varnel::weather {
namespace {

using testing::Packet;
using testing::PacketFields;

TEST(WeatherRequest, IsLoopE7FfCarriageReturn) {
  const std::array<uint8_t, 7> expected = {'L', 'O', 'O', 'P', 231, 255, '\r'};
  EXPECT_EQ(kRequest, expected);
}

TEST(WeatherDecode, ThePartExamplePacketGivesEveryValue) {
  // 0x01 | 0x20 0x03 | 0x40 0x01 | 0x0A | 0x68 0x01 | 2 any | 0x32 | 0x4B | 0x05 0x00 | 3 more
  const std::vector<uint8_t> bytes = {0x01, 0x20, 0x03, 0x40, 0x01, 0x0A, 0x68, 0x01, 0xEE,
                                      0xDD, 0x32, 0x4B, 0x05, 0x00, 0x00, 0x00, 0x00};
  const auto r = DecodeWeatherReply(bytes);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->insideTemperature, "26.7");
  EXPECT_EQ(r->outsideTemperature, "0.0");
  EXPECT_EQ(r->windSpeed, "4.5");
  EXPECT_EQ(r->windDirection, "360");
  EXPECT_EQ(r->insideHumidity, "50");
  EXPECT_EQ(r->outsideHumidity, "75");
  EXPECT_EQ(r->rain, "1.3");
}

TEST(WeatherDecode, ConversionsUseTheStationConstantsInDouble) {
  // 800 / 10 = 80 °F -> 48 * 5 / 9 = 26.666...
  EXPECT_DOUBLE_EQ(TenthsFahrenheitToCelsius(800), (80.0 - 32.0) * 5.0 / 9.0);
  // 1600/3578, not 0.44704: 10 mph -> 4.4717 (0.44704 would give 4.4704)
  EXPECT_NEAR(MilesPerHourToMetresPerSecond(10), 4.47177194, 1e-8);
  // 5 -> 12.7 + 0.5 -> 13 -> 1.3; 100 -> 254.5 -> Int 254 -> 25.4 (not 25.5)
  EXPECT_DOUBLE_EQ(HundredthsInchToMillimetres(5), 1.3);
  EXPECT_DOUBLE_EQ(HundredthsInchToMillimetres(100), 25.4);
  EXPECT_DOUBLE_EQ(HundredthsInchToMillimetres(0), 0.0);
  EXPECT_DOUBLE_EQ(HundredthsInchToMillimetres(1), 0.3);  // 2.54 + 0.5 -> 3
}

TEST(WeatherDecode, WindByteExtremes) {
  PacketFields f;
  f.wind = 1;
  EXPECT_EQ(DecodeWeatherReply(Packet(f))->windSpeed, "0.4");
  f.wind = 255;
  EXPECT_EQ(DecodeWeatherReply(Packet(f))->windSpeed, "114.0");
  f.wind = 0;
  EXPECT_EQ(DecodeWeatherReply(Packet(f))->windSpeed, "0.0");
}

TEST(WeatherDecode, HighByteOf128OrMoreRejectsTemperaturesAndRainOnly) {
  EXPECT_EQ(CombineSigned16(0xFF, 0x7F), int16_t{32767});
  EXPECT_FALSE(CombineSigned16(0x00, 0x80).has_value());
  EXPECT_FALSE(CombineSigned16(0xF6, 0xFF).has_value());

  PacketFields f;
  f.inTemp = 0x8000;
  f.outTemp = 0xFFF6;  // -10 as two's complement: not read as a negative number
  f.rain = 0x8001;
  f.direction = 0xFFFF;  // combined in 32 bits: taken as it is
  const auto r = DecodeWeatherReply(Packet(f));
  ASSERT_TRUE(r.has_value());
  EXPECT_FALSE(r->insideTemperature.has_value());
  EXPECT_FALSE(r->outsideTemperature.has_value());
  EXPECT_FALSE(r->rain.has_value());
  EXPECT_EQ(r->windDirection, "65535");
  EXPECT_EQ(r->windSpeed, "4.5");
}

TEST(WeatherDecode, LargestAcceptedRawValues) {
  PacketFields f;
  f.outTemp = 32767;  // 3276.7 °F
  f.rain = 32767;     // 327.67 in -> 8322.818 -> Int(83228.68) = 83228 -> 8322.8
  const auto r = DecodeWeatherReply(Packet(f));
  EXPECT_EQ(r->outsideTemperature, "1802.6");  // (3276.7 - 32) * 5 / 9 = 1802.61
  EXPECT_EQ(r->rain, "8322.8");
}

TEST(WeatherDecode, SubZeroFahrenheitBelowTheRejectionStillWorks) {
  PacketFields f;
  f.outTemp = 100;  // 10 °F = -12.2 °C, high byte 0
  EXPECT_EQ(DecodeWeatherReply(Packet(f))->outsideTemperature, "-12.2");
}

TEST(WeatherDecode, WrongStartMarkerOrEmptyIsRejected) {
  auto p = Packet({});
  p[0] = 0x06;
  EXPECT_FALSE(DecodeWeatherReply(p).has_value());
  EXPECT_FALSE(DecodeWeatherReply({}).has_value());
}

TEST(WeatherDecode, TruncatedPacketDecodesOnlyTheFieldsItHolds) {
  const auto full = Packet({});
  // 6 bytes: marker, inside, outside, wind; no direction, humidity or rain.
  const auto r = DecodeWeatherValues(std::span(full).first(6));
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->insideTemperature && r->outsideTemperature && r->windSpeed);
  EXPECT_FALSE(r->windDirection || r->insideHumidity || r->outsideHumidity || r->rain);
  // 13 bytes: the rain's high byte is missing.
  const auto r13 = DecodeWeatherValues(std::span(full).first(13));
  EXPECT_TRUE(r13->outsideHumidity.has_value());
  EXPECT_FALSE(r13->rain.has_value());
}

}  // namespace
}  // namespace varnel::weather
