// The driver side of a device endpoint (see platform/device_server.h).
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/device.h"
#include "platform/device_server.h"
#include "socket_io.h"
#include "trust.h"
#include "wire.h"

namespace platform {

DeviceCall::~DeviceCall() = default;
DeviceServer::~DeviceServer() = default;

namespace {

// Creates (mode 0700) and opens the device folder, never following a
// symbolic link as the folder itself nor one on the way that another user
// made, and checks it through the open descriptor: it must be ours and
// nobody else may write into it.  Returns the folder's descriptor, or -1
// with `error` set.
int OpenDeviceFolder(const std::string& folder, std::string& error) {
  if (folder.empty()) {
    error = "empty device folder name";
    return -1;
  }
  std::string problem;
  const int fd = trust::OpenFolder(folder, true, problem);
  if (fd < 0) {
    error = "cannot use " + folder + " as the device folder: " + problem;
    return -1;
  }
  struct stat st {};
  problem = ::fstat(fd, &st) == 0 ? trust::FolderProblem(st, false) : std::strerror(errno);
  if (!problem.empty()) {
    // A folder others could write to may already hold their entries: it is
    // not narrowed but refused.
    error = "refusing device folder " + folder + ": " + problem;
    ::close(fd);
    return -1;
  }
  if ((st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) {
    error = "cannot restrict " + folder + " to its owner: " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool PrepareDeviceFolder(const std::string& folder, std::string& error) {
  const int fd = OpenDeviceFolder(folder, error);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

namespace {

class Connection;

class Call final : public DeviceCall {
 public:
  Call(std::weak_ptr<Connection> conn, uint64_t id, uint32_t code, std::vector<uint8_t> input, uint32_t outLen)
      : conn_(std::move(conn)), id_(id), code_(code), input_(std::move(input)), outLen_(outLen) {}

  uint32_t Code() const override { return code_; }
  std::span<const uint8_t> Input() const override { return input_; }
  uint32_t OutputLength() const override { return outLen_; }

  bool Complete(uint32_t status, std::span<const uint8_t> output) override {
    return CompleteClaiming(status, static_cast<uint32_t>(output.size()), output);
  }
  bool CompleteClaiming(uint32_t status, uint32_t claimedBytes, std::span<const uint8_t> output) override;
  bool Finished() const override {
    std::lock_guard lock(mu_);
    return finished_;
  }
  void OnCancel(std::function<void()> fn) override {
    std::unique_lock lock(mu_);
    if (cancelled_) {
      lock.unlock();
      fn();
    } else if (!finished_) {
      onCancel_ = std::move(fn);
    }
  }

  void Pend() override;
  // The client cancelled or went away.
  void Cancel() {
    std::function<void()> fn;
    {
      std::lock_guard lock(mu_);
      if (finished_) return;
      finished_ = cancelled_ = true;
      fn = std::move(onCancel_);
    }
    if (fn) fn();
  }

 private:
  std::weak_ptr<Connection> conn_;
  const uint64_t id_;
  const uint32_t code_;
  const std::vector<uint8_t> input_;
  const uint32_t outLen_;
  mutable std::mutex mu_;  // held while a reply frame of this call is sent, to keep Pending first
  bool finished_ = false;
  bool cancelled_ = false;
  bool pended_ = false;
  std::function<void()> onCancel_;
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(int fd, DeviceHandler* handler) : fd_(fd), handler_(handler) {}

  void Run() { thread_ = std::thread([self = shared_from_this()] { self->Loop(); }); }

  bool Send(const wire::Header& h, std::span<const uint8_t> payload) {
    const auto head = wire::EncodeHeader(h);
    std::lock_guard lock(writeMu_);
    if (closed_) return false;
    return sockio::SendAll(fd_, head, payload);
  }

  void Forget(uint64_t id, const DeviceCall* call) {
    std::lock_guard lock(callsMu_);
    if (const auto it = calls_.find(id); it != calls_.end() && it->second.get() == call) calls_.erase(it);
  }

  // Wakes the connection's thread (used when the server stops).
  void Shutdown() {
    std::lock_guard lock(writeMu_);
    if (!closed_) ::shutdown(fd_, SHUT_RDWR);
  }
  bool Done() const { return done_.load(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Loop() {
    std::vector<uint8_t> payload;
    for (;;) {
      wire::HeaderBytes raw{};
      if (!sockio::RecvAll(fd_, raw)) break;
      const auto h = wire::DecodeHeader(raw);
      if (!h) break;
      if (h->kind == wire::FrameKind::Cancel) {
        std::shared_ptr<Call> call;
        {
          std::lock_guard lock(callsMu_);
          const auto it = calls_.find(h->requestId);
          if (it != calls_.end()) {
            call = it->second;
            calls_.erase(it);
          }
        }
        if (call) call->Cancel();
        continue;
      }
      if (h->kind != wire::FrameKind::Request) break;
      payload.assign(h->payloadLen, 0);
      if (h->payloadLen > 0 && !sockio::RecvAll(fd_, payload)) break;
      auto call = std::make_shared<Call>(weak_from_this(), h->requestId, h->word1, payload, h->word2);
      {
        // A client never reuses the id of a call still open: the stream is
        // corrupt, and replies could no longer be told apart.
        std::lock_guard lock(callsMu_);
        if (!calls_.emplace(h->requestId, call).second) break;
      }
      try {
        (*handler_)(call);
      } catch (...) {
        call->Complete(ERROR_GEN_FAILURE, {});
      }
      call->Pend();  // not completed by the handler: it pends
    }
    Close();
  }

  void Close() {
    {
      std::lock_guard lock(writeMu_);
      closed_ = true;
      ::close(fd_);
    }
    std::map<uint64_t, std::shared_ptr<Call>> left;
    {
      std::lock_guard lock(callsMu_);
      left.swap(calls_);
    }
    for (auto& [id, call] : left) call->Cancel();
    done_ = true;
  }

  const int fd_;
  DeviceHandler* handler_;
  std::mutex writeMu_;
  bool closed_ = false;
  std::mutex callsMu_;
  std::map<uint64_t, std::shared_ptr<Call>> calls_;
  std::thread thread_;
  std::atomic<bool> done_{false};
};

bool Call::CompleteClaiming(uint32_t status, uint32_t claimedBytes, std::span<const uint8_t> output) {
  std::lock_guard lock(mu_);
  if (finished_) return false;
  finished_ = true;
  onCancel_ = nullptr;
  const auto conn = conn_.lock();
  if (!conn) return false;
  wire::Header h;
  h.kind = wire::FrameKind::Completed;
  h.requestId = id_;
  h.word1 = status;
  h.word2 = claimedBytes;
  h.payloadLen = static_cast<uint32_t>(output.size());
  const bool sent = conn->Send(h, output);
  conn->Forget(id_, this);
  return sent;
}

void Call::Pend() {
  std::lock_guard lock(mu_);
  if (finished_ || pended_) return;
  pended_ = true;
  const auto conn = conn_.lock();
  if (!conn) return;
  wire::Header h;
  h.kind = wire::FrameKind::Pending;
  h.requestId = id_;
  conn->Send(h, {});
}

class SocketServer final : public DeviceServer {
 public:
  // Takes over `dirFd` (the checked folder) and `listenFd`.
  SocketServer(std::string path, int dirFd, std::string name, int listenFd, ino_t inode, DeviceHandler handler)
      : path_(std::move(path)),
        dirFd_(dirFd),
        name_(std::move(name)),
        listenFd_(listenFd),
        inode_(inode),
        handler_(std::move(handler)) {
    if (::pipe2(wakePipe_, O_CLOEXEC) != 0) wakePipe_[0] = wakePipe_[1] = -1;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
  }
  ~SocketServer() override { Stop(); }

  void Stop() override {
    std::lock_guard stopLock(stopMu_);
    if (stopped_) return;
    stopped_ = true;
    stopping_ = true;
    if (wakePipe_[1] >= 0) {
      const char c = 'x';
      [[maybe_unused]] const auto n = ::write(wakePipe_[1], &c, 1);
    }
    acceptThread_.join();
    // Remove the endpoint only when it is still ours (not a successor's).
    struct stat st {};
    if (::fstatat(dirFd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_ino == inode_)
      ::unlinkat(dirFd_, name_.c_str(), 0);
    ::close(listenFd_);
    ::close(dirFd_);
    std::list<std::shared_ptr<Connection>> conns;
    {
      std::lock_guard lock(connsMu_);
      conns.swap(conns_);
    }
    for (auto& c : conns) c->Shutdown();
    for (auto& c : conns) c->Join();
    for (int& fd : wakePipe_) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }

  const std::string& Path() const override { return path_; }

  size_t ConnectionCount() const override {
    std::lock_guard lock(connsMu_);
    size_t n = 0;
    for (const auto& c : conns_) n += c->Done() ? 0 : 1;
    return n;
  }

 private:
  void AcceptLoop() {
    while (!stopping_) {
      pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
      const int n = ::poll(fds, wakePipe_[0] >= 0 ? 2 : 1, wakePipe_[0] >= 0 ? -1 : 200);
      if (n < 0 && errno != EINTR) break;
      if (stopping_) break;
      if (n <= 0 || !(fds[0].revents & POLLIN)) continue;
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      auto conn = std::make_shared<Connection>(fd, &handler_);
      std::lock_guard lock(connsMu_);
      ReapLocked();
      conns_.push_back(conn);
      conn->Run();
    }
  }

  // Joins the threads of connections that have ended, so a long-running
  // server does not collect them.
  void ReapLocked() {
    for (auto it = conns_.begin(); it != conns_.end();) {
      if ((*it)->Done()) {
        (*it)->Join();
        it = conns_.erase(it);
      } else {
        ++it;
      }
    }
  }

  const std::string path_;
  const int dirFd_;
  const std::string name_;
  const int listenFd_;
  const ino_t inode_;
  DeviceHandler handler_;
  int wakePipe_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::mutex stopMu_;
  bool stopped_ = false;
  std::thread acceptThread_;
  mutable std::mutex connsMu_;
  std::list<std::shared_ptr<Connection>> conns_;
};

}  // namespace

std::unique_ptr<DeviceServer> DeviceServer::Start(const std::string& folder, const std::string& name,
                                                  DeviceHandler handler, std::string& error) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    error = "bad endpoint name '" + name + "'";
    return nullptr;
  }
  const int dirFd = OpenDeviceFolder(folder, error);
  if (dirFd < 0) return nullptr;
  // From here on every step is taken relative to the checked folder, so a
  // folder renamed or replaced meanwhile cannot redirect it.
  const std::string path = folder + "/" + name;
  const auto fail = [&](std::string why) -> std::unique_ptr<DeviceServer> {
    error = std::move(why);
    ::close(dirFd);
    return nullptr;
  };
  struct stat st {};
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISSOCK(st.st_mode)) return fail(path + " exists and is not a device endpoint");
    if (st.st_uid != ::geteuid())
      return fail(path + " belongs to uid " + std::to_string(st.st_uid) + "; it is left alone");
    const int probe = sockio::ConnectAt(dirFd, folder, name);
    if (probe >= 0) {
      ::close(probe);
      return fail(path + " is already served by another driver");
    }
    ::unlinkat(dirFd, name.c_str(), 0);  // stale: its server is gone
  }
  const int fd = sockio::ListenAt(dirFd, folder, name);
  if (fd < 0) return fail("cannot listen on " + path + ": " + std::strerror(errno));
  // The folder is private, so nobody can swap the new entry before it is
  // narrowed.
  if (::fchmodat(dirFd, name.c_str(), 0600, 0) != 0 ||
      ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    const std::string why = "cannot restrict " + path + ": " + std::strerror(errno);
    ::close(fd);
    ::unlinkat(dirFd, name.c_str(), 0);
    return fail(why);
  }
  return std::make_unique<SocketServer>(path, dirFd, name, fd, st.st_ino, std::move(handler));
}

}  // namespace platform
