#include "platform/qt_timer.h"

#include <climits>
#include <functional>

namespace platform {

QtWindowTimer::QtWindowTimer(uint32_t intervalMs, bool enabled) : m_interval(intervalMs), m_enabled(enabled) {
  // Window timers are used for 10 ms arming steps: a coarse timer's 5 %
  // slack would be visible at the longer intervals too.
  m_timer.setTimerType(Qt::PreciseTimer);
  m_timer.setSingleShot(false);
  QObject::connect(&m_timer, &QTimer::timeout, [this] {
    // A copy: the handler may replace onTick or delete this timer.
    std::function<void()> tick = onTick;
    if (tick) tick();
  });
  Restart();
}

void QtWindowTimer::SetInterval(uint32_t ms) {
  m_interval = ms;
  Restart();
}

void QtWindowTimer::SetEnabled(bool enabled) {
  if (enabled == m_enabled) return;  // enabling a running timer keeps its countdown
  m_enabled = enabled;
  Restart();
}

void QtWindowTimer::Restart() {
  if (!m_enabled || m_interval == 0) {
    m_timer.stop();
    return;
  }
  m_timer.start(static_cast<int>(m_interval > static_cast<uint32_t>(INT_MAX) ? INT_MAX : m_interval));
}

}  // namespace platform
