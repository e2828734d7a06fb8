// What the watchdog needs from the machine: the local time, the time stamp
// of a file and a way to start a program.  The window wires the real ones
// (system.h and the Qt starter); tests inject fixed ones.
#pragma once

#include <optional>
#include <string>

#include "text/numforms.h"

namespace tessik {

using varnel::text::LocalDateTime;

class Clock {
 public:
  virtual ~Clock() = default;
  // The present local date and time.
  virtual LocalDateTime Now() const = 0;
};

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

}  // namespace tessik
