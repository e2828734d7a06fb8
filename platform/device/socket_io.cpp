#include "socket_io.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::sockio {
namespace {

// Runs `op` on an address for `path`.  A path that does not fit sun_path is
// addressed relative to an open descriptor of its folder through procfs,
// which keeps deep temporary folders (tests) usable.
template <typename Op>
int WithAddress(const std::string& path, Op op) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() < sizeof(addr.sun_path)) {
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return op(addr);
  }
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const std::string folder = slash == 0 ? std::string("/") : path.substr(0, slash);
  const int dirFd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return -1;
  const std::string viaProc = "/proc/self/fd/" + std::to_string(dirFd) + path.substr(slash);
  int rc = -1;
  if (viaProc.size() < sizeof(addr.sun_path)) {
    std::memcpy(addr.sun_path, viaProc.c_str(), viaProc.size() + 1);
    rc = op(addr);
  } else {
    errno = ENAMETOOLONG;
  }
  const int saved = errno;
  ::close(dirFd);
  errno = saved;
  return rc;
}

// Runs `op` on an address for `name` inside the open folder `dirFd`.
template <typename Op>
int WithAddressAt(int dirFd, const std::string& folder, const std::string& name, Op op) {
  if (name.empty() || name.find('/') != std::string::npos) {
    errno = EINVAL;
    return -1;
  }
  if (::access("/proc/self/fd", X_OK) != 0) {
    struct stat held {}, named {};
    if (::fstat(dirFd, &held) != 0 || ::stat(folder.c_str(), &named) != 0 || held.st_dev != named.st_dev ||
        held.st_ino != named.st_ino) {
      errno = ESTALE;  // the path no longer leads to the checked folder
      return -1;
    }
    return WithAddress(folder + "/" + name, op);
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string viaProc = "/proc/self/fd/" + std::to_string(dirFd) + "/" + name;
  if (viaProc.size() >= sizeof(addr.sun_path)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(addr.sun_path, viaProc.c_str(), viaProc.size() + 1);
  return op(addr);
}

int Connect(int fd, const sockaddr_un& a) {
  int r;
  do {
    r = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
  } while (r < 0 && errno == EINTR);
  return r;
}

// Creates a socket and runs `use` on it; the descriptor, or -1 with errno.
template <typename Use>
int NewSocket(Use use) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (use(fd) < 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

int Listen(int fd, const sockaddr_un& a) {
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) < 0) return -1;
  return ::listen(fd, 16);
}

}  // namespace

int ConnectAt(int dirFd, const std::string& folder, const std::string& name) {
  return NewSocket([&](int fd) { return WithAddressAt(dirFd, folder, name, [fd](const sockaddr_un& a) { return Connect(fd, a); }); });
}

int ListenAt(int dirFd, const std::string& folder, const std::string& name) {
  return NewSocket([&](int fd) { return WithAddressAt(dirFd, folder, name, [fd](const sockaddr_un& a) { return Listen(fd, a); }); });
}

int ConnectUnix(const std::string& path) {
  return NewSocket([&](int fd) { return WithAddress(path, [fd](const sockaddr_un& a) { return Connect(fd, a); }); });
}

int ListenUnix(const std::string& path) {
  return NewSocket([&](int fd) { return WithAddress(path, [fd](const sockaddr_un& a) { return Listen(fd, a); }); });
}

bool SendAll(int fd, std::span<const uint8_t> head, std::span<const uint8_t> tail) {
  iovec iov[2] = {{const_cast<uint8_t*>(head.data()), head.size()},
                  {const_cast<uint8_t*>(tail.data()), tail.size()}};
  int first = 0;
  while (first < 2) {
    if (iov[first].iov_len == 0) {
      ++first;
      continue;
    }
    msghdr msg{};
    msg.msg_iov = &iov[first];
    msg.msg_iovlen = static_cast<size_t>(2 - first);
    const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    size_t left = static_cast<size_t>(n);
    while (left > 0 && first < 2) {
      const size_t take = left < iov[first].iov_len ? left : iov[first].iov_len;
      iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + take;
      iov[first].iov_len -= take;
      left -= take;
      if (iov[first].iov_len == 0) ++first;
    }
  }
  return true;
}

bool SendAll(int fd, std::span<const uint8_t> bytes) { return SendAll(fd, bytes, {}); }

bool RecvAll(int fd, std::span<uint8_t> bytes) {
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::recv(fd, bytes.data() + got, bytes.size() - got, 0);
    if (n == 0) return false;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace platform::sockio
