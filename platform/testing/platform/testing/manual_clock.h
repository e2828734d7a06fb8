// A clock for tests: it says whatever time the test last put into `now`.
#pragma once

#include "platform/clock.h"

namespace platform::testing {

class ManualClock : public Clock {
 public:
  LocalDateTime now;
  LocalDateTime Now() const override { return now; }
};

}  // namespace platform::testing
