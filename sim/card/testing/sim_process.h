// Starts qda7100-sim as a child process for tests, bounded in time.
//
//   cardsim::testing::SimProcess sim;
//   ASSERT_TRUE(sim.Start(folder, {"--type", "2", "--instant"})) << sim.Error();
//   ... open sim.DevicePath() ...
//   EXPECT_TRUE(sim.Terminate());   // SIGTERM; the sim removes its endpoint
//
// Link the CMake target qda7100_sim_process and add a dependency on the
// qda7100-sim target so the program is built before the test runs.  The
// program is $QDA7100_SIM when set, else $LW_BIN_DIR/qda7100-sim, else the
// path of the build that compiled the test.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace cardsim::testing {

class SimProcess {
 public:
  SimProcess() = default;
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;
  ~SimProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      int st = 0;
      ::waitpid(pid_, &st, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  static std::string Binary() {
    if (const char* p = std::getenv("QDA7100_SIM"); p != nullptr && *p != '\0') return p;
    if (const char* d = std::getenv("LW_BIN_DIR"); d != nullptr && *d != '\0') return std::string(d) + "/qda7100-sim";
#ifdef QDA7100_SIM_PATH
    return QDA7100_SIM_PATH;
#else
    return "qda7100-sim";
#endif
  }

  // Starts the program serving `deviceDir` and waits for its ready line.
  bool Start(const std::string& deviceDir, const std::vector<std::string>& args,
             std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return Fail("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    const std::string binary = Binary();
    std::vector<std::string> argStore{binary};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e)
      if (std::string(*e).rfind("QDA7100_DEVICE_DIR=", 0) != 0) envStore.emplace_back(*e);
    envStore.push_back("QDA7100_DEVICE_DIR=" + deviceDir);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    out_ = pipeFds[0];
    if (rc != 0) {
      pid_ = -1;
      return Fail("cannot start " + binary);
    }
    return WaitReady(limit);
  }

  const std::string& DevicePath() const { return path_; }
  pid_t Pid() const { return pid_; }
  const std::string& Error() const { return error_; }
  // Exit status (or 128 + signal) once the process has ended.
  int ExitCode() const { return exitCode_; }

  // Sends `sig` and waits for the process to end.
  bool Terminate(int sig = SIGTERM, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    if (pid_ <= 0) return false;
    if (!exited_) ::kill(pid_, sig);
    return WaitExit(limit);
  }

  // Waits for the process to end by itself.
  bool WaitExit(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    if (pid_ <= 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!exited_) {
      int st = 0;
      const pid_t r = ::waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        exitCode_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

 private:
  bool Fail(std::string why) {
    error_ = std::move(why);
    return false;
  }

  bool WaitReady(std::chrono::milliseconds limit) {
    const std::string prefix = "qda7100-sim: serving ";
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string text;
    for (;;) {
      const auto nl = text.find('\n');
      if (nl != std::string::npos) {
        const std::string line = text.substr(0, nl);
        if (line.rfind(prefix, 0) != 0) return Fail("unexpected output: " + line);
        path_ = line.substr(prefix.size());
        return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return Fail("no ready line within the time limit");
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) {
        WaitExit(std::chrono::seconds(2));
        return Fail("qda7100-sim ended before it was ready (exit " + std::to_string(exitCode_) + ")");
      }
      text.append(buf, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  bool exited_ = false;
  int exitCode_ = -1;
  std::string path_;
  std::string error_;
};

}  // namespace cardsim::testing
