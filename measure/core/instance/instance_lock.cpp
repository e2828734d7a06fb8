#include "instance/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace varnel::instance {

namespace {

std::string ErrorText(int error) { return std::strerror(error); }

std::optional<pid_t> ReadHolderPid(int fd) {
  char buffer[32] = {};
  const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
  if (n <= 0) return std::nullopt;
  return ParseHolderPid(std::string(buffer, static_cast<std::size_t>(n)));
}

void RecordPid(int fd) {
  const std::string text = std::to_string(::getpid()) + "\n";
  // The record is for people only; a failure to write it leaves the lock
  // itself intact.
  if (::ftruncate(fd, 0) != 0) return;
  [[maybe_unused]] const ssize_t written = ::pwrite(fd, text.data(), text.size(), 0);
}

}  // namespace

std::optional<pid_t> ParseHolderPid(const std::string& text) {
  long long value = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 0x7fffffff) return std::nullopt;
  }
  if (i == 0 || value <= 0) return std::nullopt;
  return static_cast<pid_t>(value);
}

InstanceLock InstanceLock::TryAcquire(const std::filesystem::path& lockFile) {
  InstanceLock lock;
  lock.path_ = lockFile.string();

  // O_CLOEXEC: a program started by the holder must not inherit the lock and
  // keep it after the holder is gone.  O_NOFOLLOW: the lock file is ours; a
  // link planted in its place is not followed and truncated.
  constexpr int kCommon = O_CLOEXEC | O_NOCTTY | O_NOFOLLOW;
  bool writable = true;
  int fd = ::open(lock.path_.c_str(), O_RDWR | O_CREAT | kCommon, 0644);
  if (fd < 0 && errno == EACCES) {
    // A lock file left by another user can still be locked for reading.
    fd = ::open(lock.path_.c_str(), O_RDONLY | kCommon);
    writable = false;
  }
  if (fd < 0) {
    lock.error_ = ErrorText(errno);
    return lock;
  }

  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) {
      lock.state_ = State::Busy;
      lock.holderPid_ = ReadHolderPid(fd);
    } else {
      lock.error_ = ErrorText(error);
    }
    ::close(fd);
    return lock;
  }

  lock.fd_ = fd;
  lock.state_ = State::Held;
  if (writable) RecordPid(fd);
  return lock;
}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      state_(std::exchange(other.state_, State::Failed)),
      holderPid_(std::move(other.holderPid_)),
      path_(std::move(other.path_)),
      error_(std::move(other.error_)) {}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
    state_ = std::exchange(other.state_, State::Failed);
    holderPid_ = std::move(other.holderPid_);
    path_ = std::move(other.path_);
    error_ = std::move(other.error_);
  }
  return *this;
}

InstanceLock::~InstanceLock() { Release(); }

void InstanceLock::Release() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool InstanceLock::MarkAlive() const { return fd_ >= 0 && ::futimens(fd_, nullptr) == 0; }

std::string InstanceLock::Describe() const {
  switch (state_) {
    case State::Held:
      return {};
    case State::Busy: {
      std::string text = "このフォルダでは別の Varnel が動作中です";
      if (holderPid_) text += " (pid " + std::to_string(*holderPid_) + ")";
      return text + ": " + path_;
    }
    case State::Failed:
      break;
  }
  return "二重起動防止のロックを取れません: " + path_ + " (" + error_ + ")";
}

}  // namespace varnel::instance
