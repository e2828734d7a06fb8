#include "platform/qt_timer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <functional>

namespace platform {

namespace {

timespec Milliseconds(uint32_t ms) {
  timespec t{};
  t.tv_sec = static_cast<time_t>(ms / 1000);
  t.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  return t;
}

}  // namespace

QtWindowTimer::QtWindowTimer(uint32_t intervalMs, bool enabled) : m_interval(intervalMs), m_enabled(enabled) {
  m_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (m_fd < 0) {
    std::perror("QtWindowTimer: timerfd_create");
    return;
  }
  m_notifier = new QSocketNotifier(static_cast<qintptr>(m_fd), QSocketNotifier::Read);
  QObject::connect(m_notifier, &QSocketNotifier::activated, [this] { Expired(); });
  Restart();
}

QtWindowTimer::~QtWindowTimer() {
  *m_alive = false;
  if (m_ticking) {
    // Deleted by its own tick handler: the notifier is still delivering the
    // tick, so it goes when the event loop is back.
    if (m_notifier != nullptr) {
      m_notifier->setEnabled(false);
      m_notifier->deleteLater();
    }
  } else {
    delete m_notifier;  // stop watching before the fd goes
  }
  if (m_fd >= 0) close(m_fd);
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

// Arms the kernel timer for a fresh countdown (or disarms it).  Setting it
// also drops an expiry not yet taken, as restarting a window timer does.
//
// A timer that neither counted nor counts now leaves the kernel timer alone:
// it was disarmed, with its expiries, when it last stopped.  The cycle sets
// its stopped timers' intervals several times a cycle.
void QtWindowTimer::Restart() {
  const bool wasCounting = m_counting;
  m_counting = m_enabled && m_interval != 0;
  if (m_fd < 0 || (!wasCounting && !m_counting)) return;
  itimerspec countdown{};
  if (m_counting) countdown.it_value = countdown.it_interval = Milliseconds(m_interval);
  timerfd_settime(m_fd, 0, &countdown, nullptr);
}

int QtWindowTimer::RemainingMs() const {
  itimerspec countdown{};
  if (!m_counting || m_fd < 0 || timerfd_gettime(m_fd, &countdown) != 0) return -1;
  const long long ns = static_cast<long long>(countdown.it_value.tv_sec) * 1000000000LL + countdown.it_value.tv_nsec;
  return static_cast<int>((ns + 999999) / 1000000);
}

void QtWindowTimer::Expired() {
  uint64_t expiries = 0;
  // Nothing to read: the countdown was restarted or stopped after the event
  // loop saw it expire.
  if (read(m_fd, &expiries, sizeof expiries) != static_cast<ssize_t>(sizeof expiries) || expiries == 0) return;
  // A copy: the handler may replace onTick or delete this timer.
  std::function<void()> tick = onTick;
  if (!tick || m_ticking) return;
  const std::shared_ptr<bool> alive = m_alive;
  m_ticking = true;
  tick();
  if (*alive) m_ticking = false;
}

}  // namespace platform
