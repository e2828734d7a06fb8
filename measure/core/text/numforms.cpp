#include "text/numforms.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

namespace varnel::text {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Value of a decimal text whose digits did not fit a double: the number of
// integer digits plus the exponent tells an overflow from an underflow.
double OutOfRangeValue(std::string_view mantissa, long long exponent, bool negative) {
  long long intDigits = 0;
  bool seenNonZero = false;
  long long leadingFractionZeros = 0;
  bool afterPoint = false;
  for (char c : mantissa) {
    if (c == '.') {
      afterPoint = true;
      continue;
    }
    if (!afterPoint) {
      if (c != '0' || seenNonZero) {
        seenNonZero = true;
        ++intDigits;
      }
    } else if (!seenNonZero) {
      if (c == '0')
        ++leadingFractionZeros;
      else
        seenNonZero = true;
    }
  }
  const long long magnitude = (intDigits > 0 ? intDigits : -leadingFractionZeros) + exponent;
  const double v = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -v : v;
}

}  // namespace

double LeadingNumber(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t mantStart = i;
  std::size_t digits = 0;
  while (i < n && IsDigit(text[i])) ++i, ++digits;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && IsDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return 0.0;
  const std::size_t mantEnd = i;
  // The exponent counts only when at least one digit follows "E" and its sign.
  std::size_t numEnd = mantEnd;
  long long exponent = 0;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    bool expNegative = false;
    if (j < n && (text[j] == '+' || text[j] == '-')) {
      expNegative = text[j] == '-';
      ++j;
    }
    if (j < n && IsDigit(text[j])) {
      while (j < n && IsDigit(text[j])) {
        if (exponent < 100000) exponent = exponent * 10 + (text[j] - '0');
        ++j;
      }
      if (expNegative) exponent = -exponent;
      numEnd = j;
    }
  }
  double value = 0.0;
  const char* first = text.data() + mantStart;
  const char* last = text.data() + numEnd;
  const auto res = std::from_chars(first, last, value, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range)
    return OutOfRangeValue(text.substr(mantStart, mantEnd - mantStart), exponent, negative);
  if (res.ec != std::errc()) return 0.0;
  return negative ? -value : value;
}

double RoundHalfEven(double value) {
  // From 2^52 on a double has no fraction (and NaN and the infinities stay).
  constexpr double kNoFraction = 4503599627370496.0;  // 2^52
  if (!(std::fabs(value) < kNoFraction)) return value;
  // Adding 2^52 leaves no bits for a fraction, so the addition itself rounds
  // to a whole number, halves to the even neighbour (the rounding mode of
  // every program here); taking 2^52 away again is exact.  No branch and no
  // library call: the graph rounds every point of every trace twice.
  const double shift = std::copysign(kNoFraction, value);
  return std::copysign((value + shift) - shift, value);
}

std::optional<int16_t> ToInt16(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double r = RoundHalfEven(value);
  if (r < -32768.0 || r > 32767.0) return std::nullopt;
  return static_cast<int16_t>(r);
}

std::optional<int32_t> ToInt32(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double r = RoundHalfEven(value);
  if (r < -2147483648.0 || r > 2147483647.0) return std::nullopt;
  return static_cast<int32_t>(r);
}

std::string ShortForm(long long value) {
  std::string text = std::to_string(value);
  // Appended rather than "literal + string": GCC 12's -Wrestrict misreads
  // the inlined insert of operator+(const char*, string&&) at -O3.
  if (value >= 0) text.insert(text.begin(), ' ');
  return text;
}

std::string PlainForm(long long value) { return std::to_string(value); }

namespace {

std::string NonFiniteText(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-Inf" : "Inf";
}

// printf's %G with `digits` significant digits is the general text of the
// platform: trailing zeros dropped, exponent form below 1E-04 or from
// 10^digits on, exponent with a sign and at least two digits (1E-05, 1.5E+08).
std::string General(double value, int digits) {
  if (!std::isfinite(value)) return NonFiniteText(value);
  if (value == 0.0) return "0";  // also for -0
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*G", digits, value);
  return buf;
}

}  // namespace

std::string GeneralSingle(float value) { return General(static_cast<double>(value), 7); }
std::string GeneralDouble(double value) { return General(value, 15); }

// ---------------------------------------------------------------------------
// Format patterns.

namespace {

// A finite non-negative decimal number as 15 significant digits (the
// precision at which the platform's formatting reads a double) and the
// power of ten of the first digit.
struct Decimal {
  std::string digits;  // exactly 15 digits, first non-zero unless the value is 0
  int exponent = 0;    // value = 0.d1d2... * 10^(exponent + 1)
  bool zero = true;
};

Decimal ToDecimal(double magnitude) {
  Decimal d;
  if (magnitude == 0.0) {
    d.digits = std::string(15, '0');
    return d;
  }
  // d.dddddddddddddde+XX: to_chars with a precision writes what printf's
  // "%.14e" writes, without printf's format and locale machinery (the
  // window's labels are formatted dozens of times per cycle).
  char buf[64];
  const auto written = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific, 14);
  const char* const e = std::find(static_cast<const char*>(buf), static_cast<const char*>(written.ptr), 'e');
  d.digits.assign(1, buf[0]);
  d.digits.append(buf + 2, static_cast<std::size_t>(e - (buf + 2)));
  const char* exponent = e + 1;
  if (exponent != written.ptr && *exponent == '+') ++exponent;  // from_chars takes no plus sign
  std::from_chars(exponent, written.ptr, d.exponent);
  d.zero = false;
  return d;
}

// Digit of place value 10^place, 0 outside the 15 held digits.
int DigitAt(const Decimal& d, int place) {
  const int index = d.exponent - place;
  if (d.zero || index < 0 || index >= static_cast<int>(d.digits.size())) return 0;
  return d.digits[static_cast<std::size_t>(index)] - '0';
}

// The number rounded half away from zero to `decimals` places, as the text of
// its integer part (no leading zeros, "0" for none) and exactly `decimals`
// fraction digits.
void RoundFixed(const Decimal& d, int decimals, std::string& intPart, std::string& fracPart) {
  const int top = d.zero ? 0 : std::max(d.exponent, 0);
  // Digits from place `top` down to place -decimals, most significant first.
  std::string all;
  for (int place = top; place >= -decimals; --place) all.push_back(static_cast<char>('0' + DigitAt(d, place)));
  if (DigitAt(d, -decimals - 1) >= 5) {
    int i = static_cast<int>(all.size()) - 1;
    while (i >= 0 && all[static_cast<std::size_t>(i)] == '9') all[static_cast<std::size_t>(i--)] = '0';
    if (i >= 0)
      all[static_cast<std::size_t>(i)]++;
    else
      all.insert(all.begin(), '1');
  }
  const std::size_t intLen = all.size() - static_cast<std::size_t>(decimals);
  intPart = all.substr(0, intLen);
  fracPart = all.substr(intLen);
  const std::size_t firstNonZero = intPart.find_first_not_of('0');
  intPart = firstNonZero == std::string::npos ? "0" : intPart.substr(firstNonZero);
}

struct Pattern {
  int minInt = 0;       // "0" placeholders before the point
  int minDec = 0;       // "0" placeholders after the point
  int maxDec = 0;       // all placeholders after the point
  bool exponent = false;
  bool expSignAlways = false;  // "E+" rather than "E-"
  int minExpDigits = 0;
  std::string suffix;   // literal text after the number
};

Pattern ParsePattern(std::string_view p) {
  Pattern pat;
  std::size_t i = 0;
  while (i < p.size() && (p[i] == '#' || p[i] == '0')) {
    if (p[i] == '0') ++pat.minInt;
    ++i;
  }
  if (i < p.size() && p[i] == '.') {
    ++i;
    while (i < p.size() && (p[i] == '#' || p[i] == '0')) {
      if (p[i] == '0' && pat.minDec == pat.maxDec) ++pat.minDec;
      ++pat.maxDec;
      ++i;
    }
  }
  if (i + 1 < p.size() && (p[i] == 'E' || p[i] == 'e') && (p[i + 1] == '+' || p[i + 1] == '-')) {
    pat.exponent = true;
    pat.expSignAlways = p[i + 1] == '+';
    i += 2;
    while (i < p.size() && (p[i] == '#' || p[i] == '0')) {
      if (p[i] == '0') ++pat.minExpDigits;
      ++i;
    }
  }
  pat.suffix = std::string(p.substr(i));
  return pat;
}

std::string TrimFraction(std::string frac, int minDec) {
  while (static_cast<int>(frac.size()) > minDec && frac.back() == '0') frac.pop_back();
  return frac;
}

std::string PadLeft(std::string s, int width) {
  if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<std::size_t>(width) - s.size(), '0');
  return s;
}

bool AllZero(std::string_view s) { return s.find_first_not_of('0') == std::string_view::npos; }

std::string FormatFixed(double value, const Pattern& pat) {
  std::string intPart, fracPart;
  RoundFixed(ToDecimal(std::fabs(value)), pat.maxDec, intPart, fracPart);
  const bool shownZero = AllZero(intPart) && AllZero(fracPart);
  // With only "#" before the point, a zero integer part shows nothing.
  if (intPart == "0" && pat.minInt == 0) intPart.clear();
  intPart = PadLeft(intPart, pat.minInt);
  fracPart = TrimFraction(fracPart, pat.minDec);
  std::string out = (value < 0 && !shownZero) ? "-" : "";
  out += intPart;
  if (pat.maxDec > 0 && !fracPart.empty()) out += "." + fracPart;
  return out + pat.suffix;
}

std::string FormatScientific(double value, const Pattern& pat) {
  const int intDigits = std::max(pat.minInt, 1);
  const Decimal d = ToDecimal(std::fabs(value));
  int exponent = 0;
  std::string intPart, fracPart;
  if (!d.zero) {
    // Scale so that the mantissa has `intDigits` integer digits, round, and
    // rescale once when rounding carried into a new digit (9.9996 -> 1.000E+1).
    exponent = d.exponent - (intDigits - 1);
    Decimal m = d;
    m.exponent = intDigits - 1;
    RoundFixed(m, pat.maxDec, intPart, fracPart);
    if (static_cast<int>(intPart.size()) > intDigits) {
      ++exponent;
      m.digits = std::string(15, '0');
      m.digits.front() = '1';
      RoundFixed(m, pat.maxDec, intPart, fracPart);
    }
  } else {
    intPart = "0";
    fracPart = std::string(static_cast<std::size_t>(pat.maxDec), '0');
  }
  intPart = PadLeft(intPart, pat.minInt);
  fracPart = TrimFraction(fracPart, pat.minDec);
  const bool shownZero = AllZero(intPart) && AllZero(fracPart);
  std::string out = (value < 0 && !shownZero) ? "-" : "";
  out += intPart;
  if (pat.maxDec > 0 && !fracPart.empty()) out += "." + fracPart;
  out += 'E';
  if (exponent < 0)
    out += '-';
  else if (pat.expSignAlways)
    out += '+';
  // An exponent of 0 is written as the digit 0 even under "##".
  out += PadLeft(std::to_string(std::abs(exponent)), std::max(pat.minExpDigits, 1));
  return out + pat.suffix;
}

}  // namespace

std::string Format(double value, std::string_view pattern) {
  if (!std::isfinite(value)) return NonFiniteText(value);
  const Pattern pat = ParsePattern(pattern);
  return pat.exponent ? FormatScientific(value, pat) : FormatFixed(value, pat);
}

std::string FormatCut(double value, std::string_view pattern, std::size_t width) {
  const std::string s = Format(value, pattern);
  // Cut by characters, never inside a multi-byte character.
  std::size_t chars = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (chars == width) return s.substr(0, i);
      ++chars;
    }
  }
  return s;
}

// ---------------------------------------------------------------------------
// Date and time.

namespace {

std::string Two(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

std::string Four(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d", v);
  return buf;
}

std::string SlashedDate(const LocalDateTime& t) { return Four(t.year) + "/" + Two(t.month) + "/" + Two(t.day); }
std::string ColonTime(const LocalDateTime& t) { return Two(t.hour) + ":" + Two(t.minute) + ":" + Two(t.second); }

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
long long DaysFromCivil(long long y, long long m, long long d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yoe = y - era * 400;
  const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(long long z, int& year, int& month, int& day) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long y = yoe + era * 400;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

constexpr long long kOleEpochDays = -25569;  // 1899-12-30 from 1970-01-01
constexpr double kMsPerDay = 86400000.0;

}  // namespace

std::string FormatStamp(const LocalDateTime& t) {
  return Four(t.year) + Two(t.month) + Two(t.day) + "-" + Two(t.hour) + Two(t.minute);
}

std::string FormatSlashed(const LocalDateTime& t) { return SlashedDate(t) + " " + ColonTime(t); }

std::string GeneralDateTime(const LocalDateTime& t) {
  const bool midnight = t.hour == 0 && t.minute == 0 && t.second == 0 && t.millisecond == 0;
  if (midnight) return SlashedDate(t);
  // The platform leaves out the date of a pure time value (day 0 of the
  // OLE calendar, 1899/12/30).
  if (t.year == 1899 && t.month == 12 && t.day == 30) return ColonTime(t);
  return SlashedDate(t) + " " + ColonTime(t);
}

double ToOleDate(const LocalDateTime& t) {
  const long long days = DaysFromCivil(t.year, t.month, t.day) - kOleEpochDays;
  const double ms = ((t.hour * 60.0 + t.minute) * 60.0 + t.second) * 1000.0 + t.millisecond;
  const double fraction = ms / kMsPerDay;
  // Before the epoch the time of day still counts forward from the day's
  // start while the day counts backward: -1.25 is 1899-12-29 06:00.
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

LocalDateTime FromOleDate(double oleDate) {
  LocalDateTime t;
  // Outside the platform's date range (years 100..9999) nothing is meaningful.
  if (!std::isfinite(oleDate) || oleDate < -657435.0 || oleDate >= 2958466.0) return t;
  double dayPart = std::trunc(oleDate);
  double fraction = std::fabs(oleDate - dayPart);
  long long ms = std::llround(fraction * kMsPerDay);
  if (ms >= static_cast<long long>(kMsPerDay)) {
    ms -= static_cast<long long>(kMsPerDay);
    dayPart += 1.0;  // the time of day always counts forward
  }
  const long long days = static_cast<long long>(dayPart) + kOleEpochDays;
  CivilFromDays(days, t.year, t.month, t.day);
  t.millisecond = static_cast<int>(ms % 1000);
  long long secs = ms / 1000;
  t.second = static_cast<int>(secs % 60);
  secs /= 60;
  t.minute = static_cast<int>(secs % 60);
  t.hour = static_cast<int>(secs / 60);
  return t;
}

}  // namespace varnel::text
