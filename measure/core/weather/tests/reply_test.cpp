#include "weather/reply.h"

#include <gtest/gtest.h>

#include <cmath>

#include "packets.h"

namespace varnel::weather {
namespace {

using testing::Packet;
using testing::PacketFields;
using testing::WithDirection;
using testing::WithWind;

class WeatherReplyTest : public ::testing::Test {
 protected:
  void Accept(const std::vector<uint8_t>& bytes, ReplyPath path = ReplyPath::ReceiveEvent) {
    ApplyWeatherReply(bytes, path, form, totals);
  }
  const std::string& Shown(std::size_t index) const { return form.Label8[index].text; }

  PolModeForm form = MakeDesignForm();
  WeatherTotals totals{};
};

TEST_F(WeatherReplyTest, ExamplePacketIsShownWithOkAndCounted) {
  Accept({0x01, 0x20, 0x03, 0x40, 0x01, 0x0A, 0x68, 0x01, 0x12, 0x34, 0x32, 0x4B, 0x05, 0x00, 0xAA, 0xBB, 0xCC});
  EXPECT_EQ(Shown(label::kWindSpeed), "4.5");
  EXPECT_EQ(Shown(label::kWindDirection), "360");
  EXPECT_EQ(Shown(label::kOutsideTemperature), "0.0");
  EXPECT_EQ(Shown(label::kInsideTemperature), "26.7");
  EXPECT_EQ(Shown(label::kOutsideHumidity), "75");
  EXPECT_EQ(Shown(label::kInsideHumidity), "50");
  EXPECT_EQ(Shown(label::kRain), "1.3");
  EXPECT_EQ(form.Label18.text, "ok");
  // Averages over one packet are the packet itself.  The mean of 360
  // degrees shows 359: sin(360 × 3.14159265358979 / 180) is a hair below 0,
  // so θ is a hair below 360 and Int takes it to 359.
  EXPECT_EQ(Shown(label::kAverageWindSpeed), "4.5");
  EXPECT_EQ(Shown(label::kAverageWindDirection), "359");
  EXPECT_EQ(Shown(label::kAverageOutsideTemperature), "0.0");
  EXPECT_EQ(Shown(label::kAverageInsideTemperature), "26.7");
  EXPECT_EQ(Shown(label::kAverageOutsideHumidity), "75");
  EXPECT_EQ(Shown(label::kAverageInsideHumidity), "50");
  // The totals take the rounded texts, not the raw conversions.
  EXPECT_FLOAT_EQ(totals.windSpeedSum, 4.5f);
  EXPECT_FLOAT_EQ(totals.inTempSum, 26.7f);
  EXPECT_FLOAT_EQ(totals.outHumSum, 75.0f);
  EXPECT_FLOAT_EQ(totals.inHumSum, 50.0f);
  EXPECT_FLOAT_EQ(totals.packetCount, 1.0f);
  EXPECT_FLOAT_EQ(totals.maxWindSpeed, 4.5f);
}

TEST_F(WeatherReplyTest, TimerPathUsesUpperCaseWords) {
  Accept(Packet({}), ReplyPath::ReceiveTimer);
  EXPECT_EQ(form.Label18.text, "OK");
  auto bad = Packet({});
  bad[0] = 0x06;
  Accept(bad, ReplyPath::ReceiveTimer);
  EXPECT_EQ(form.Label18.text, "NG");
}

TEST_F(WeatherReplyTest, FirstByte06ShowsNgAndChangesNothing) {
  Accept(Packet({}));
  const PolModeForm before = form;
  const WeatherTotals totalsBefore = totals;
  PacketFields other;
  other.wind = 200;
  other.outTemp = 700;
  auto bad = Packet(other);
  bad[0] = 0x06;
  Accept(bad);
  EXPECT_EQ(form.Label18.text, "ng");
  for (std::size_t i = 0; i < form.Label8.size(); ++i) EXPECT_EQ(form.Label8[i].text, before.Label8[i].text) << i;
  EXPECT_EQ(totals.packetCount, totalsBefore.packetCount);
  EXPECT_EQ(totals.windSpeedSum, totalsBefore.windSpeedSum);
  EXPECT_EQ(totals.maxWindSpeed, totalsBefore.maxWindSpeed);
}

TEST_F(WeatherReplyTest, RejectedOutsideTemperatureKeepsOldTextAndCountsItAgain) {
  PacketFields first;
  first.outTemp = 700;  // 70.0 °F = 21.1 °C
  Accept(Packet(first));
  ASSERT_EQ(Shown(label::kOutsideTemperature), "21.1");

  PacketFields second;
  second.outTemp = 0x7FFF;  // the station's "no sensor" value, 1802.6 °C
  second.wind = 20;         // 8.9 m/s
  second.inTemp = 900;      // 32.2 °C
  second.outHum = 90;
  Accept(Packet(second));
  EXPECT_EQ(Shown(label::kOutsideTemperature), "21.1");
  EXPECT_EQ(Shown(label::kWindSpeed), "8.9");
  EXPECT_EQ(Shown(label::kInsideTemperature), "32.2");
  EXPECT_EQ(Shown(label::kOutsideHumidity), "90");
  EXPECT_EQ(form.Label18.text, "ok");
  EXPECT_FLOAT_EQ(totals.outTempSum, 42.2f);
  EXPECT_EQ(Shown(label::kAverageOutsideTemperature), "21.1");
  EXPECT_EQ(Shown(label::kAverageInsideTemperature), "29.5");  // (26.7 + 32.2) / 2 = 29.45
}

// A cold site: after a warm packet, readings below 0 °F are shown and
// averaged, not frozen at the warm value.
//   -4.0 °F (raw -40, bytes D8 FF):   (-4 - 32) x 5 / 9 = -20.0 °C
//   -22.0 °F (raw -220, bytes 24 FF): (-22 - 32) x 5 / 9 = -30.0 °C
//   inside 14.0 °F (raw 140):         (14 - 32) x 5 / 9 = -10.0 °C
TEST_F(WeatherReplyTest, ColdSiteReadingsBelowZeroFahrenheitAreShownAndAveraged) {
  PacketFields warm;
  warm.outTemp = 500;  // 50 °F = 10.0 °C
  Accept(Packet(warm));
  ASSERT_EQ(Shown(label::kOutsideTemperature), "10.0");
  totals = WeatherTotals{};  // a record was stored

  PacketFields cold;
  cold.outTemp = 0xFFD8;
  cold.inTemp = 140;
  Accept(Packet(cold));
  EXPECT_EQ(Shown(label::kOutsideTemperature), "-20.0");
  EXPECT_EQ(Shown(label::kInsideTemperature), "-10.0");
  cold.outTemp = 0xFF24;
  Accept(Packet(cold));
  EXPECT_EQ(Shown(label::kOutsideTemperature), "-30.0");
  EXPECT_FLOAT_EQ(totals.outTempSum, -50.0f);
  EXPECT_EQ(Shown(label::kAverageOutsideTemperature), "-25.0");
  EXPECT_EQ(Shown(label::kAverageInsideTemperature), "-10.0");
}

TEST_F(WeatherReplyTest, FieldNeverShownAddsNothingButThePacketCounts) {
  PacketFields f;
  f.outTemp = 0x8000;  // -3276.8 °F: not a temperature
  f.rain = 0x8000;
  Accept(Packet(f));
  EXPECT_EQ(Shown(label::kOutsideTemperature), "");
  EXPECT_EQ(Shown(label::kRain), "");
  EXPECT_FLOAT_EQ(totals.outTempSum, 0.0f);
  EXPECT_FLOAT_EQ(totals.packetCount, 1.0f);
  EXPECT_EQ(Shown(label::kAverageOutsideTemperature), "0.0");
  EXPECT_EQ(form.Label18.text, "ok");
}

TEST_F(WeatherReplyTest, RejectedRainKeepsItsText) {
  PacketFields f;
  f.rain = 100;
  Accept(Packet(f));
  EXPECT_EQ(Shown(label::kRain), "25.4");
  f.rain = 0x8000;
  Accept(Packet(f));
  EXPECT_EQ(Shown(label::kRain), "25.4");
  f.rain = 0;
  Accept(Packet(f));
  EXPECT_EQ(Shown(label::kRain), "0");
}

TEST_F(WeatherReplyTest, ThreeWindSpeedsAverageAndMaximum) {
  Accept(WithWind(10));
  EXPECT_EQ(Shown(label::kWindSpeed), "4.5");
  Accept(WithWind(5));
  EXPECT_EQ(Shown(label::kWindSpeed), "2.2");
  Accept(WithWind(3));
  EXPECT_EQ(Shown(label::kWindSpeed), "1.3");
  EXPECT_FLOAT_EQ(totals.windSpeedSum, 8.0f);  // 4.5 + 2.2 + 1.3 from the texts
  EXPECT_EQ(Shown(label::kAverageWindSpeed), "2.7");
  EXPECT_FLOAT_EQ(totals.maxWindSpeed, 4.5f);
}

TEST_F(WeatherReplyTest, MaximumWindIsTheLargestShownSpeed) {
  Accept(WithWind(3));
  Accept(WithWind(255));
  Accept(WithWind(10));
  EXPECT_FLOAT_EQ(totals.maxWindSpeed, 114.0f);
}

struct DirectionCase {
  uint16_t first;
  uint16_t second;
  const char* mean;
};

class MeanDirectionTest : public WeatherReplyTest, public ::testing::WithParamInterface<DirectionCase> {};

TEST_P(MeanDirectionTest, VectorAverageOfTwoPackets) {
  Accept(WithDirection(GetParam().first));
  Accept(WithDirection(GetParam().second));
  EXPECT_EQ(Shown(label::kAverageWindDirection), GetParam().mean);
}

INSTANTIATE_TEST_SUITE_P(Directions, MeanDirectionTest,
                         ::testing::Values(DirectionCase{10, 21, "15"},    // 15.5
                                           DirectionCase{350, 11, "0"},    // 0.5, across north
                                           DirectionCase{300, 331, "315"}, // 315.5
                                           DirectionCase{90, 90, "90"},
                                           DirectionCase{170, 251, "210"}));  // 210.5, cos sum < 0

TEST(MeanDirection, DueSouthShowsOneDegreeLessBecauseOfTheFixedConstants) {
  // sin(180 × 3.14159265358979 / 180) is a tiny positive number and cos is
  // -1, so θ = 360 + 180 − a hair, and Int takes it down to 539 → 179.
  const auto s = static_cast<float>(std::sin(180 * 3.14159265358979 / 180));
  const auto c = static_cast<float>(std::cos(180 * 3.14159265358979 / 180));
  EXPECT_EQ(MeanDirection(s, c), 179);
  EXPECT_EQ(MeanDirection(0.0f, 1.0f), 0);
  // Cosine sum exactly 0: Atn(-1 / 1E-20) = -pi/2, × 180 / 3.1415926 is a
  // hair below -90, so θ = 269.9999985.
  EXPECT_EQ(MeanDirection(-1.0f, 0.0f), 269);
  EXPECT_EQ(MeanDirection(0.0f, 0.0f), 0);     // no direction at all
}

TEST_F(WeatherReplyTest, HumidityAveragesRoundToWholePercent) {
  PacketFields f;
  f.outHum = 75;
  f.inHum = 40;
  Accept(Packet(f));
  f.outHum = 76;
  f.inHum = 43;
  Accept(Packet(f));
  EXPECT_EQ(Shown(label::kAverageOutsideHumidity), "76");  // 75.5
  EXPECT_EQ(Shown(label::kAverageInsideHumidity), "42");   // 41.5
}

TEST_F(WeatherReplyTest, AveragesAfterAClearCoverTheNextPacketAlone) {
  Accept(WithWind(10));
  Accept(WithWind(3));
  ASSERT_EQ(Shown(label::kAverageWindSpeed), "2.9");  // (4.5 + 1.3) / 2
  totals = WeatherTotals{};  // the data file stored a record
  EXPECT_EQ(Shown(label::kAverageWindSpeed), "2.9");
  Accept(WithWind(5));
  EXPECT_EQ(Shown(label::kAverageWindSpeed), "2.2");
  EXPECT_FLOAT_EQ(totals.maxWindSpeed, 2.2f);
}

TEST(NumberShown, OnlyWholeNumberTexts) {
  EXPECT_EQ(NumberShown("26.7"), 26.7);
  EXPECT_EQ(NumberShown("-12.2"), -12.2);
  EXPECT_EQ(NumberShown("0"), 0.0);
  EXPECT_EQ(NumberShown(" 5"), 5.0);
  EXPECT_EQ(NumberShown("1E-05"), 1e-5);
  EXPECT_FALSE(NumberShown("").has_value());
  EXPECT_FALSE(NumberShown("abc").has_value());
  EXPECT_FALSE(NumberShown("12abc").has_value());
}

}  // namespace
}  // namespace varnel::weather
