// The machine's clock, as both programs read it: the local date and time to
// the millisecond.  Cores take a Clock; the programs wire SystemClock, tests
// a settable one (platform/testing/manual_clock.h).
#pragma once

namespace platform {

// A local calendar date and time (no time zone: always the site's local
// time); the default is day 0 of the OLE Automation date.
struct LocalDateTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  friend bool operator==(const LocalDateTime&, const LocalDateTime&) = default;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // The present local date and time.
  virtual LocalDateTime Now() const = 0;
};

// Local time of this machine, to the millisecond.
class SystemClock : public Clock {
 public:
  LocalDateTime Now() const override;
};

// A POSIX time (seconds and nanoseconds since the epoch) in local time.
LocalDateTime ToLocal(long long seconds, long nanoseconds);

}  // namespace platform
