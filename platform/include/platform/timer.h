// A window timer with Windows-timer semantics.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

// Interval 0 never ticks; setting the interval restarts the countdown;
// disabling stops it, enabling starts a fresh countdown.  Ticks repeat every
// interval while enabled.  onTick runs on the owner's event thread.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void SetInterval(uint32_t ms) = 0;
  virtual uint32_t Interval() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
  std::function<void()> onTick;
};

}  // namespace platform
