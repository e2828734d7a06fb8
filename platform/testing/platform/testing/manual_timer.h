// Window timers for tests (platform/timer.h) that tick only when the test
// advances virtual time through their hub.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/timer.h"

namespace platform::testing {

class ManualTimerHub;

// A timer that ticks only when its hub advances virtual time.
class ManualTimer : public Timer {
 public:
  explicit ManualTimer(ManualTimerHub& hub) : hub_(hub) {}
  void SetInterval(uint32_t ms) override;
  uint32_t Interval() const override { return interval_; }
  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return enabled_; }
  // Virtual time of the next tick, or -1 when the timer is silent.
  int64_t Deadline() const { return (enabled_ && interval_ > 0) ? deadline_ : -1; }

 private:
  friend class ManualTimerHub;
  void Restart();
  ManualTimerHub& hub_;
  uint32_t interval_ = 0;
  bool enabled_ = false;
  int64_t deadline_ = 0;
};

class ManualTimerHub {
 public:
  std::unique_ptr<ManualTimer> Make(uint32_t interval, bool enabled) {
    auto t = std::make_unique<ManualTimer>(*this);
    t->interval_ = interval;
    t->enabled_ = enabled;
    t->Restart();
    timers_.push_back(t.get());
    return t;
  }
  int64_t Now() const { return now_; }
  // Advances virtual time by `ms`, firing every tick that falls due, earliest
  // first; a tick handler may change any timer.
  void Advance(int64_t ms) {
    const int64_t end = now_ + ms;
    for (;;) {
      ManualTimer* next = nullptr;
      for (ManualTimer* t : timers_) {
        const int64_t d = t->Deadline();
        if (d >= 0 && d <= end && (next == nullptr || d < next->Deadline())) next = t;
      }
      if (next == nullptr) break;
      now_ = next->Deadline();
      next->Restart();  // periodic: the next countdown starts at the tick
      if (next->onTick) next->onTick();
    }
    now_ = end;
  }
  void Forget(ManualTimer* t) { timers_.erase(std::remove(timers_.begin(), timers_.end(), t), timers_.end()); }

 private:
  int64_t now_ = 0;
  std::vector<ManualTimer*> timers_;
};

inline void ManualTimer::Restart() { deadline_ = hub_.Now() + interval_; }
inline void ManualTimer::SetInterval(uint32_t ms) {
  interval_ = ms;
  Restart();
}
inline void ManualTimer::SetEnabled(bool enabled) {
  if (enabled && !enabled_) Restart();
  enabled_ = enabled;
}

}  // namespace platform::testing
