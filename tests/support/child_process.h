// Temporary folders, the built programs, and a program of the system
// started as a child process by a test: its standard output and error are
// collected, waits are bounded by deadlines, and it is killed when the
// object goes away.
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

// A fresh folder under the system's temporary folder, removed afterwards
// with everything in it, also what a test made unwritable.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "lw-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  // A file in the folder, as the path text the code under test takes.
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Sets (or, with nullptr, removes) an environment variable of the test
// process for one scope, restoring what was there before.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

struct ChildOptions {
  std::filesystem::path workingDir;               // empty: the test's own
  std::map<std::string, std::string> environment;  // added to the test's
  // Standard error kept apart (Errors()) instead of mixed into Output().
  bool separateErrors = false;
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
  // Everything it wrote so far (standard output and error together, unless
  // the options keep its errors apart).
  std::string Output() const;
  // With separateErrors: what it wrote to standard error so far.
  std::string Errors() const;
  // Waits until its output contains `text`; false at the deadline or when it
  // has ended without writing it.
  bool WaitForOutput(std::string_view text, std::chrono::milliseconds deadline) const;
  // Waits until it (and whatever it started) closed its output, so that
  // Output() and Errors() are complete; false at the deadline.
  bool WaitForOutputEnd(std::chrono::milliseconds deadline) const;
  // Its first line of output without the line end, once it is complete (or
  // what it wrote before it ended); empty at the deadline.
  std::string FirstLine(std::chrono::milliseconds deadline) const;
  // Waits for it to end; its exit status (128 + signal when killed), or
  // nullopt at the deadline.  Once it has ended, its output is read to the
  // end (up to 2 s more while something it started keeps the pipe open).
  std::optional<int> WaitForExit(std::chrono::milliseconds deadline);
  void Signal(int signal) const;
  // Sends `signal` and waits for it to end, as WaitForExit.
  std::optional<int> Terminate(int signal, std::chrono::milliseconds deadline);
  // SIGKILL and reap.
  void Kill();

 private:
  void ReadLoop(int fd, std::string& into, bool& eof);
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::optional<int> status_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::string output_;
  std::string errors_;
  bool eof_ = false;
  bool errEof_ = false;
  std::thread reader_;
  std::thread errReader_;
};

// An installed program found on the PATH (curl, openssl, ...); nullopt
// when there is none.
std::optional<std::filesystem::path> FindProgram(std::string_view name);

// A program run to its end: its exit status (-1 when it could not start,
// was killed by a signal or overran the deadline and was killed) and what
// it wrote.
struct ProgramRun {
  int status = -1;
  std::string output;  // standard output (and error, unless kept apart)
  std::string errors;  // with separateErrors: standard error
};
ProgramRun RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                      const ChildOptions& options = {},
                      std::chrono::milliseconds deadline = std::chrono::seconds(60));

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

// Polls `condition` every few milliseconds until it holds or the deadline
// passes; the result says which.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  return WaitUntil(condition, [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }, deadline);
}

}  // namespace lw::testing
