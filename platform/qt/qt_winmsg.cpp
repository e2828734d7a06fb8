#include "platform/qt_winmsg.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "platform/winmsg.h"

namespace platform {

QtMessagePump::QtMessagePump(QObject* parent) : QObject(parent) {
  // A duplicate of the queue's fd: Qt keys notifiers by fd number, and a
  // second notifier on the same number would displace the first.
  m_fd = fcntl(MessageQueueFd(), F_DUPFD_CLOEXEC, 0);
  if (m_fd < 0) {
    qWarning("QtMessagePump: cannot watch the message queue");
    return;
  }
  m_notifier = new QSocketNotifier(static_cast<qintptr>(m_fd), QSocketNotifier::Read, this);
  connect(m_notifier, &QSocketNotifier::activated, this, [] { PumpMessages(); });
}

QtMessagePump::~QtMessagePump() {
  delete m_notifier;  // stop watching before the fd goes
  if (m_fd >= 0) close(m_fd);
}

}  // namespace platform
