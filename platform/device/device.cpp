// Device lookup, events and the client side of overlapped device requests.
#include "platform/device.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "socket_io.h"
#include "trust.h"
#include "wire.h"

namespace platform {

// ---------------------------------------------------------------- lookup

std::string DeviceFolder() {
  if (const char* dir = std::getenv("QDA7100_DEVICE_DIR"); dir != nullptr && *dir != '\0') return dir;
  if (::geteuid() == 0) return "/run/qda7100";
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg != nullptr && *xdg != '\0')
    return std::string(xdg) + "/qda7100";
  // Sessions without a runtime folder (su, a service without a login, a
  // container) still find the driver here.  /tmp is shared, so another user
  // may create this name first; the folder checks on both sides refuse such
  // a folder (it is not ours), which costs the card but never hands the
  // measurement to someone else's driver.
  return "/tmp/qda7100-" + std::to_string(::geteuid());
}

namespace {

bool StartsWithNoCase(std::string_view name, std::string_view prefix) {
  if (name.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const auto a = static_cast<unsigned char>(name[i]);
    const auto b = static_cast<unsigned char>(prefix[i]);
    if (std::tolower(a) != std::tolower(b)) return false;
  }
  return true;
}

}  // namespace

int FindFirstDevice(std::string_view classGuid, std::string& path) {
  const std::string folder = DeviceFolder();
  // The folder is opened without following a symbolic link as the folder
  // itself (a link could lead anywhere, also to a folder someone else
  // fills) and checked through that descriptor, so the folder listed is the
  // folder checked.
  std::string problem;
  const int dirFd = trust::OpenFolder(folder, false, problem);
  if (dirFd < 0) {
    // A folder that does not exist simply holds no device (nothing was ever
    // registered); one that exists but cannot be listed is a lookup failure.
    if (errno == ENOENT) return -5;
    trust::ReportRefusal(folder, problem);
    return -4;
  }
  struct stat st {};
  problem = ::fstat(dirFd, &st) == 0 ? trust::FolderProblem(st, true) : std::strerror(errno);
  if (!problem.empty()) {
    trust::ReportRefusal(folder, problem);
    ::close(dirFd);
    return -4;
  }
  DIR* dir = ::fdopendir(dirFd);
  if (dir == nullptr) {
    ::close(dirFd);
    return -4;
  }
  std::vector<std::string> members;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (classGuid.empty() || !StartsWithNoCase(name, classGuid)) continue;
    // A member is a socket itself, not a link to one somewhere else.
    if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(st.st_mode))
      members.emplace_back(name);
  }
  ::closedir(dir);
  if (members.empty()) return -5;
  std::sort(members.begin(), members.end());
  path = folder + "/" + members.front();
  return 0;
}

// ---------------------------------------------------------------- event

struct Event::Impl {
  mutable std::mutex mu;
  mutable std::condition_variable cv;
  bool set = false;
};

Event::Event() : impl_(std::make_unique<Impl>()) {}
Event::~Event() = default;

void Event::Set() {
  std::lock_guard lock(impl_->mu);
  impl_->set = true;
  impl_->cv.notify_all();
}

void Event::Reset() {
  std::lock_guard lock(impl_->mu);
  impl_->set = false;
}

bool Event::IsSet() const {
  std::lock_guard lock(impl_->mu);
  return impl_->set;
}

uint32_t Event::Wait(uint32_t timeoutMs) const {
  std::unique_lock lock(impl_->mu);
  if (timeoutMs == INFINITE) {
    impl_->cv.wait(lock, [this] { return impl_->set; });
    return WAIT_OBJECT_0;
  }
  const bool ok = impl_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return impl_->set; });
  return ok ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

// ---------------------------------------------------------------- device

Device::~Device() = default;

namespace {

using SteadyClock = std::chrono::steady_clock;

// How long IoControl waits for the driver to say whether a request completed
// at once or pends.  A driver that says nothing within this time is treated
// as having left the request pending, as a Windows driver's dispatch routine
// that has not completed the request.
constexpr std::chrono::seconds kFirstAnswerTimeout{10};

struct Request {
  Overlapped* ov = nullptr;
  uint8_t* out = nullptr;
  uint32_t outLen = 0;
  bool answered = false;  // the driver said "completed" or "pending"
  bool pended = false;    // its first answer was "pending"
  bool done = false;      // completed (successfully or not)
};

// A reply frame as far as it has arrived.  Whoever reads the socket next
// goes on from here, so a reader that stops in the middle of a frame (its
// wait is over) never loses the stream's frame boundary.
struct IncomingFrame {
  wire::HeaderBytes raw{};
  size_t rawHave = 0;
  std::optional<wire::Header> header;
  std::vector<uint8_t> payload;
  size_t payloadHave = 0;

  // The bytes the frame still needs next.
  std::span<uint8_t> Missing() {
    if (!header) return std::span<uint8_t>(raw).subspan(rawHave);
    return std::span<uint8_t>(payload).subspan(payloadHave);
  }
  void Clear() {
    rawHave = 0;
    header.reset();
    payloadHave = 0;
  }
};

enum class ReadOutcome {
  Frame,    // a whole reply frame is in
  Stopped,  // the wait is over (deadline or wake-up); the frame so far is kept
  End,      // the stream ended or is corrupt
};

// Replies are read by the threads that wait for them.  A thread waiting for
// one of its requests reads the socket itself and delivers every frame it
// meets, so its own reply wakes it directly instead of waking a reader
// thread that then wakes it.  One thread reads at a time (`reading_`); the
// others wait on `cv_` for a delivery or their turn.  The reader thread
// reads only while requests with an event are pending and nobody is reading
// for them, for callers that wait on the event.  A request without one is
// read for by its caller's own wait, so the reader thread does not start
// reading between the request's issue and that wait (only to be stopped
// again at once).
class SocketDevice final : public Device {
 public:
  SocketDevice(int fd, int wakeFd) : fd_(fd), wakeFd_(wakeFd) { reader_ = std::thread([this] { ReadLoop(); }); }

  ~SocketDevice() override {
    {
      std::lock_guard lock(mu_);
      closing_ = true;
    }
    readerCv_.notify_one();
    ::shutdown(fd_, SHUT_RDWR);
    reader_.join();
    ::close(fd_);
    ::close(wakeFd_);
  }

  bool IoControl(uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outLen,
                 uint32_t* bytesReturned, Overlapped* ov, uint32_t& error) override {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (ov == nullptr || (inLen > 0 && in == nullptr) || (outLen > 0 && out == nullptr) ||
        inLen > wire::kMaxPayload) {
      error = ERROR_INVALID_PARAMETER;
      return false;
    }
    if (ov->event != nullptr) ov->event->Reset();

    auto req = std::make_shared<Request>();
    req->ov = ov;
    req->out = static_cast<uint8_t*>(out);
    req->outLen = outLen;
    uint64_t id = 0;
    std::unique_lock lock(mu_);
    if (!connected_) {
      ov->internalStatus = ERROR_DEVICE_NOT_CONNECTED;
      ov->internalBytes = 0;
      error = ERROR_DEVICE_NOT_CONNECTED;
      return false;
    }
    id = nextId_++;
    ov->internalStatus = ERROR_IO_PENDING;
    ov->internalBytes = 0;
    ov->internalId = id;
    live_[id] = req;
    // Counted as reading for its answer from now on, so that the reader
    // thread does not start reading for it meanwhile.
    ++waitersReading_;
    lock.unlock();

    wire::Header h;
    h.kind = wire::FrameKind::Request;
    h.requestId = id;
    h.word1 = code;
    h.word2 = outLen;
    h.payloadLen = inLen;
    const auto head = wire::EncodeHeader(h);
    bool sent;
    {
      std::lock_guard wlock(writeMu_);
      sent = sockio::SendAll(fd_, head, {static_cast<const uint8_t*>(in), inLen});
    }

    lock.lock();
    if (!sent) {
      // A frame cut short (a driver that stopped reading) leaves the stream
      // without a frame boundary: no later request could be read.  Whoever
      // reads next sees the end of the stream and fails whatever is pending.
      ::shutdown(fd_, SHUT_RDWR);
    }
    if (!sent && !req->done) {
      // The driver is gone; a reader will notice the end of the stream too,
      // but this request must not wait for it.
      live_.erase(id);
      ov->internalStatus = ERROR_DEVICE_NOT_CONNECTED;
      req->done = req->answered = true;
    }
    const bool answered =
        WaitReading(lock, [&] { return req->answered; }, SteadyClock::now() + kFirstAnswerTimeout, true);
    if (!answered) req->pended = true;
    // A request the driver has left pending reads as pending even when its
    // completion has already arrived; the caller collects it as usual.
    if (req->done && !req->pended) {
      const uint32_t status = ov->internalStatus;
      if (status == ERROR_SUCCESS) {
        if (bytesReturned != nullptr) *bytesReturned = ov->internalBytes;
        return true;
      }
      error = status;
      return false;
    }
    error = ERROR_IO_PENDING;
    return false;
  }

  bool GetOverlappedResult(Overlapped* ov, uint32_t* bytes, bool wait, uint32_t& error) override {
    return Result(ov, bytes, wait ? INFINITE : 0, error);
  }

  bool GetOverlappedResultEx(Overlapped* ov, uint32_t* bytes, uint32_t timeoutMs, uint32_t& error) override {
    return Result(ov, bytes, timeoutMs, error);
  }

  void Cancel(Overlapped* ov) override {
    if (ov == nullptr) return;
    uint64_t id = 0;
    {
      std::lock_guard lock(mu_);
      const auto it = live_.find(ov->internalId);
      if (it == live_.end() || it->second->ov != ov) return;
      id = it->first;
      it->second->done = it->second->answered = true;
      live_.erase(it);
      ov->internalStatus = ERROR_OPERATION_ABORTED;
      ov->internalBytes = 0;
      if (ov->event != nullptr) ov->event->Set();
      // A thread reading for this request must look at it again.
      if (reading_) WakeReading();
      cv_.notify_all();
    }
    // Tell the driver so it can stop working on it; any late reply for this
    // id is dropped because the id is no longer live.
    wire::Header h;
    h.kind = wire::FrameKind::Cancel;
    h.requestId = id;
    const auto head = wire::EncodeHeader(h);
    std::lock_guard wlock(writeMu_);
    sockio::SendAll(fd_, head);
  }

  bool Connected() const override {
    std::lock_guard lock(mu_);
    if (connected_ && !reading_) {
      // Nobody reads while nothing is pending: a driver that went away
      // since shows as the end of the stream, which a look reveals without
      // taking anything from it.
      uint8_t byte = 0;
      const ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return false;
    }
    return connected_;
  }

 private:
  // GetOverlappedResult with a wait of at most `timeoutMs` (0: none).
  bool Result(Overlapped* ov, uint32_t* bytes, uint32_t timeoutMs, uint32_t& error) {
    if (bytes != nullptr) *bytes = 0;
    if (ov == nullptr) {
      error = ERROR_INVALID_PARAMETER;
      return false;
    }
    std::unique_lock lock(mu_);
    if (ov->internalStatus == ERROR_IO_PENDING) {
      const auto it = live_.find(ov->internalId);
      if (it == live_.end() || it->second->ov != ov) {
        // Never issued through this handle: nothing will ever complete it.
        error = ERROR_INVALID_PARAMETER;
        return false;
      }
      const auto pending = [ov] { return ov->internalStatus == ERROR_IO_PENDING; };
      if (timeoutMs == 0) {
        // Nobody may be reading for it (a request without an event): what
        // has arrived is read now, so polling sees the request end.
        ReadArrived(lock, pending);
        if (pending()) {
          error = ERROR_IO_INCOMPLETE;
          return false;
        }
      } else {
        std::optional<SteadyClock::time_point> deadline;
        if (timeoutMs != INFINITE) deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        if (!WaitReading(lock, [&pending] { return !pending(); }, deadline, false)) {
          error = WAIT_TIMEOUT;
          return false;
        }
      }
    }
    if (ov->internalStatus != ERROR_SUCCESS) {
      error = ov->internalStatus;
      return false;
    }
    if (bytes != nullptr) *bytes = ov->internalBytes;
    return true;
  }

  // Waits until `done` holds or the deadline passes, reading the socket
  // whenever no other thread does.  `counted`: the caller has already
  // counted itself in `waitersReading_`.  Called and returns with `lock`
  // held; returns `done()`.
  template <typename Done>
  bool WaitReading(std::unique_lock<std::mutex>& lock, Done done, std::optional<SteadyClock::time_point> deadline,
                   bool counted) {
    if (!counted) ++waitersReading_;
    while (!done() && connected_ && !closing_ && (!deadline || SteadyClock::now() < *deadline)) {
      if (!reading_) {
        ReadOnce(lock, deadline);
        continue;
      }
      // The reader thread steps aside for a waiting thread; another waiting
      // thread reads on and delivers this thread's reply too.
      if (readerThreadReads_) WakeReading();
      if (deadline) {
        cv_.wait_until(lock, *deadline);
      } else {
        cv_.wait(lock);
      }
    }
    --waitersReading_;
    // Another waiting thread reads on for its own reply, or the reader
    // thread for requests still pending.
    cv_.notify_all();
    if (waitersReading_ == 0 && EventRequestPending()) readerCv_.notify_one();
    return done();
  }

  // Caller holds mu_.  A pending request that a thread may be waiting for
  // through its event alone.
  bool EventRequestPending() const {
    return std::any_of(live_.begin(), live_.end(), [](const auto& entry) { return entry.second->ov->event != nullptr; });
  }

  // Reads, without waiting, the frames already in while `pending` holds and
  // no other thread reads: a look at a request that nobody reads for.
  // Called and returns with `lock` held.
  template <typename Pending>
  void ReadArrived(std::unique_lock<std::mutex>& lock, Pending pending) {
    while (pending() && !reading_ && connected_ && !closing_) {
      if (ReadOnce(lock, SteadyClock::now()) != ReadOutcome::Frame) break;
    }
    // The reader thread may have found this look reading and gone back to
    // sleep: it reads on for the requests with an event.
    if (waitersReading_ == 0 && EventRequestPending()) readerCv_.notify_one();
  }

  void ReadLoop() {
    std::unique_lock lock(mu_);
    for (;;) {
      readerCv_.wait(lock, [this] {
        return closing_ || !connected_ || (!reading_ && waitersReading_ == 0 && EventRequestPending());
      });
      if (closing_ || !connected_) return;
      ReadOnce(lock, std::nullopt, true);
    }
  }

  // Reads until one frame is in (and delivered), the deadline, a wake-up or
  // the end of the stream (then the device is disconnected).  Called with
  // `lock` held and no thread reading; the lock is released while reading.
  // A deadline already past still takes what has arrived.
  ReadOutcome ReadOnce(std::unique_lock<std::mutex>& lock, std::optional<SteadyClock::time_point> deadline,
                       bool readerThread = false) {
    reading_ = true;
    readerThreadReads_ = readerThread;
    lock.unlock();
    const ReadOutcome outcome = ReadFrame(deadline);
    lock.lock();
    reading_ = readerThreadReads_ = false;
    if (outcome == ReadOutcome::Frame) {
      Deliver(*incoming_.header, incoming_.payload);
      incoming_.Clear();
    } else if (outcome == ReadOutcome::End) {
      Disconnect();
      readerCv_.notify_one();  // its work is over
    }
    cv_.notify_all();
    return outcome;
  }

  // The reading side of ReadOnce, without the lock: only the thread that
  // reads touches `incoming_`.
  ReadOutcome ReadFrame(std::optional<SteadyClock::time_point> deadline) {
    // A frame not begun yet is rarely in already when a wait begins: wait
    // for it first instead of trying to read it.
    if (incoming_.rawHave == 0 && !incoming_.header) {
      if (const auto waited = AwaitBytes(deadline)) return *waited;
    }
    for (;;) {
      const std::span<uint8_t> missing = incoming_.Missing();
      if (missing.empty()) {
        if (!incoming_.header) {
          incoming_.header = wire::DecodeHeader(incoming_.raw);
          const auto& h = incoming_.header;
          if (!h || (h->kind != wire::FrameKind::Completed && h->kind != wire::FrameKind::Pending))
            return ReadOutcome::End;
          incoming_.payload.resize(h->payloadLen);
          continue;
        }
        return ReadOutcome::Frame;
      }
      const ssize_t n = ::recv(fd_, missing.data(), missing.size(), MSG_DONTWAIT);
      if (n > 0) {
        (incoming_.header ? incoming_.payloadHave : incoming_.rawHave) += static_cast<size_t>(n);
        continue;
      }
      if (n == 0) return ReadOutcome::End;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return ReadOutcome::End;
      if (const auto waited = AwaitBytes(deadline)) return *waited;
    }
  }

  // Waits for bytes on the socket (or its end): nothing then.  Stopped at
  // the deadline or a wake-up; End when the socket cannot be waited on.
  std::optional<ReadOutcome> AwaitBytes(std::optional<SteadyClock::time_point> deadline) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    timespec left{};
    if (deadline) {
      // Past the deadline the socket is only looked at.
      const auto ns = std::max<int64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - SteadyClock::now()).count(), 0);
      left.tv_sec = static_cast<time_t>(ns / 1000000000);
      left.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    const int ready = ::ppoll(fds, 2, deadline ? &left : nullptr, nullptr);
    if (ready < 0) return errno == EINTR ? std::nullopt : std::optional(ReadOutcome::End);
    if (ready == 0) return ReadOutcome::Stopped;
    if ((fds[1].revents & POLLIN) != 0) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
      return ReadOutcome::Stopped;
    }
    return std::nullopt;
  }

  // Ends the wait of the thread that reads: it looks again at why it reads.
  void WakeReading() const {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
  }

  // Caller holds mu_.
  void Deliver(const wire::Header& h, const std::vector<uint8_t>& payload) {
    const auto it = live_.find(h.requestId);
    if (it == live_.end()) return;  // cancelled, or never ours
    Request& req = *it->second;
    if (h.kind == wire::FrameKind::Pending) {
      req.answered = req.pended = true;
      return;
    }
    uint32_t status = h.word1;
    uint32_t bytes = 0;
    if (status == ERROR_IO_PENDING) {
      status = ERROR_GEN_FAILURE;  // a completion cannot be "still pending"
    } else if (status == ERROR_SUCCESS) {
      if (h.word2 > req.outLen) {
        status = ERROR_MORE_DATA;  // never write past the caller's buffer
      } else if (payload.size() != h.word2) {
        status = ERROR_INVALID_DATA;  // the reply does not hold what it claims
      } else {
        if (h.word2 > 0) std::memcpy(req.out, payload.data(), h.word2);
        bytes = h.word2;
      }
    }
    Overlapped* ov = req.ov;
    ov->internalStatus = status;
    ov->internalBytes = bytes;
    req.answered = req.done = true;
    live_.erase(it);
    if (ov->event != nullptr) ov->event->Set();
  }

  // Caller holds mu_.
  void Disconnect() {
    connected_ = false;
    if (closing_) return;  // the handle is being closed: callers' records may be gone
    for (auto& [id, req] : live_) {
      req->ov->internalStatus = ERROR_DEVICE_NOT_CONNECTED;
      req->ov->internalBytes = 0;
      req->answered = req->done = true;
      if (req->ov->event != nullptr) req->ov->event->Set();
    }
    live_.clear();
  }

  const int fd_;
  const int wakeFd_;  // an eventfd: WakeReading
  mutable std::mutex mu_;
  std::condition_variable cv_;        // waiting threads: a delivery, or their turn to read
  std::condition_variable readerCv_;  // the reader thread: requests nobody reads for
  std::map<uint64_t, std::shared_ptr<Request>> live_;
  uint64_t nextId_ = 1;
  bool connected_ = true;
  bool closing_ = false;
  bool reading_ = false;            // a thread reads the socket
  bool readerThreadReads_ = false;  // ... and it is the reader thread
  int waitersReading_ = 0;          // threads waiting for a reply that read for it
  IncomingFrame incoming_;
  std::mutex writeMu_;
  std::thread reader_;
};

uint32_t OpenErrorFromErrno(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED:  // a stale endpoint: nobody serves the device
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

}  // namespace

std::unique_ptr<Device> Device::Open(const std::string& path, uint32_t& error) {
  if (path.empty()) {
    error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  const int fd = sockio::ConnectUnix(path);
  if (fd < 0) {
    error = OpenErrorFromErrno(errno);
    return nullptr;
  }
  // Only a driver run by this user or by root may answer: its replies become
  // measured data.
  if (const std::string problem = trust::PeerProblem(fd); !problem.empty()) {
    trust::ReportRefusal(path, problem);
    ::close(fd);
    error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  // A driver that stops reading fills the socket's buffer; a request sent
  // then fails after this long instead of holding the caller for ever.
  const timeval sendLimit{kFirstAnswerTimeout.count(), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
  const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd < 0) {
    error = OpenErrorFromErrno(errno);
    ::close(fd);
    return nullptr;
  }
  error = ERROR_SUCCESS;
  return std::make_unique<SocketDevice>(fd, wakeFd);
}

}  // namespace platform
