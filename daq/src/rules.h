// Pure rules of the library: values it derives from its arguments and the
// parameter block, kept apart from the driver traffic so they can be checked
// on their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace morlex {

// Samples per driver transfer block for an interval and a channel count.
uint16_t BlockSamplesFor(uint16_t intervalUnit, uint16_t intervalValue, uint16_t channelCount);

// Largest channel count of a card type; 0 for an unknown type.
uint16_t MaxChannelsFor(uint16_t cardType);

// Smallest microsecond interval for a channel count (20 us per channel).
inline uint32_t MinMicrosecondInterval(uint16_t channelCount) { return 20u * channelCount; }

// Result of checking limit-trigger levels: 0, -1 unknown card type, -2 a
// level the mode uses is out of range (or upper < lower in mode 3).
int32_t CheckLimitLevels(uint16_t cardType, uint16_t limitMode, double upper, double lower);

// Converter code of a level in volts for card type 1 or 2.  A level that
// does not fit the converter's arithmetic (far out of range, NaN) gives the
// code of the integer-indefinite value, 0, as the x86 conversion does.
uint16_t LimitCodeFor(uint16_t cardType, double volts);

// Sample counts of the two trigger-buffer spans; nullopt when the period is
// 0 or a count does not fit the driver's 32-bit fields and a 32-bit result.
struct TrgCounts {
  uint32_t count1;
  uint32_t count2;
};
std::optional<TrgCounts> TrgBufferCounts(uint16_t period, uint16_t unit, uint16_t channels, uint16_t span1,
                                         uint16_t span2);

// Size of a data buffer: 2 bytes per sample plus 32 spare bytes; nullopt when
// it does not fit the block's 32-bit size field.
std::optional<uint32_t> DataBufferBytes(uint32_t samplesPerChannel, uint16_t channelCount);

// How long the library waits for an acquisition that holds the caller's
// thread (or that has a known duration) before it cancels the request:
// twice the expected time of `frames` scan frames at the interval
// (`intervalValue` in `intervalUnit`: 0 s, 1 ms, 2 us), at least
// kAcquisitionLimitFloor; with `waitsForStartTrigger` the trigger may take
// kStartTriggerAllowance on top.  An unknown unit counts as no expected
// time.  Never more than kLongestAcquisitionLimit.
inline constexpr std::chrono::milliseconds kAcquisitionLimitFloor{5000};
inline constexpr std::chrono::milliseconds kStartTriggerAllowance{60000};
inline constexpr std::chrono::milliseconds kLongestAcquisitionLimit{std::chrono::hours(24 * 30)};
std::chrono::milliseconds AcquisitionLimit(uint16_t intervalUnit, uint16_t intervalValue, uint64_t frames,
                                           bool waitsForStartTrigger);

}  // namespace morlex
