// A QTimer behind the window-timer interface.
#pragma once

#include <QTimer>

#include "platform/timer.h"

namespace tessik {

// Windows-timer semantics: interval 0 never ticks; setting the interval
// restarts a running countdown; enabling starts a fresh countdown.
class QtTimer : public platform::Timer {
 public:
  explicit QtTimer(uint32_t intervalMs = 0);
  void SetInterval(uint32_t ms) override;
  uint32_t Interval() const override { return m_interval; }
  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return m_enabled; }
  // The running Qt timer (for inspection in tests).
  const QTimer& qtimer() const { return m_timer; }

 private:
  void Apply();
  QTimer m_timer;
  uint32_t m_interval = 0;
  bool m_enabled = false;
};

}  // namespace tessik
