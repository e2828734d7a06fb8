#include "qt_timer.h"

#include <algorithm>

namespace tessik {

QtTimer::QtTimer(uint32_t intervalMs) : m_interval(intervalMs) {
  m_timer.setTimerType(Qt::CoarseTimer);
  QObject::connect(&m_timer, &QTimer::timeout, [this] {
    if (onTick) onTick();
  });
}

void QtTimer::SetInterval(uint32_t ms) {
  m_interval = ms;
  Apply();
}

void QtTimer::SetEnabled(bool enabled) {
  if (enabled == m_enabled) return;
  m_enabled = enabled;
  Apply();
}

void QtTimer::Apply() {
  if (m_enabled && m_interval > 0) {
    constexpr uint32_t kMaxQtInterval = 0x7fffffff;
    m_timer.start(static_cast<int>(std::min(m_interval, kMaxQtInterval)));  // (re)starts the countdown
  } else {
    m_timer.stop();
  }
}

}  // namespace tessik
