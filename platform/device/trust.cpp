#include "trust.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace platform::trust {
namespace {

std::string Octal(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777u);
  return text;
}

}  // namespace

namespace {

// Sets `problem` for a component `name` of a folder path that could not be
// opened (errno says why) and keeps errno.
void DescribeOpenFailure(int parentFd, const std::string& name, const std::string& shown, bool last,
                         std::string& problem) {
  const int saved = errno;
  struct stat st {};
  if (::fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    problem = last ? "it is a symbolic link"
                   : shown + " is a symbolic link of uid " + std::to_string(st.st_uid) + ", neither this user nor root";
    errno = ELOOP;
    return;
  }
  if (saved == ENOTDIR) {
    problem = last ? "it is not a folder" : shown + " is not a folder";
  } else {
    problem = (last ? std::string() : shown + ": ") + std::strerror(saved);
  }
  errno = saved;
}

}  // namespace

int OpenFolder(const std::string& folder, bool create, std::string& problem) {
  if (folder.empty()) {
    problem = "no folder named";
    errno = EINVAL;
    return -1;
  }
  std::vector<std::string> names;
  for (size_t at = 0; at < folder.size();) {
    const size_t slash = std::min(folder.find('/', at), folder.size());
    if (slash > at && folder.compare(at, slash - at, ".") != 0) names.push_back(folder.substr(at, slash - at));
    at = slash + 1;
  }
  const bool absolute = folder.front() == '/';
  if (names.empty()) return ::open(absolute ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);

  // Parents are only passed through (O_PATH: search permission is enough).
  int fd = ::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  std::string shown = absolute ? "" : ".";
  for (size_t i = 0; fd >= 0 && i < names.size(); ++i) {
    const std::string& name = names[i];
    const bool last = i + 1 == names.size();
    shown += "/" + name;
    if (create && ::mkdirat(fd, name.c_str(), 0700) != 0 && errno != EEXIST) {
      problem = "cannot create " + shown + ": " + std::strerror(errno);
      const int saved = errno;
      ::close(fd);
      errno = saved;
      return -1;
    }
    const int flags = (last ? O_RDONLY : O_PATH) | O_DIRECTORY | O_CLOEXEC;
    int next = ::openat(fd, name.c_str(), flags | O_NOFOLLOW);
    if (next < 0) {
      DescribeOpenFailure(fd, name, shown, last, problem);
      struct stat st {};
      // A link on the way that this user or root made (as /var/run -> /run)
      // is where the folder is meant to be; one made by anyone else could
      // lead anywhere.  The folder itself is never a link.
      if (errno == ELOOP && !last && ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          (st.st_uid == ::geteuid() || st.st_uid == 0)) {
        next = ::openat(fd, name.c_str(), flags);
        if (next < 0) problem = shown + ": " + std::strerror(errno);
      }
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    fd = next;
  }
  return fd;
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
