// Number and date-time texts of the measurement system, written once.
//
// The system shows and stores numbers in the forms of the Japanese-locale
// Windows programs it grew up with: the leading number of a text box, the
// "short" and "plain" integer forms, the general text of a single, and a
// handful of Format patterns.  Every text here is UTF-8; conversion to code
// page 932 happens only at file boundaries (cp932.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace varnel::text {

// The numeric value of the leading number of a text: optional blanks, an
// optional sign, digits with "." as the decimal point, an optional exponent
// (E or e).  A text that does not begin with a number gives 0.
// "12abc" -> 12, "  -3.5x" -> -3.5, "abc" -> 0, "" -> 0, "1e3" -> 1000.
double LeadingNumber(std::string_view text);

// Nearest integer with ties to even (2.5 -> 2, 3.5 -> 4, -2.5 -> -2).
// Returns nullopt when the value is not finite or does not fit the width.
std::optional<int16_t> ToInt16(double value);
std::optional<int32_t> ToInt32(double value);
// Nearest integer of a value known to be in range; ties to even.
double RoundHalfEven(double value);

// Short form: a blank before a non-negative number, "-" before a negative
// one (5 -> " 5", -10 -> "-10").  Plain form: no blank (5 -> "5").
std::string ShortForm(long long value);
std::string PlainForm(long long value);

// General text of a single: at most 7 significant digits, no trailing zeros,
// no decimal point for whole numbers, no leading blank; exponent form for very
// small or very large magnitudes (1E-05, 1.5E+08), as the platform writes a
// single.  330 -> "330", 0.5 -> "0.5", 1/3 -> "0.3333333", 0 -> "0",
// -0.25 -> "-0.25".
std::string GeneralSingle(float value);
// The same for a double with at most 15 significant digits (rain display:
// 1.3, 0, 25.4).
std::string GeneralDouble(double value);

// Format patterns used by the system.  The supported patterns are exactly:
//   "0.000", "0.00", "##0.0", "##0", "#0.000", "#0.0#", "0.000E+##"
// and the two with literal suffixes "##Peak" and "#0.0#mA" (a pattern may end
// in literal letters, which are copied).  Rounding is to the nearest, ties
// away from zero as the platform's decimal formatting does.  A negative value
// gets a leading "-" (unless it rounds to zero in all shown digits, which
// gives no sign).  Examples: Format(1.23456, "0.000") = "1.235",
// Format(-1.5, "0.000") = "-1.500", Format(8e-5, "0.000E+##") = "8.000E-5",
// Format(12.3, "#0.0#mA") = "12.3mA", Format(3, "##Peak") = "3Peak".
std::string Format(double value, std::string_view pattern);

// Format(value, pattern) cut to its first `width` characters: the channel
// labels show "0.000" cut to 5 and "0.00" cut to 4 (12.3456 -> "12.34").
std::string FormatCut(double value, std::string_view pattern, std::size_t width);

// A local calendar date and time (no time zone: always the site's local time),
// as the machine's clock gives it.
using LocalDateTime = platform::LocalDateTime;

// "yyyymmdd-hhmm" (20040204-1530).
std::string FormatStamp(const LocalDateTime& t);
// "yyyy/mm/dd HH:MM:SS" / "yyyy/mm/dd hh:mm:ss": both give 2004/02/04 15:30:05
// (24-hour clock, two digits each).
std::string FormatSlashed(const LocalDateTime& t);
// General date-time text of the Japanese locale: "2004/02/04 15:30:05"; at
// exactly midnight only the date ("2004/02/04").
std::string GeneralDateTime(const LocalDateTime& t);

// OLE Automation date: days since 1899-12-30 00:00, fraction = time of day.
double ToOleDate(const LocalDateTime& t);
LocalDateTime FromOleDate(double oleDate);

}  // namespace varnel::text
