#include "store/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>

namespace varnel::store {

void IgnoreFileSizeSignal() {
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGXFSZ, SIG_IGN); });
}

std::size_t WriteAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return done;
    }
    if (n == 0) {  // no progress and no error: treat as a full device
      errno = ENOSPC;
      return done;
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::string ErrnoText(int err) {
  char buf[256];
  // GNU strerror_r returns the message pointer (may not use buf).
  const char* msg = ::strerror_r(err, buf, sizeof buf);
  return msg != nullptr ? std::string(msg) : std::string("error ") + std::to_string(err);
}

bool ReadWholeFile(const std::string& path, std::string* out, std::string* whyNot) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (whyNot) *whyNot = "cannot open " + path + ": " + ErrnoText(errno);
    return false;
  }
  out->clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (whyNot) *whyNot = "cannot read " + path + ": " + ErrnoText(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out->append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

namespace {

// A name beside `path` that no other writer in this or another process uses.
std::string TemporaryNameFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

}  // namespace

bool ReplaceFile(const std::string& path, std::string_view bytes, std::string* whyNot) {
  IgnoreFileSizeSignal();
  const std::string temp = TemporaryNameFor(path);
  // 0666 before the umask, as any other file the program creates.
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (whyNot) *whyNot = "cannot create " + temp + ": " + ErrnoText(errno);
    return false;
  }
  bool ok = WriteAll(fd, bytes) == bytes.size();
  int err = ok ? 0 : errno;
  // Synced before the rename, so that after a power loss the name holds
  // either the old content or the whole new one.
  if (ok && ::fsync(fd) != 0) {
    ok = false;
    err = errno;
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    if (whyNot) *whyNot = "cannot write " + path + ": " + ErrnoText(err);
  }
  return ok;
}

}  // namespace varnel::store
