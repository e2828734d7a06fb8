// The site's lock as the kernel sees it: who holds "Varnel.lock" in the
// site folder, and whether that holder is provably a program of this site.
//
// A process is only ever signalled when all of this holds at the moment of
// looking: the lock is held (a non-blocking flock of our own fails), the
// lock file names a process id, that process is alive, one of its open files
// is this very lock file (same device and inode) and holds an exclusive
// flock on it (/proc/PID/fdinfo), and its working directory is this site
// folder.  The process is then referred to by a pidfd, so that a process id
// reused after the holder ended is never signalled.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "ports.h"

namespace tessik {

class ProcSiteLock : public SiteLock {
 public:
  // `siteFolder`: the folder whose "Varnel.lock" is watched (the watchdog's
  // working directory).
  explicit ProcSiteLock(std::filesystem::path siteFolder);

  LockInspection Inspect() override;
  bool Held() override;
  std::string LockFile() const override;

 private:
  std::filesystem::path site_;
  std::filesystem::path lockFile_;
};

// Whether the text of /proc/PID/fdinfo/FD shows an exclusive flock held
// through that open file ("lock:\t1: FLOCK  ADVISORY  WRITE ...").
bool FdInfoShowsExclusiveFlock(std::string_view fdinfo);

}  // namespace tessik
