#include "system.h"

#include <sys/stat.h>

namespace tessik {

std::optional<LocalDateTime> SystemFileTimes::LastModified(const std::string& path) const {
  struct stat st {};
  // stat follows a symbolic link to the data file it names, as the data file
  // path may be a link into an archive folder.
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return platform::ToLocal(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

}  // namespace tessik
