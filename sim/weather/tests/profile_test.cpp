#include "profile.h"

#include <gtest/gtest.h>

#include <cmath>

#include "options.h"

namespace weathersim {
namespace {

TEST(WireUnits, TemperaturesInTenthsOfFahrenheit) {
  EXPECT_EQ(TempCelsiusToWire(26.7), 801);  // 80.06 °F
  EXPECT_EQ(TempCelsiusToWire(0.0), 320);
  EXPECT_EQ(TempCelsiusToWire(-3.5), 257);  // 25.7 °F
  EXPECT_EQ(TempCelsiusToWire(-20.0), 0xFFD8);  // -4 °F: two's complement, as a station sends it
  EXPECT_EQ(TempCelsiusToWire(1e9), 32767);
}

TEST(WireUnits, WindAndRain) {
  EXPECT_EQ(WindMetresPerSecondToWire(4.5), 10);  // 10.06 mph
  EXPECT_EQ(WindMetresPerSecondToWire(0.0), 0);
  EXPECT_EQ(WindMetresPerSecondToWire(500.0), 255);
  EXPECT_EQ(RainMillimetresToWire(25.4), 100);
  EXPECT_EQ(RainMillimetresToWire(1.3), 5);  // 5.12 hundredths
  EXPECT_EQ(RainMillimetresToWire(0.0), 0);
}

TEST(Packet, LayoutLowByteFirst) {
  RawReading r;
  r.inTemp = 0x0320;
  r.outTemp = 0x0140;
  r.windSpeed = 0x0A;
  r.direction = 0x0168;
  r.inHumidity = 0x32;
  r.outHumidity = 0x4B;
  r.rain = 0x0005;
  const std::vector<uint8_t> expected = {0x01, 0x20, 0x03, 0x40, 0x01, 0x0A, 0x68, 0x01, 0xE0,
                                         0x74, 0x32, 0x4B, 0x05, 0x00, 0x00, 0x00, 0x0A, 0x0D};
  EXPECT_EQ(EncodePacket(r), expected);
  EXPECT_EQ(EncodePacket(r, 17).size(), 17u);
  EXPECT_EQ(EncodePacket(r, 14), std::vector<uint8_t>(expected.begin(), expected.begin() + 14));
  EXPECT_EQ(EncodePacket(r, 10), std::vector<uint8_t>(expected.begin(), expected.begin() + 10));
}

TEST(ParseReading, KeysInPhysicalAndWireUnits) {
  std::string error;
  const auto r = ParseReading("in=26.7, out=0 wind=4.5;dir=360,inhum=50,outhum=75,rain=1.3", &error);
  ASSERT_TRUE(r.has_value()) << error;
  EXPECT_EQ(r->inTemp, 801);
  EXPECT_EQ(r->outTemp, 320);
  EXPECT_EQ(r->windSpeed, 10);
  EXPECT_EQ(r->direction, 360);
  EXPECT_EQ(r->inHumidity, 50);
  EXPECT_EQ(r->outHumidity, 75);
  EXPECT_EQ(r->rain, 5);

  const auto raw = ParseReading("out_raw=65526,wind_raw=255,rain_raw=32768", &error);
  ASSERT_TRUE(raw.has_value()) << error;
  EXPECT_EQ(raw->outTemp, 0xFFF6);
  EXPECT_EQ(raw->windSpeed, 255);
  EXPECT_EQ(raw->rain, 0x8000);
  EXPECT_EQ(raw->inTemp, DefaultReading().inTemp);  // keys left out keep the defaults

  // A cold site: -20 °C = -4.0 °F = -40 tenths, sent as 0xFFD8.
  const auto cold = ParseReading("out=-20,in_raw=-40", &error);
  ASSERT_TRUE(cold.has_value()) << error;
  EXPECT_EQ(cold->outTemp, 0xFFD8);
  EXPECT_EQ(cold->inTemp, 0xFFD8);
  const auto bytes = EncodePacket(*cold);
  EXPECT_EQ(bytes[3], 0xD8);
  EXPECT_EQ(bytes[4], 0xFF);
  EXPECT_FALSE(ParseReading("out_raw=-32769", &error));
  EXPECT_FALSE(ParseReading("dir_raw=-1", &error));
}

TEST(ParseReading, BadItemsAreNamed) {
  std::string error;
  EXPECT_FALSE(ParseReading("temp=20", &error));
  EXPECT_NE(error.find("temp"), std::string::npos);
  EXPECT_FALSE(ParseReading("wind=fast", &error));
  EXPECT_NE(error.find("wind"), std::string::npos);
  EXPECT_FALSE(ParseReading("wind_raw=256", &error));
  EXPECT_FALSE(ParseReading("inhum=-1", &error));
  EXPECT_FALSE(ParseReading("dir_raw=1.5", &error));
  EXPECT_FALSE(ParseReading("in", &error));
}

TEST(ParseSequence, SkipsCommentsAndNamesTheBadLine) {
  std::string error;
  const auto seq = ParseSequence("# wind rising\nwind=1\n\nwind=2\r\nwind=3\n", &error);
  ASSERT_TRUE(seq.has_value()) << error;
  ASSERT_EQ(seq->size(), 3u);
  EXPECT_EQ((*seq)[1].windSpeed, WindMetresPerSecondToWire(2));

  EXPECT_FALSE(ParseSequence("wind=1\nwind=x\n", &error));
  EXPECT_NE(error.find("line 2"), std::string::npos);
  EXPECT_FALSE(ParseSequence("# nothing\n\n", &error));
  EXPECT_FALSE(LoadSequence("/nonexistent/readings.txt", &error));
}

TEST(Profile, SequenceRepeatsAndFixedStays) {
  RawReading a;
  a.direction = 10;
  RawReading b;
  b.direction = 20;
  const Profile seq = Profile::Sequence({a, b});
  EXPECT_EQ(seq.Reading(0, 0).direction, 10);
  EXPECT_EQ(seq.Reading(1, 0).direction, 20);
  EXPECT_EQ(seq.Reading(2, 99).direction, 10);
  const Profile fixed = Profile::Fixed(b);
  EXPECT_EQ(fixed.Reading(7, 1234.5), b);
}

TEST(DayProfile, ShapeOfTheDay) {
  EXPECT_NEAR(DayWeatherAt(15).outTempC, 21.0, 1e-9);  // warmest
  EXPECT_NEAR(DayWeatherAt(3).outTempC, 7.0, 1e-9);    // coldest
  EXPECT_GT(DayWeatherAt(3).outHumidity, DayWeatherAt(15).outHumidity);
  EXPECT_EQ(DayWeatherAt(13.9).rainMm, 0.0);
  EXPECT_NEAR(DayWeatherAt(15).rainMm, 2.0, 1e-9);
  EXPECT_EQ(DayWeatherAt(20).rainMm, 4.0);
  EXPECT_EQ(DayWeatherAt(24).rainMm, 0.0);  // a new day
}

TEST(DayProfile, ChangesSmoothlyAndStaysInRange) {
  DayWeather prev = DayWeatherAt(0);
  for (int minute = 1; minute <= 24 * 60; ++minute) {
    const double h = minute / 60.0;
    const DayWeather w = DayWeatherAt(h);
    EXPECT_LT(std::abs(w.outTempC - prev.outTempC), 0.05) << h;
    EXPECT_LT(std::abs(w.windMs - prev.windMs), 0.6) << h;
    if (minute != 24 * 60) {
      EXPECT_GE(w.rainMm, prev.rainMm) << h;
    }
    // Never a value the receiver would reject.
    const RawReading r = DayReadingAt(h);
    EXPECT_LT(r.outTemp >> 8, 128) << h;
    EXPECT_LT(r.inTemp >> 8, 128) << h;
    EXPECT_LT(r.rain >> 8, 128) << h;
    EXPECT_LT(r.direction, 360) << h;
    EXPECT_LE(r.outHumidity, 100) << h;
    prev = w;
  }
}

TEST(DayProfile, SpeedupScalesElapsedTime) {
  const Profile day = Profile::Day(6.0, 3600.0);  // one simulated hour per second
  EXPECT_EQ(day.Reading(0, 9.0), DayReadingAt(15.0));
  EXPECT_EQ(day.Reading(5, 9.0), day.Reading(0, 9.0));  // time, not reply count
}

TEST(Options, FaultsShapeTheReply) {
  std::string error;
  auto o = ParseOptions({"--fixed", "wind=4.5", "--wrong-first-byte", "--extra", "3"}, &error);
  ASSERT_TRUE(o.has_value()) << error;
  auto pieces = BuildReply(*o, 0, 0);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].size(), 21u);
  EXPECT_EQ(pieces[0][0], 0x06);
  EXPECT_EQ(pieces[0][5], 10);

  o = ParseOptions({"--short", "--split"}, &error);
  pieces = BuildReply(*o, 0, 0);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], std::vector<uint8_t>{0x01});
  EXPECT_EQ(pieces[1].size(), kShortLength - 1);

  o = ParseOptions({"--garbage", "--length", "17"}, &error);
  for (uint64_t i = 0; i < 300; ++i) {
    pieces = BuildReply(*o, i, 0);
    ASSERT_EQ(pieces[0].size(), 17u + kGarbageLength);
    EXPECT_NE(pieces[0][0], 0x01) << i;
    EXPECT_EQ(pieces[0][kGarbageLength], 0x01);
  }
}

TEST(Options, BadCommandLinesAreRefused) {
  std::string error;
  EXPECT_FALSE(ParseOptions({"--fixed", "wind=1", "--sequence", "x"}, &error));
  EXPECT_FALSE(ParseOptions({"--delay-ms"}, &error));
  EXPECT_FALSE(ParseOptions({"--delay-ms", "-5"}, &error));
  EXPECT_FALSE(ParseOptions({"--length", "13"}, &error));
  EXPECT_FALSE(ParseOptions({"--speedup", "0"}, &error));
  EXPECT_FALSE(ParseOptions({"--start-hour", "25"}, &error));
  EXPECT_FALSE(ParseOptions({"--bogus"}, &error));
  EXPECT_NE(error.find("--bogus"), std::string::npos);
  EXPECT_TRUE(ParseOptions({"--help"}, &error)->help);
}

}  // namespace
}  // namespace weathersim
