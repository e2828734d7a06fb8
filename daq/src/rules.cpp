#include "rules.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace morlex {
namespace {

// Transfer block sizes by channel count (index 0 = 1 channel).  The driver
// was tuned with these; they are not a formula.
constexpr std::array<uint16_t, 8> kSlowBlocks = {2, 2, 3, 4, 5, 6, 7, 8};
constexpr std::array<uint16_t, 8> kFastMsBlocks = {8, 4, 6, 8, 5, 6, 7, 8};
constexpr std::array<uint16_t, 8> kMicrosecondBlocks = {8, 8, 9, 8, 10, 6, 7, 8};

bool InChannelRange(uint16_t channelCount) { return channelCount >= 1 && channelCount <= 8; }

// cvttsd2si: truncation toward zero; a value outside int32 (or NaN) gives
// the integer-indefinite value 0x80000000.
int32_t TruncateLikeX86(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

}  // namespace

uint16_t BlockSamplesFor(uint16_t intervalUnit, uint16_t intervalValue, uint16_t channelCount) {
  switch (intervalUnit) {
    case 0:
      return InChannelRange(channelCount) ? kSlowBlocks[channelCount - 1] : 0;
    case 1:
      if (!InChannelRange(channelCount)) return 0;
      return intervalValue < 100 ? kFastMsBlocks[channelCount - 1] : kSlowBlocks[channelCount - 1];
    case 2:
      return InChannelRange(channelCount) ? kMicrosecondBlocks[channelCount - 1] : intervalValue;
    default:
      return intervalValue;
  }
}

uint16_t MaxChannelsFor(uint16_t cardType) {
  switch (cardType) {
    case 1:
      return 8;
    case 2:
      return 4;
    default:
      return 0;
  }
}

int32_t CheckLimitLevels(uint16_t cardType, uint16_t limitMode, double upper, double lower) {
  double low = 0.0;
  double high = 0.0;
  if (cardType == 1) {
    low = 0.0;
    high = 2.5;
  } else if (cardType == 2) {
    low = -5.0;
    high = 5.0;
  } else {
    return -1;
  }
  // Written so that NaN fails every check.
  auto inRange = [&](double level) { return level > low && level < high; };
  const bool checkUpper = limitMode == 1 || limitMode == 3;
  const bool checkLower = limitMode == 2 || limitMode == 3;
  if (checkUpper && !inRange(upper)) return -2;
  if (checkLower && !inRange(lower)) return -2;
  if (limitMode == 3 && !(upper >= lower)) return -2;
  return 0;
}

uint16_t LimitCodeFor(uint16_t cardType, double volts) {
  // 4096 steps over the full input range; the converter arithmetic works in
  // 1/8 steps (x 32768) and drops them with the shift.
  const double scaled = cardType == 1 ? volts * 32768.0 * 0.4 : (volts + 5.0) * 32768.0 * 0.1;
  const int32_t raw = TruncateLikeX86(scaled);
  return static_cast<uint16_t>((raw >> 3) & 8191);
}

std::optional<TrgCounts> TrgBufferCounts(uint16_t period, uint16_t unit, uint16_t channels, uint16_t span1,
                                         uint16_t span2) {
  if (period == 0 || unit > 1) return std::nullopt;
  const uint64_t scale = unit == 0 ? 1 : 1000;
  const uint64_t count1 = (span1 * scale / period) * channels;
  const uint64_t count2 = (span2 * scale / period) * channels;
  if (count1 + count2 > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return std::nullopt;
  return TrgCounts{static_cast<uint32_t>(count1), static_cast<uint32_t>(count2)};
}

std::optional<uint32_t> DataBufferBytes(uint32_t samplesPerChannel, uint16_t channelCount) {
  const uint64_t bytes = 2ull * samplesPerChannel * channelCount + 32u;
  if (bytes > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  return static_cast<uint32_t>(bytes);
}

std::chrono::milliseconds AcquisitionLimit(uint16_t intervalUnit, uint16_t intervalValue, uint64_t frames,
                                           bool waitsForStartTrigger) {
  // Microseconds per frame; products beyond 64 bits are far past the
  // longest limit, so the arithmetic is done in double and clamped.
  double microsecondsPerFrame = 0;
  if (intervalUnit == 0) microsecondsPerFrame = intervalValue * 1e6;
  if (intervalUnit == 1) microsecondsPerFrame = intervalValue * 1e3;
  if (intervalUnit == 2) microsecondsPerFrame = intervalValue;
  const double twiceExpectedMs = 2.0 * static_cast<double>(frames) * microsecondsPerFrame / 1000.0;
  const double longestMs = static_cast<double>(kLongestAcquisitionLimit.count());
  double limitMs = std::max(twiceExpectedMs, static_cast<double>(kAcquisitionLimitFloor.count()));
  if (waitsForStartTrigger) limitMs += static_cast<double>(kStartTriggerAllowance.count());
  if (limitMs >= longestMs) return kLongestAcquisitionLimit;
  return std::chrono::milliseconds(static_cast<int64_t>(std::ceil(limitMs)));
}

}  // namespace morlex
