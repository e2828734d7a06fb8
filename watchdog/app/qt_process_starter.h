// Starts the measurement program as a detached process.
#pragma once

#include "ports.h"

namespace tessik {

// QProcess::startDetached in the watchdog's working directory, so that the
// started program finds the same SETDT.DAT.  A relative program path is
// taken relative to that directory (the site folder) first.
class QtProcessStarter : public ProcessStarter {
 public:
  StartResult Start(const std::string& program) override;
};

}  // namespace tessik
