// What the watchdog needs from the machine: the local time, the time stamp
// of a file, a way to start a program and a way to end the program that
// still holds the site's lock.  The window wires the real ones (system.h,
// site_lock.h and the Qt starter); tests inject fixed ones.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "text/numforms.h"

namespace tessik {

using varnel::text::LocalDateTime;

// The machine's clock (platform/clock.h).
using Clock = platform::Clock;

class FileTimes {
 public:
  virtual ~FileTimes() = default;
  // Last-modified local time of the file at `path`; nullopt when there is no
  // such file (or it cannot be examined).
  virtual std::optional<LocalDateTime> LastModified(const std::string& path) const = 0;
};

struct StartResult {
  bool started = false;
  std::string reason;  // why the start failed; empty on success
};

class ProcessStarter {
 public:
  virtual ~ProcessStarter() = default;
  // Starts `program` as a new, independent process in the watchdog's own
  // working directory.  Never throws; a failure comes back with its reason.
  virtual StartResult Start(const std::string& program) = 0;
};

// A running program that holds the site's lock and is proven to be a
// program of this site folder.  The handle keeps referring to that very
// process: once it has ended, a new process with the same id is never
// signalled through it.
class LockHolder {
 public:
  virtual ~LockHolder() = default;
  virtual int Pid() const = 0;
  // Asks the program to end (SIGTERM, and SIGCONT so that a stopped program
  // sees it).  False with the reason when no signal could be sent.
  virtual bool Terminate(std::string& why) = 0;
  // Ends the program (SIGKILL).  False with the reason when it could not.
  virtual bool Kill(std::string& why) = 0;
};

// Who holds the site's lock ("Varnel.lock" in the site folder).
struct LockInspection {
  enum class State {
    Free,         // nobody holds it: a new program can start
    SiteProgram,  // a program of this site holds it: `holder`
    Unproven,     // held, but the holder cannot be shown to be ours: `why`
  };
  State state = State::Free;
  std::unique_ptr<LockHolder> holder;
  std::string why;
};

class SiteLock {
 public:
  virtual ~SiteLock() = default;
  // Looks at the lock right now.  Only a holder proven to be a program of
  // this site comes back as one that may be ended.
  virtual LockInspection Inspect() = 0;
  // Whether any process holds the lock right now.
  virtual bool Held() = 0;
  // The lock file, whose modification time is the holder's last sign of
  // life.
  virtual std::string LockFile() const = 0;
};

}  // namespace tessik
