// Qt adaptor for window messages: wakes Qt's event loop when messages wait
// for the calling thread, and pumps them there.
//
// Create one on a thread that owns message windows and runs a Qt event loop
// (the GUI thread).  Several may watch the same thread (a host and a control
// each having one is fine): each watches its own duplicate of the queue's
// eventfd, and the first to wake delivers everything in order.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace platform {

class QtMessagePump : public QObject {
 public:
  explicit QtMessagePump(QObject* parent = nullptr);
  ~QtMessagePump() override;
  QtMessagePump(const QtMessagePump&) = delete;
  QtMessagePump& operator=(const QtMessagePump&) = delete;

 private:
  int m_fd = -1;
  QSocketNotifier* m_notifier = nullptr;
};

}  // namespace platform
