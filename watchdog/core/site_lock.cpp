#include "site_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>

#include "instance/instance_lock.h"

namespace tessik {

namespace fs = std::filesystem;

namespace {

// An open file descriptor, closed with the object.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&&) = delete;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

std::string ErrorText(int error) { return std::strerror(error); }

std::string PidText(pid_t pid) { return "pid " + std::to_string(pid); }

// The system calls themselves: glibc 2.36 declares its wrappers without C
// linkage for C++.
int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int PidfdSendSignal(int pidfd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// The process behind a pidfd: signals reach that process or nobody.
class PidfdHolder : public LockHolder {
 public:
  PidfdHolder(pid_t pid, Fd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}
  int Pid() const override { return pid_; }

  bool Terminate(std::string& why) override {
    // A stopped program would keep SIGTERM pending for ever; SIGCONT lets
    // it act on it.
    return Send(SIGTERM, why) && Send(SIGCONT, why);
  }
  bool Kill(std::string& why) override { return Send(SIGKILL, why); }

 private:
  bool Send(int signal, std::string& why) {
    if (PidfdSendSignal(pidfd_.get(), signal) == 0) return true;
    if (errno == ESRCH) return true;  // it has ended already, as wished
    why = ErrorText(errno);
    return false;
  }

  pid_t pid_;
  Fd pidfd_;
};

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<pid_t> RecordedPid(int fd) {
  char buffer[32] = {};
  const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
  if (n <= 0) return std::nullopt;
  return varnel::instance::ParseHolderPid(std::string(buffer, static_cast<std::size_t>(n)));
}

enum class LockProbe { Free, Held, Unknown };

// Tries the lock once without blocking and lets go at once.
LockProbe ProbeLock(int fd) {
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    ::flock(fd, LOCK_UN);
    return LockProbe::Free;
  }
  return errno == EWOULDBLOCK ? LockProbe::Held : LockProbe::Unknown;
}

Fd OpenLockFile(const fs::path& file) {
  // Read-only and never created: the watchdog only looks.  flock needs no
  // write access.
  return Fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
}

enum class FdSearch { Holds, DoesNotHold, CannotLook };

// Whether process `pid` holds an exclusive flock through an open file that
// is the file `lock` (device and inode).
FdSearch HoldsFlockOn(pid_t pid, const struct stat& lock) {
  const fs::path proc = fs::path("/proc") / std::to_string(pid);
  std::error_code ec;
  fs::directory_iterator fds(proc / "fd", ec);
  if (ec) return FdSearch::CannotLook;
  // Stepped with an error code (the process may end while we look); an
  // error ends the loop with `ec` set.
  for (; fds != fs::directory_iterator(); fds.increment(ec)) {
    struct stat st {};
    if (::stat(fds->path().c_str(), &st) != 0) continue;  // closed meanwhile
    if (st.st_dev != lock.st_dev || st.st_ino != lock.st_ino) continue;
    if (FdInfoShowsExclusiveFlock(ReadText(proc / "fdinfo" / fds->path().filename()))) return FdSearch::Holds;
  }
  return ec ? FdSearch::CannotLook : FdSearch::DoesNotHold;
}

bool WorksIn(pid_t pid, const fs::path& site) {
  std::error_code ec;
  const fs::path cwd = fs::read_symlink(fs::path("/proc") / std::to_string(pid) / "cwd", ec);
  return !ec && fs::equivalent(cwd, site, ec) && !ec;
}

LockInspection Unproven(std::string why) {
  LockInspection result;
  result.state = LockInspection::State::Unproven;
  result.why = std::move(why);
  return result;
}

}  // namespace

bool FdInfoShowsExclusiveFlock(std::string_view fdinfo) {
  size_t start = 0;
  while (start < fdinfo.size()) {
    size_t end = fdinfo.find('\n', start);
    if (end == std::string_view::npos) end = fdinfo.size();
    const std::string_view line = fdinfo.substr(start, end - start);
    if (line.starts_with("lock:") && line.find(" FLOCK ") != std::string_view::npos &&
        line.find(" WRITE ") != std::string_view::npos)
      return true;
    start = end + 1;
  }
  return false;
}

ProcSiteLock::ProcSiteLock(fs::path siteFolder)
    : site_(std::move(siteFolder)), lockFile_(site_ / varnel::instance::kLockFileName) {}

std::string ProcSiteLock::LockFile() const { return lockFile_.string(); }

bool ProcSiteLock::Held() {
  const Fd fd = OpenLockFile(lockFile_);
  if (!fd.valid()) return errno != ENOENT;  // unreadable: assume the worst
  return ProbeLock(fd.get()) != LockProbe::Free;
}

LockInspection ProcSiteLock::Inspect() {
  const Fd fd = OpenLockFile(lockFile_);
  if (!fd.valid()) {
    if (errno == ENOENT) return {};
    return Unproven(lockFile_.string() + ": " + ErrorText(errno));
  }
  switch (ProbeLock(fd.get())) {
    case LockProbe::Free:
      return {};
    case LockProbe::Unknown:
      return Unproven(lockFile_.string() + ": " + ErrorText(errno));
    case LockProbe::Held:
      break;
  }

  const std::optional<pid_t> pid = RecordedPid(fd.get());
  if (!pid) return Unproven(lockFile_.string() + " にプロセス番号がありません");
  // From here on the process is held by its pidfd: should it end and its id
  // be reused while we look, the signals go nowhere.
  Fd pidfd(PidfdOpen(*pid));
  if (!pidfd.valid()) {
    if (errno == ESRCH) return Unproven(PidText(*pid) + " は動いていません");
    return Unproven(PidText(*pid) + ": " + ErrorText(errno));
  }
  struct stat lock {};
  if (::fstat(fd.get(), &lock) != 0) return Unproven(lockFile_.string() + ": " + ErrorText(errno));
  switch (HoldsFlockOn(*pid, lock)) {
    case FdSearch::Holds:
      break;
    case FdSearch::DoesNotHold:
      return Unproven(PidText(*pid) + " はロックを持っていません");
    case FdSearch::CannotLook:
      return Unproven(PidText(*pid) + " を調べられません");
  }
  if (!WorksIn(*pid, site_)) return Unproven(PidText(*pid) + " は別のフォルダのプログラムです");

  LockInspection result;
  result.state = LockInspection::State::SiteProgram;
  result.holder = std::make_unique<PidfdHolder>(*pid, std::move(pidfd));
  return result;
}

}  // namespace tessik
