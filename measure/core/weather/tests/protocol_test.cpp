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

TEST(WeatherDecode, EveryFieldOfAReplyDecodesToItsDisplayText) {
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

TEST(WeatherDecode, RainWithAHighByteOf128OrMoreIsRejected) {
  EXPECT_EQ(CombineSigned16(0xFF, 0x7F), int16_t{32767});
  EXPECT_FALSE(CombineSigned16(0x00, 0x80).has_value());
  EXPECT_FALSE(CombineSigned16(0xF6, 0xFF).has_value());

  PacketFields f;
  f.rain = 0x8001;
  f.direction = 0xFFFF;  // combined in 32 bits: taken as it is
  const auto r = DecodeWeatherReply(Packet(f));
  ASSERT_TRUE(r.has_value());
  EXPECT_FALSE(r->rain.has_value());
  EXPECT_EQ(r->windDirection, "65535");
  EXPECT_EQ(r->windSpeed, "4.5");
  f.rain = 32767;  // 327.67 in -> 8322.818 -> Int(83228.68) = 83228 -> 8322.8
  EXPECT_EQ(DecodeWeatherReply(Packet(f))->rain, "8322.8");
}

// Temperatures are two's-complement tenths of °F.  Worked by hand:
//   FFD8 = -40  -> -4.0 °F  -> (-4 - 32) x 5 / 9   = -20.0 °C
//   FFF6 = -10  -> -1.0 °F  -> (-1 - 32) x 5 / 9   = -18.33 °C
//   FD08 = -760 -> -76.0 °F -> (-76 - 32) x 5 / 9  = -60.0 °C, the outside minimum
//   062C = 1580 -> 158.0 °F -> (158 - 32) x 5 / 9  = 70.0 °C, both maxima
//   FE70 = -400 -> -40.0 °F                        = -40.0 °C, the inside minimum
// One tenth beyond a limit is rejected, and so are the station's 7FFF ("no
// sensor", 1802.6 °C) and 8000 (-1838.2 °C).
TEST(WeatherDecode, TemperaturesAreSignedAndRejectedOnlyBeyondWhatAStationReports) {
  EXPECT_EQ(TwosComplement16(0xD8, 0xFF), -40);
  EXPECT_EQ(TwosComplement16(0x00, 0x80), -32768);
  EXPECT_EQ(TwosComplement16(0xFF, 0x7F), 32767);

  struct Case {
    uint16_t raw;
    const char* outside;  // nullptr: rejected
    const char* inside;
  };
  const Case cases[] = {
      {0xFFD8, "-20.0", "-20.0"}, {0xFFF6, "-18.3", "-18.3"}, {0xFD08, "-60.0", nullptr},
      {0xFD07, nullptr, nullptr}, {0x062C, "70.0", "70.0"},   {0x062D, nullptr, nullptr},
      {0xFE70, "-40.0", "-40.0"}, {0xFE6F, "-40.1", nullptr}, {0x7FFF, nullptr, nullptr},
      {0x8000, nullptr, nullptr}, {100, "-12.2", "-12.2"},     {320, "0.0", "0.0"},
  };
  for (const Case& c : cases) {
    PacketFields f;
    f.outTemp = c.raw;
    f.inTemp = c.raw;
    const auto r = DecodeWeatherReply(Packet(f));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->outsideTemperature, c.outside ? std::optional<std::string>(c.outside) : std::nullopt) << c.raw;
    EXPECT_EQ(r->insideTemperature, c.inside ? std::optional<std::string>(c.inside) : std::nullopt) << c.raw;
    EXPECT_EQ(r->rain, "1.3") << "the other fields go on";
  }
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
