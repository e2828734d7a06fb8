// The machine's own clock and file times.
#pragma once

#include "ports.h"

namespace tessik {

// Local time of this machine, to the millisecond.
class SystemClock : public Clock {
 public:
  LocalDateTime Now() const override;
};

// Last-modified times of files, in local time to the millisecond.
class SystemFileTimes : public FileTimes {
 public:
  std::optional<LocalDateTime> LastModified(const std::string& path) const override;
};

// A POSIX time (seconds and nanoseconds since the epoch) in local time.
LocalDateTime ToLocal(long long seconds, long nanoseconds);

}  // namespace tessik
