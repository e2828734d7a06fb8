// Number and date-time texts, checked against hand-worked examples of the
// forms the windows, the data file and the export write.
#include "text/numforms.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

namespace varnel::text {
namespace {

struct LeadingCase {
  const char* text;
  double value;
};

TEST(LeadingNumber, TakesOnlyTheNumberAtTheStartOfTheText) {
  const LeadingCase cases[] = {
      {"12abc", 12},     {"  -3.5x", -3.5}, {"abc", 0},       {"", 0},         {"1e3", 1000},
      {"330", 330},      {"+7", 7},         {".5", 0.5},      {"5.", 5},       {".", 0},
      {"-", 0},          {"- 3", 0},        {"1e", 1},        {"1e+", 1},      {"2E-2mA", 0.02},
      {"1,5", 1},        {"\t 20ms", 20},   {"0x10", 0},      {"12.5.3", 12.5}, {"00042", 42},
      {"1e-400", 0},     {"-0", 0},
  };
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(LeadingNumber(c.text), c.value) << '"' << c.text << '"';
}

TEST(LeadingNumber, OverflowingTextGivesInfinityThatIntegerConversionRejects) {
  EXPECT_TRUE(std::isinf(LeadingNumber("1e999")));
  EXPECT_LT(LeadingNumber("-1e999"), 0);
  EXPECT_TRUE(std::isinf(LeadingNumber(std::string(400, '9'))));
  EXPECT_EQ(LeadingNumber("0." + std::string(400, '0') + "1"), 0.0);
  EXPECT_FALSE(ToInt16(LeadingNumber("1e999")).has_value());
}

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbour) {
  const std::pair<double, double> cases[] = {{2.5, 2},   {3.5, 4},   {-2.5, -2}, {-3.5, -4}, {0.5, 0},
                                             {1.5, 2},   {2.4, 2},   {2.6, 3},   {-0.4, 0},  {-2.6, -3},
                                             {1e15 + 0.5, 1e15}, {7, 7}};
  for (const auto& [in, out] : cases) EXPECT_EQ(RoundHalfEven(in), out) << in;
  // The C library's rint rounds the same way in the default rounding mode:
  // halves, random values of every size, and their neighbours.
  std::mt19937_64 random(99);
  std::vector<double> values = {0.0, -0.0, 0.49999999999999994, 4503599627370495.5, -4503599627370495.5,
                                4503599627370496.0, 9007199254740993.0, 1e300, -1e-300};
  for (int i = 0; i < 20000; ++i) {
    const double v = std::bit_cast<double>(random());
    if (std::isfinite(v)) values.push_back(v);
    const double half = static_cast<double>(static_cast<int64_t>(random() >> 20) - (int64_t{1} << 43)) + 0.5;
    values.insert(values.end(), {half, std::nextafter(half, 0.0), std::nextafter(half, 1e300)});
  }
  for (const double v : values) {
    const double got = RoundHalfEven(v);
    ASSERT_EQ(got, std::rint(v)) << std::hexfloat << v;
    ASSERT_EQ(std::signbit(got), std::signbit(std::rint(v))) << std::hexfloat << v;
  }
}

TEST(ToInt16, RoundsAndReportsValuesOutsideTheRange) {
  EXPECT_EQ(ToInt16(2.5), int16_t{2});
  EXPECT_EQ(ToInt16(3.5), int16_t{4});
  EXPECT_EQ(ToInt16(-32768.0), int16_t{-32768});
  EXPECT_EQ(ToInt16(-32768.5), int16_t{-32768});  // even neighbour is in range
  EXPECT_EQ(ToInt16(32767.4), int16_t{32767});
  EXPECT_EQ(ToInt16(32767.5), std::nullopt);  // rounds to 32768
  EXPECT_EQ(ToInt16(-32768.6), std::nullopt);
  EXPECT_EQ(ToInt16(40000), std::nullopt);
  EXPECT_EQ(ToInt16(std::numeric_limits<double>::quiet_NaN()), std::nullopt);
  EXPECT_EQ(ToInt16(std::numeric_limits<double>::infinity()), std::nullopt);
}

TEST(ToInt32, RoundsAndReportsValuesOutsideTheRange) {
  EXPECT_EQ(ToInt32(100000.5), int32_t{100000});
  EXPECT_EQ(ToInt32(100001.5), int32_t{100002});
  EXPECT_EQ(ToInt32(2147483647.0), int32_t{2147483647});
  EXPECT_EQ(ToInt32(-2147483648.0), int32_t{-2147483647 - 1});
  EXPECT_EQ(ToInt32(2147483647.5), std::nullopt);
  EXPECT_EQ(ToInt32(-2147483649.0), std::nullopt);
  EXPECT_EQ(ToInt32(-std::numeric_limits<double>::infinity()), std::nullopt);
}

TEST(ShortAndPlainForm, BlankOnlyBeforeANonNegativeShortForm) {
  EXPECT_EQ(ShortForm(5), " 5");
  EXPECT_EQ(ShortForm(0), " 0");
  EXPECT_EQ(ShortForm(-10), "-10");
  EXPECT_EQ(ShortForm(-1), "-1");
  EXPECT_EQ(PlainForm(5), "5");
  EXPECT_EQ(PlainForm(-10), "-10");
  EXPECT_EQ(PlainForm(330), "330");
}

TEST(GeneralSingle, SevenSignificantDigitsWithoutTrailingZeros) {
  const std::pair<float, const char*> cases[] = {
      {330.0f, "330"},          {0.5f, "0.5"},         {1.0f / 3.0f, "0.3333333"}, {0.0f, "0"},
      {-0.0f, "0"},             {-0.25f, "-0.25"},     {1e-05f, "1E-05"},          {1.5e8f, "1.5E+08"},
      {0.0001f, "0.0001"},      {12.0f, "12"},         {10.0f / 3.0f, "3.333333"}, {1234567.0f, "1234567"},
      {12345678.0f, "1.234568E+07"}, {0.1f, "0.1"},    {2.5e-6f, "2.5E-06"},       {-1.5f, "-1.5"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(GeneralSingle(v), text) << v;
}

TEST(GeneralDouble, FifteenSignificantDigits) {
  EXPECT_EQ(GeneralDouble(1.3), "1.3");
  EXPECT_EQ(GeneralDouble(0), "0");
  EXPECT_EQ(GeneralDouble(25.4), "25.4");
  EXPECT_EQ(GeneralDouble(0.1 + 0.2), "0.3");
  EXPECT_EQ(GeneralDouble(1.0 / 3.0), "0.333333333333333");
  EXPECT_EQ(GeneralDouble(1e-5), "1E-05");
  EXPECT_EQ(GeneralDouble(1e15), "1E+15");
}

struct FormatCase {
  double value;
  const char* pattern;
  const char* text;
};

TEST(Format, PatternsOfTheLabelsFilesAndExport) {
  const FormatCase cases[] = {
      // Channel component labels and the peak label (before cutting).
      {1.23456, "0.000", "1.235"},
      {-1.5, "0.000", "-1.500"},
      {0, "0.000", "0.000"},
      {0, "0.00", "0.00"},
      {1.234, "0.00", "1.23"},
      {0.0005, "0.000", "0.001"},      // half away from zero
      {-0.0005, "0.000", "-0.001"},
      {-0.0004, "0.000", "0.000"},     // rounds to zero: no sign
      {2.675, "0.00", "2.68"},         // read at 15 digits, so the tie is seen
      {9.9996, "0.000", "10.000"},
      // Export.
      {8e-5, "0.000E+##", "8.000E-5"},
      {0.00016, "0.000E+##", "1.600E-4"},
      {0, "0.000E+##", "0.000E+0"},
      {1, "0.000E+##", "1.000E+0"},
      {123456, "0.000E+##", "1.235E+5"},
      {9.9996, "0.000E+##", "1.000E+1"},  // rounding carries into the exponent
      {-0.0025, "0.000E+##", "-2.500E-3"},
      {1e-12, "0.000E+##", "1.000E-12"},
      {2.49878, "#0.000", "2.499"},
      {-5, "#0.000", "-5.000"},
      {0.5, "#0.000", "0.500"},
      // Peak-triggered waveform save texts.
      {12.34, "#0.0#mA", "12.34mA"},
      {12.3, "#0.0#mA", "12.3mA"},
      {12, "#0.0#mA", "12.0mA"},
      {0.456, "#0.0#mA", "0.46mA"},
      {12.345, "#0.0#", "12.35"},
      {5, "##Peak", "5Peak"},
      {16, "##Peak", "16Peak"},
      {0, "##Peak", "Peak"},
      // Weather values.
      {4.47, "##0.0", "4.5"},
      {0, "##0.0", "0.0"},
      {-3.25, "##0.0", "-3.3"},
      {1234.56, "##0.0", "1234.6"},
      {-0.04, "##0.0", "0.0"},
      {65.5, "##0", "66"},
      {0.4, "##0", "0"},
      {99.6, "##0", "100"},
  };
  for (const auto& c : cases) EXPECT_EQ(Format(c.value, c.pattern), c.text) << c.value << " " << c.pattern;
}

TEST(FormatCut, LabelsShowTheFirstCharacters) {
  const struct {
    double value;
    const char* pattern;
    std::size_t width;
    const char* text;
  } cases[] = {
      {1.23456, "0.000", 5, "1.235"}, {12.3456, "0.000", 5, "12.34"}, {123.456, "0.000", 5, "123.4"},
      {-1.5, "0.000", 5, "-1.50"},    {1.234, "0.00", 4, "1.23"},     {12.34, "0.00", 4, "12.3"},
      {0, "0.00", 4, "0.00"},         {1234.5, "0.000", 5, "1234."},  {0.5, "0.0", 10, "0.5"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatCut(c.value, c.pattern, c.width), c.text) << c.value;
}

TEST(Format, FifteenDigitsAreThoseOfPrintf) {
  // Every pattern starts from the value's 15 significant digits as printf
  // gives them ("%.14E"); a pattern of 14 decimals and a signed two-digit
  // exponent shows exactly those, so printf itself is the check.
  std::mt19937_64 random(1729);
  std::vector<double> values = {0.0,      1.0,    0.1,     2.5e-5,  7.5757575757575758, 6143.0, 1e15,
                                1e300,    5e-324, 1.7976931348623157e308, 0.5,  9.99999999999999e-5};
  for (int i = 0; i < 20000; ++i) {
    const double v = std::bit_cast<double>(random());
    if (std::isfinite(v)) values.push_back(v);
    // Values of the size the labels show, with their last bits at random.
    values.push_back(std::ldexp(static_cast<double>(random() >> 11), -53) * 100.0);
  }
  for (const double v : values) {
    char want[64];
    std::snprintf(want, sizeof want, "%.14E", v);
    ASSERT_EQ(Format(v, "0.00000000000000E+00"), want) << std::hexfloat << v;
  }
}

TEST(Format, NonFiniteValuesGiveAReadableWordNotACrash) {
  EXPECT_EQ(Format(std::numeric_limits<double>::quiet_NaN(), "0.000"), "NaN");
  EXPECT_EQ(Format(-std::numeric_limits<double>::infinity(), "0.000E+##"), "-Inf");
  EXPECT_EQ(GeneralSingle(std::numeric_limits<float>::infinity()), "Inf");
}

TEST(DateTimeTexts, StampSlashedAndGeneralForms) {
  const LocalDateTime t{2004, 2, 4, 15, 30, 5, 0};
  EXPECT_EQ(FormatStamp(t), "20040204-1530");
  EXPECT_EQ(FormatSlashed(t), "2004/02/04 15:30:05");
  EXPECT_EQ(GeneralDateTime(t), "2004/02/04 15:30:05");
  EXPECT_EQ(FormatStamp({2005, 6, 1, 9, 5, 59, 0}), "20050601-0905");
  EXPECT_EQ(FormatSlashed({2005, 12, 31, 23, 59, 59, 999}), "2005/12/31 23:59:59");
}

TEST(DateTimeTexts, GeneralFormAtMidnightIsTheDateOnly) {
  EXPECT_EQ(GeneralDateTime({2004, 2, 4, 0, 0, 0, 0}), "2004/02/04");
  EXPECT_EQ(GeneralDateTime({2004, 2, 4, 0, 0, 1, 0}), "2004/02/04 00:00:01");
  EXPECT_EQ(GeneralDateTime({2004, 2, 4, 12, 0, 0, 0}), "2004/02/04 12:00:00");
}

TEST(OleDate, DaysSinceTheEndOf1899WithTheTimeAsFraction) {
  EXPECT_DOUBLE_EQ(ToOleDate({1899, 12, 30, 0, 0, 0, 0}), 0.0);
  EXPECT_DOUBLE_EQ(ToOleDate({1900, 1, 1, 0, 0, 0, 0}), 2.0);
  EXPECT_DOUBLE_EQ(ToOleDate({1899, 12, 29, 6, 0, 0, 0}), -1.25);
  // 1 June 2005 is day 38504 (worked by hand: 105 years with 25 leap days
  // from 1900-01-01, + 151 days into 2005, + 2); 15:30 is 15.5 / 24 of a day.
  EXPECT_DOUBLE_EQ(ToOleDate({2005, 6, 1, 15, 30, 0, 0}), 38504.0 + 15.5 / 24.0);
  EXPECT_NEAR(ToOleDate({2005, 6, 1, 15, 30, 0, 0}), 38504.645833, 1e-6);
  EXPECT_DOUBLE_EQ(ToOleDate({2000, 2, 29, 0, 0, 0, 0}), 36585.0);
}

TEST(OleDate, FromOleDateInvertsToOleDate) {
  const LocalDateTime samples[] = {
      {2005, 6, 1, 15, 30, 0, 0},  {2004, 2, 29, 23, 59, 59, 999}, {1899, 12, 30, 0, 0, 0, 0},
      {1899, 12, 29, 6, 0, 0, 0},  {1850, 3, 1, 12, 34, 56, 789},  {2100, 3, 1, 0, 0, 1, 0},
      {9999, 12, 31, 23, 59, 59, 0}, {2038, 1, 19, 3, 14, 8, 0},
  };
  for (const auto& t : samples) EXPECT_EQ(FromOleDate(ToOleDate(t)), t) << FormatSlashed(t);
  EXPECT_EQ(FromOleDate(-1.25), (LocalDateTime{1899, 12, 29, 6, 0, 0, 0}));
  // Just below a day boundary rounds up into the next day, also before 1899-12-30.
  EXPECT_EQ(FromOleDate(38504.9999999999), (LocalDateTime{2005, 6, 2, 0, 0, 0, 0}));
  EXPECT_EQ(FromOleDate(-1.9999999999), (LocalDateTime{1899, 12, 30, 0, 0, 0, 0}));
}

TEST(OleDate, ValuesOutsideTheCalendarGiveTheEpochNotGarbage) {
  EXPECT_EQ(FromOleDate(std::numeric_limits<double>::quiet_NaN()), LocalDateTime{});
  EXPECT_EQ(FromOleDate(1e300), LocalDateTime{});
  EXPECT_EQ(FromOleDate(-1e300), LocalDateTime{});
}

}  // namespace
}  // namespace varnel::text
