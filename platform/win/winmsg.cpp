// Window messages between threads of one process.
//
// Every thread that owns a window has a queue: a deque under a short mutex
// plus an eventfd that is readable while messages wait, so any event loop can
// watch it.  The handle table maps a handle to its window procedure and its
// owner's queue.  A post takes the table lock and the queue lock each only
// for a lookup or a push, so a poster never waits for the receiver to run.
// Handles are handed out from a counter and not reused while any window holds
// them, so a message queued for a destroyed window can never reach a newer
// window with the same number: it is dropped when it comes up for delivery.
#include "platform/winmsg.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace platform {
namespace {

struct Message {
  Hwnd hwnd;
  uint32_t msg;
  uintptr_t wParam;
  intptr_t lParam;
};

class ThreadQueue {
 public:
  ThreadQueue() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~ThreadQueue() {
    if (fd_ >= 0) close(fd_);
  }
  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;

  int Fd() const { return fd_; }

  // False once the owner thread has ended.  Only the first message into an
  // empty queue signals: until the queue is empty again the fd is readable
  // or a pump is delivering and signals for what it leaves (PumpMessages),
  // so a block's notifications wake the owner once, not once each.
  bool Push(const Message& m) {
    bool first = false;
    {
      std::lock_guard lock(mutex_);
      if (closed_) return false;
      first = messages_.empty();
      messages_.push_back(m);
    }
    if (first) Signal();
    return true;
  }

  bool Pop(Message& m) {
    std::lock_guard lock(mutex_);
    if (messages_.empty()) return false;
    m = messages_.front();
    messages_.pop_front();
    return true;
  }

  size_t Size() {
    std::lock_guard lock(mutex_);
    return messages_.size();
  }

  void Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    messages_.clear();
  }

  void Signal() {
    const uint64_t one = 1;
    // The counter saturates long before it could overflow in practice; a
    // failed write (EAGAIN at the limit) still leaves the fd readable.
    [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof one);
  }

  void ClearSignal() {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = read(fd_, &value, sizeof value);
  }

 private:
  int fd_;
  std::mutex mutex_;
  std::deque<Message> messages_;
  bool closed_ = false;
};

struct Window {
  WindowProc proc;
  std::shared_ptr<ThreadQueue> queue;
};

// The table outlives every thread-exit hook and static destructor: it is
// created on first use and intentionally never destroyed.
class WindowTable {
 public:
  static WindowTable& Get() {
    static WindowTable* table = new WindowTable;
    return *table;
  }

  Hwnd Add(WindowProc proc, std::shared_ptr<ThreadQueue> queue) {
    auto w = std::make_shared<Window>(Window{std::move(proc), std::move(queue)});
    std::lock_guard lock(mutex_);
    do {
      ++next_;
    } while (next_ == 0 || windows_.count(next_) != 0);
    windows_.emplace(next_, std::move(w));
    return next_;
  }

  std::shared_ptr<Window> Find(Hwnd hwnd) {
    std::lock_guard lock(mutex_);
    auto it = windows_.find(hwnd);
    return it == windows_.end() ? nullptr : it->second;
  }

  // Removes the window only when `queue` owns it.
  bool Remove(Hwnd hwnd, const ThreadQueue* queue) {
    std::lock_guard lock(mutex_);
    auto it = windows_.find(hwnd);
    if (it == windows_.end() || it->second->queue.get() != queue) return false;
    windows_.erase(it);
    return true;
  }

  void RemoveAllOf(const ThreadQueue* queue) {
    std::lock_guard lock(mutex_);
    for (auto it = windows_.begin(); it != windows_.end();) {
      it = it->second->queue.get() == queue ? windows_.erase(it) : std::next(it);
    }
  }

 private:
  std::mutex mutex_;
  std::unordered_map<Hwnd, std::shared_ptr<Window>> windows_;
  Hwnd next_ = 0x00010000;  // arbitrary start, clear of small integers
};

// The calling thread's queue; when the thread ends its windows go away and
// posts to them fail.
class ThreadState {
 public:
  ~ThreadState() {
    if (!queue_) return;
    WindowTable::Get().RemoveAllOf(queue_.get());
    queue_->Close();
  }
  const std::shared_ptr<ThreadQueue>& Queue() {
    if (!queue_) queue_ = std::make_shared<ThreadQueue>();
    return queue_;
  }

 private:
  std::shared_ptr<ThreadQueue> queue_;
};

thread_local ThreadState t_state;

std::mutex g_hookMutex;
MessageBoxHook& HookSlot() {
  static MessageBoxHook* hook = new MessageBoxHook;
  return *hook;
}

}  // namespace

Hwnd CreateMessageWindow(WindowProc proc) { return WindowTable::Get().Add(std::move(proc), t_state.Queue()); }

void DestroyMessageWindow(Hwnd hwnd) { WindowTable::Get().Remove(hwnd, t_state.Queue().get()); }

bool IsMessageWindow(Hwnd hwnd) { return hwnd != 0 && WindowTable::Get().Find(hwnd) != nullptr; }

bool PostMessage(Hwnd hwnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  if (hwnd == 0) return false;
  std::shared_ptr<Window> w = WindowTable::Get().Find(hwnd);
  if (!w) return false;
  return w->queue->Push(Message{hwnd, msg, wParam, lParam});
}

bool SendMessage(Hwnd hwnd, uint32_t msg, uintptr_t wParam, intptr_t lParam, intptr_t* result) {
  std::shared_ptr<Window> w = WindowTable::Get().Find(hwnd);
  if (!w || w->queue != t_state.Queue()) return false;
  const intptr_t r = w->proc ? w->proc(msg, wParam, lParam) : 0;
  if (result != nullptr) *result = r;
  return true;
}

int MessageQueueFd() { return t_state.Queue()->Fd(); }

int PumpMessages() {
  const std::shared_ptr<ThreadQueue> queue = t_state.Queue();
  queue->ClearSignal();
  // Deliver only what is queued now: a handler that posts to its own thread
  // must not keep this call going forever.  A handler may also pump again
  // (a modal loop); taking one message at a time keeps the order either way.
  size_t budget = queue->Size();
  int delivered = 0;
  Message m{};
  while (budget > 0 && queue->Pop(m)) {
    --budget;
    std::shared_ptr<Window> w = WindowTable::Get().Find(m.hwnd);
    if (!w || w->queue != queue) continue;  // destroyed meanwhile: dropped
    ++delivered;
    if (w->proc) w->proc(m.msg, m.wParam, m.lParam);
  }
  if (queue->Size() > 0) queue->Signal();  // keep the fd readable for the rest
  return delivered;
}

int WaitAndPumpMessages(int timeoutMs) {
  const std::shared_ptr<ThreadQueue> queue = t_state.Queue();
  if (queue->Size() == 0) {
    pollfd p{queue->Fd(), POLLIN, 0};
    int r;
    do {
      r = poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
    } while (r < 0 && errno == EINTR);
  }
  return PumpMessages();
}

void SetMessageBoxHook(MessageBoxHook hook) {
  std::lock_guard lock(g_hookMutex);
  HookSlot() = std::move(hook);
}

void LibraryMessageBox(const char* text, const char* title, uint32_t flags) {
  MessageBoxHook hook;
  {
    std::lock_guard lock(g_hookMutex);
    hook = HookSlot();
  }
  if (text == nullptr) text = "";
  if (title == nullptr) title = "";
  if (hook) {
    hook(text, title, flags);
  } else {
    std::fprintf(stderr, "%s: %s\n", title, text);
  }
}

}  // namespace platform
