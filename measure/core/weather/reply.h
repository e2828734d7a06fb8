// Showing an accepted weather packet in the weather frame and adding it to
// the running totals, from which the averages of each record are formed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "form/form.h"
#include "form/state.h"

namespace varnel::weather {

// Which caller reads the reply: the port's receive event or the receive
// timer.  They differ in the status words only.
enum class ReplyPath { ReceiveEvent, ReceiveTimer };

// The status words: "ok"/"ng" on the receive-event path, "OK"/"NG" on the
// timer path.
const char* AcceptWord(ReplyPath path);
const char* RejectWord(ReplyPath path);

// Label8 indexes of the weather frame.
namespace label {
inline constexpr std::size_t kWindSpeed = 0;
inline constexpr std::size_t kWindDirection = 1;
inline constexpr std::size_t kOutsideTemperature = 2;
inline constexpr std::size_t kAverageWindSpeed = 3;
inline constexpr std::size_t kAverageWindDirection = 4;
inline constexpr std::size_t kAverageOutsideTemperature = 5;
inline constexpr std::size_t kOutsideHumidity = 6;
inline constexpr std::size_t kInsideTemperature = 7;
inline constexpr std::size_t kInsideHumidity = 8;
inline constexpr std::size_t kAverageOutsideHumidity = 9;
inline constexpr std::size_t kAverageInsideTemperature = 10;
inline constexpr std::size_t kAverageInsideHumidity = 11;
inline constexpr std::size_t kRain = 12;
}  // namespace label

// The number a label shows, or nullopt when its text is not a number (an
// empty label before the first accepted value).  Independent of the C locale.
std::optional<double> NumberShown(std::string_view text);

// The vector-averaged wind direction of the totals, 0..359, with the fixed
// constants 1E-20 and 3.1415926 and the Int of the platform: a mean that is
// exactly a whole number of degrees can come out one degree lower.
int32_t MeanDirection(float sinSum, float cosSum);

// Processes a reply whose bytes were already read (everything after the
// read and the reset of the request counter): rejects it with the path's
// rejection word when byte 0 is not the start marker, otherwise shows the
// instantaneous values, adds the texts now shown to `totals`, shows the
// averages and the acceptance word.  A rejected field keeps its text and
// the totals add that text again; an empty text adds nothing.
void ApplyWeatherReply(std::span<const uint8_t> reply, ReplyPath path, PolModeForm& form, WeatherTotals& totals);

}  // namespace varnel::weather
