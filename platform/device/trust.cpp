#include "trust.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform::trust {
namespace {

std::string Octal(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777u);
  return text;
}

}  // namespace

int OpenFolder(const std::string& folder, std::string& problem) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) return fd;
  const int saved = errno;
  struct stat st {};
  if ((saved == ENOTDIR || saved == ELOOP) && ::lstat(folder.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    problem = "it is a symbolic link";
  } else if (saved == ENOTDIR) {
    problem = "it is not a folder";
  } else {
    problem = std::strerror(saved);
  }
  errno = saved;
  return -1;
}

std::string FolderProblem(const struct stat& st, bool rootToo) {
  const uid_t me = ::geteuid();
  if (!S_ISDIR(st.st_mode)) return "it is not a folder";
  if (st.st_uid != me && !(rootToo && st.st_uid == 0)) {
    return "it belongs to uid " + std::to_string(st.st_uid) + ", not to this user (uid " + std::to_string(me) +
           ")" + (rootToo ? " or root" : "");
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "group or others can write to it (mode " + Octal(st.st_mode) + "); make it private (chmod 700) or remove it";
  }
  return {};
}

std::string PeerProblem(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
    return std::string("cannot learn who serves it: ") + std::strerror(errno);
  }
  const uid_t me = ::geteuid();
  if (cred.uid == me || cred.uid == 0) return {};
  return "it is served by uid " + std::to_string(cred.uid) + " (process " + std::to_string(cred.pid) +
         "), neither this user (uid " + std::to_string(me) + ") nor root";
}

void ReportRefusal(const std::string& what, const std::string& problem) {
  std::fprintf(stderr, "device layer: not using %s: %s\n", what.c_str(), problem.c_str());
  std::fflush(stderr);
}

}  // namespace platform::trust
