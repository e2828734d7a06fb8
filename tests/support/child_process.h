// A program of the system started as a child process by a test: its
// standard output and error are collected, waits are bounded by deadlines,
// and it is killed when the object goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace lw::testing {

// Folder of the built programs: $LW_BIN_DIR when set, else the test
// program's own folder (tests are built beside the programs).
std::filesystem::path BinDir();

// A fresh folder under the system's temporary folder, removed afterwards.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "lw-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  // A file in the folder, as the path text the code under test takes.
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

struct ChildOptions {
  std::filesystem::path workingDir;               // empty: the test's own
  std::map<std::string, std::string> environment;  // added to the test's
};

class ChildProcess {
 public:
  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
               const ChildOptions& options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // Everything it wrote so far (standard output and error together).
  std::string Output() const;
  // Waits until its output contains `text`; false at the deadline or when it
  // has ended without writing it.
  bool WaitForOutput(std::string_view text, std::chrono::milliseconds deadline) const;
  // Waits for it to end; its exit status (128 + signal when killed), or
  // nullopt at the deadline.
  std::optional<int> WaitForExit(std::chrono::milliseconds deadline);
  void Signal(int signal) const;
  // SIGKILL and reap.
  void Kill();

 private:
  void ReadLoop();
  pid_t pid_ = -1;
  int outFd_ = -1;
  std::optional<int> status_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::string output_;
  bool eof_ = false;
  std::thread reader_;
};

// Polls `condition` until it holds or the deadline passes, running `poll`
// (for example processing Qt events) in between.
template <typename Condition, typename Poll>
bool WaitUntil(Condition condition, Poll poll, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    poll();
  }
  return true;
}

}  // namespace lw::testing
