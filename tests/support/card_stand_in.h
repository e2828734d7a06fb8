// The card stand-in qda7100-sim as a child process of a test, serving a
// device folder, bounded in time:
//
//   lw::testing::CardStandIn sim;
//   ASSERT_TRUE(sim.Start(folder, {"--type", "2", "--instant"})) << sim.Error();
//   ... open sim.DevicePath() ...
//   EXPECT_TRUE(sim.Terminate());   // SIGTERM; the stand-in removes its endpoint
//
// The test target depends on qda7100-sim so that it is built first; the
// program is found in BinDir().
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"

namespace lw::testing {

class CardStandIn {
 public:
  CardStandIn() = default;
  // Starts at once in a private folder of its own; Ready() says whether it
  // serves.
  explicit CardStandIn(const std::vector<std::string>& args,
                       std::chrono::milliseconds readyDeadline = std::chrono::seconds(10));
  // SIGTERM, a bounded wait for a clean end, then SIGKILL.
  ~CardStandIn();
  CardStandIn(const CardStandIn&) = delete;
  CardStandIn& operator=(const CardStandIn&) = delete;

  // Starts the program serving `deviceFolder` and waits for its ready line.
  bool Start(const std::filesystem::path& deviceFolder, const std::vector<std::string>& args,
             std::chrono::milliseconds readyDeadline = std::chrono::seconds(10));

  bool Ready() const { return !devicePath_.empty(); }
  const std::string& Folder() const { return folder_; }
  // The device it serves, from its ready line.
  const std::string& DevicePath() const { return devicePath_; }
  // Why it is not ready.
  const std::string& Error() const { return error_; }
  pid_t Pid() const { return process_ ? process_->Pid() : -1; }
  // Exit status (or 128 + signal) once it has ended, else -1.
  int ExitCode() const { return exitCode_; }
  // Everything it wrote to its standard output and error so far.
  std::string Output() const { return process_ ? process_->Output() : std::string(); }
  bool WaitForOutput(std::string_view text, std::chrono::milliseconds deadline) const {
    return process_ && process_->WaitForOutput(text, deadline);
  }

  // Sends `signal` and waits for it to end; false at the deadline.
  bool Terminate(int signal = SIGTERM, std::chrono::milliseconds deadline = std::chrono::seconds(10));
  // Waits for it to end by itself; false at the deadline.
  bool WaitExit(std::chrono::milliseconds deadline = std::chrono::seconds(10));
  // Ends it at once (SIGKILL) and reaps it.
  void Kill();

 private:
  bool Fail(std::string why);

  std::optional<TempDir> ownFolder_;
  std::string folder_;
  std::string devicePath_;
  std::string error_;
  int exitCode_ = -1;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace lw::testing
