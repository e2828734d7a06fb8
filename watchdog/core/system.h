// The machine's own file times (its clock is platform::SystemClock).
#pragma once

#include "ports.h"

namespace tessik {

// Last-modified times of files, in local time to the millisecond.
class SystemFileTimes : public FileTimes {
 public:
  std::optional<LocalDateTime> LastModified(const std::string& path) const override;
};

}  // namespace tessik
