// platform::Timer over QTimer, with the semantics of a Windows window timer:
// interval 0 never ticks; setting the interval restarts the countdown;
// disabling stops it and enabling (from disabled) starts a fresh countdown;
// ticks repeat every interval while enabled.  Ticks run on the thread that
// created the timer, from its Qt event loop.
#pragma once

#include <QTimer>
#include <cstdint>

#include "platform/timer.h"

namespace platform {

class QtWindowTimer final : public Timer {
 public:
  explicit QtWindowTimer(uint32_t intervalMs = 0, bool enabled = false);
  QtWindowTimer(const QtWindowTimer&) = delete;
  QtWindowTimer& operator=(const QtWindowTimer&) = delete;

  void SetInterval(uint32_t ms) override;
  uint32_t Interval() const override { return m_interval; }
  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return m_enabled; }

  // Whether a countdown is running, and the milliseconds left of it (-1 when
  // none runs).  For diagnostics and tests.
  bool Counting() const { return m_timer.isActive(); }
  int RemainingMs() const { return m_timer.remainingTime(); }

 private:
  void Restart();
  QTimer m_timer;
  uint32_t m_interval = 0;
  bool m_enabled = false;
};

}  // namespace platform
