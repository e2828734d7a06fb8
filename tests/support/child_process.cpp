#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace lw::testing {

std::filesystem::path BinDir() {
  if (const char* dir = std::getenv("LW_BIN_DIR"); dir != nullptr && *dir != '\0') return dir;
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

TempDir::TempDir(std::string_view prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                           const ChildOptions& options) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  std::vector<std::string> argStore{program.string()};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    setpgid(0, 0);
    if (!options.workingDir.empty() && chdir(options.workingDir.c_str()) != 0) _exit(126);
    for (const auto& [k, v] : options.environment) setenv(k.c_str(), v.c_str(), 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  outFd_ = fds[0];
  if (pid_ < 0) return;
  reader_ = std::thread([this] { ReadLoop(); });
}

ChildProcess::~ChildProcess() {
  Kill();
  if (reader_.joinable()) reader_.join();
  if (outFd_ >= 0) close(outFd_);
}

void ChildProcess::ReadLoop() {
  char buf[4096];
  for (;;) {
    const ssize_t n = read(outFd_, buf, sizeof buf);
    if (n <= 0) break;
    std::lock_guard lock(mu_);
    output_.append(buf, static_cast<std::size_t>(n));
    cv_.notify_all();
  }
  std::lock_guard lock(mu_);
  eof_ = true;
  cv_.notify_all();
}

std::string ChildProcess::Output() const {
  std::lock_guard lock(mu_);
  return output_;
}

bool ChildProcess::WaitForOutput(std::string_view text, std::chrono::milliseconds deadline) const {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, deadline, [&] { return output_.find(text) != std::string::npos || eof_; }) &&
         output_.find(text) != std::string::npos;
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds deadline) {
  if (status_ || pid_ <= 0) return status_;
  const auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    int raw = 0;
    const pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      return status_;
    }
    if (std::chrono::steady_clock::now() > end) return std::nullopt;
    // Child exit is observed by polling its end of the output pipe.
    pollfd p{outFd_, 0, 0};
    poll(&p, 1, 20);
  }
}

void ChildProcess::Signal(int signal) const {
  if (pid_ > 0 && !status_) kill(pid_, signal);
}

void ChildProcess::Kill() {
  if (pid_ <= 0 || status_) return;
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  WaitForExit(std::chrono::seconds(10));
}

}  // namespace lw::testing
