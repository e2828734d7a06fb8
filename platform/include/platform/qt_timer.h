// platform::Timer for Qt event loops, with the semantics of a Windows window
// timer: interval 0 never ticks; setting the interval restarts the
// countdown; disabling stops it and enabling (from disabled) starts a fresh
// countdown; ticks repeat every interval while enabled, and ticks that the
// thread was too busy to take come as one.  Ticks run on the thread that
// created the timer, from its Qt event loop, never inside a tick of the same
// timer (a handler that runs a modal loop does not tick again meanwhile).
//
// The countdown is a kernel timer (timerfd) that the event loop watches like
// a socket, so a tick comes when its time is up.  A QTimer comes up to a
// millisecond late under the GLib event loop, which waits in whole
// milliseconds rounded up; the measurement cycle waits twice a cycle (10 ms
// arming, the pause) and would lose that every time.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/timer.h"

class QSocketNotifier;

namespace platform {

class QtWindowTimer final : public Timer {
 public:
  explicit QtWindowTimer(uint32_t intervalMs = 0, bool enabled = false);
  ~QtWindowTimer() override;
  QtWindowTimer(const QtWindowTimer&) = delete;
  QtWindowTimer& operator=(const QtWindowTimer&) = delete;

  void SetInterval(uint32_t ms) override;
  uint32_t Interval() const override { return m_interval; }
  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return m_enabled; }

  // Whether a countdown is running, and the milliseconds left of it (-1 when
  // none runs).  For diagnostics and tests.
  bool Counting() const { return m_counting; }
  int RemainingMs() const;

 private:
  void Restart();
  void Expired();

  int m_fd = -1;
  QSocketNotifier* m_notifier = nullptr;
  uint32_t m_interval = 0;
  bool m_enabled = false;
  bool m_counting = false;
  bool m_ticking = false;
  // False once the timer is gone; a running tick holds a copy to tell.
  std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

}  // namespace platform
