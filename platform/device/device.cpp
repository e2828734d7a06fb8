// Device lookup, events and the client side of overlapped device requests.
#include "platform/device.h"

#include <dirent.h>
#include <fcntl.h>
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

class SocketDevice final : public Device {
 public:
  explicit SocketDevice(int fd) : fd_(fd) { reader_ = std::thread([this] { ReadLoop(); }); }

  ~SocketDevice() override {
    {
      std::lock_guard lock(mu_);
      closing_ = true;
    }
    ::shutdown(fd_, SHUT_RDWR);
    reader_.join();
    ::close(fd_);
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
    {
      std::lock_guard lock(mu_);
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
    }

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

    std::unique_lock lock(mu_);
    if (!sent) {
      // A frame cut short (a driver that stopped reading) leaves the stream
      // without a frame boundary: no later request could be read.  The
      // reader sees the end of the stream and fails whatever is pending.
      ::shutdown(fd_, SHUT_RDWR);
    }
    if (!sent && !req->done) {
      // The driver is gone; the reader thread will notice the end of the
      // stream too, but this request must not wait for it.
      live_.erase(id);
      ov->internalStatus = ERROR_DEVICE_NOT_CONNECTED;
      req->done = req->answered = true;
    }
    if (!cv_.wait_for(lock, kFirstAnswerTimeout, [&] { return req->answered; })) req->pended = true;
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
      if (!wait) {
        error = ERROR_IO_INCOMPLETE;
        return false;
      }
      cv_.wait(lock, [ov] { return ov->internalStatus != ERROR_IO_PENDING; });
    }
    if (ov->internalStatus != ERROR_SUCCESS) {
      error = ov->internalStatus;
      return false;
    }
    if (bytes != nullptr) *bytes = ov->internalBytes;
    return true;
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
      cv_.notify_all();
    }
    // Tell the driver so it can stop working on it; any late reply for this
    // id is dropped by the reader because the id is no longer live.
    wire::Header h;
    h.kind = wire::FrameKind::Cancel;
    h.requestId = id;
    const auto head = wire::EncodeHeader(h);
    std::lock_guard wlock(writeMu_);
    sockio::SendAll(fd_, head);
  }

  bool Connected() const override {
    std::lock_guard lock(mu_);
    return connected_;
  }

 private:
  void ReadLoop() {
    std::vector<uint8_t> payload;
    for (;;) {
      wire::HeaderBytes raw{};
      if (!sockio::RecvAll(fd_, raw)) break;
      const auto h = wire::DecodeHeader(raw);
      if (!h || (h->kind != wire::FrameKind::Completed && h->kind != wire::FrameKind::Pending)) break;
      payload.resize(h->payloadLen);
      if (h->payloadLen > 0 && !sockio::RecvAll(fd_, payload)) break;
      Deliver(*h, payload);
    }
    Disconnect();
  }

  void Deliver(const wire::Header& h, const std::vector<uint8_t>& payload) {
    std::lock_guard lock(mu_);
    const auto it = live_.find(h.requestId);
    if (it == live_.end()) return;  // cancelled, or never ours
    Request& req = *it->second;
    if (h.kind == wire::FrameKind::Pending) {
      req.answered = req.pended = true;
      cv_.notify_all();
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
    cv_.notify_all();
  }

  void Disconnect() {
    std::lock_guard lock(mu_);
    connected_ = false;
    if (closing_) return;  // the handle is being closed: callers' records may be gone
    for (auto& [id, req] : live_) {
      req->ov->internalStatus = ERROR_DEVICE_NOT_CONNECTED;
      req->ov->internalBytes = 0;
      req->answered = req->done = true;
      if (req->ov->event != nullptr) req->ov->event->Set();
    }
    live_.clear();
    cv_.notify_all();
  }

  const int fd_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::map<uint64_t, std::shared_ptr<Request>> live_;
  uint64_t nextId_ = 1;
  bool connected_ = true;
  bool closing_ = false;
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
  error = ERROR_SUCCESS;
  return std::make_unique<SocketDevice>(fd);
}

}  // namespace platform
