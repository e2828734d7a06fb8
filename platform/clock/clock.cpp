#include "platform/clock.h"

#include <ctime>

namespace platform {

LocalDateTime ToLocal(long long seconds, long nanoseconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  LocalDateTime local;
  local.year = tm.tm_year + 1900;
  local.month = tm.tm_mon + 1;
  local.day = tm.tm_mday;
  local.hour = tm.tm_hour;
  local.minute = tm.tm_min;
  // A leap second (60) is shown as the last second of its minute.
  local.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
  local.millisecond = static_cast<int>(nanoseconds / 1'000'000);
  return local;
}

LocalDateTime SystemClock::Now() const {
  std::timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ToLocal(ts.tv_sec, ts.tv_nsec);
}

}  // namespace platform
