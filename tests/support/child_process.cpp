#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
  // Folders a test made read-only would keep their entries.
  std::error_code ec;
  const auto writable = [&ec](const std::filesystem::path& p) {
    std::filesystem::permissions(p, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  };
  writable(path_);
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) writable(it->path());
  }
  ec.clear();
  std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  if (value != nullptr) {
    setenv(name_.c_str(), value, 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                           const ChildOptions& options) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  int errFds[2] = {-1, -1};
  if (options.separateErrors && pipe2(errFds, O_CLOEXEC) != 0) {
    close(fds[0]);
    close(fds[1]);
    return;
  }
  std::vector<std::string> argStore{program.string()};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    dup2(fds[1], STDOUT_FILENO);
    dup2(options.separateErrors ? errFds[1] : fds[1], STDERR_FILENO);
    setpgid(0, 0);
    if (!options.workingDir.empty() && chdir(options.workingDir.c_str()) != 0) _exit(126);
    for (const auto& [k, v] : options.environment) setenv(k.c_str(), v.c_str(), 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  outFd_ = fds[0];
  if (errFds[1] >= 0) close(errFds[1]);
  errFd_ = errFds[0];
  if (pid_ < 0) return;
  reader_ = std::thread([this] { ReadLoop(outFd_, output_, eof_); });
  if (errFd_ >= 0) errReader_ = std::thread([this] { ReadLoop(errFd_, errors_, errEof_); });
}

ChildProcess::~ChildProcess() {
  Kill();
  if (reader_.joinable()) reader_.join();
  if (errReader_.joinable()) errReader_.join();
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
}

void ChildProcess::ReadLoop(int fd, std::string& into, bool& eof) {
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    std::lock_guard lock(mu_);
    into.append(buf, static_cast<std::size_t>(n));
    cv_.notify_all();
  }
  std::lock_guard lock(mu_);
  eof = true;
  cv_.notify_all();
}

std::string ChildProcess::Output() const {
  std::lock_guard lock(mu_);
  return output_;
}

std::string ChildProcess::Errors() const {
  std::lock_guard lock(mu_);
  return errors_;
}

std::string ChildProcess::FirstLine(std::chrono::milliseconds deadline) const {
  std::unique_lock lock(mu_);
  if (!cv_.wait_for(lock, deadline, [&] { return output_.find('\n') != std::string::npos || eof_; })) return "";
  return output_.substr(0, output_.find('\n'));
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
      // What the child wrote last may still sit in the pipe or in the reader's
      // hands: let the reader take it, so Output() after an exit is complete.
      // Bounded, because a grandchild may keep the pipe open.
      WaitForOutputEnd(std::chrono::seconds(2));
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

bool ChildProcess::WaitForOutputEnd(std::chrono::milliseconds deadline) const {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, deadline, [&] { return eof_ && (errFd_ < 0 || errEof_); });
}

std::optional<int> ChildProcess::Terminate(int signal, std::chrono::milliseconds deadline) {
  Signal(signal);
  return WaitForExit(deadline);
}

void ChildProcess::Kill() {
  if (pid_ <= 0 || status_) return;
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  WaitForExit(std::chrono::seconds(10));
}

std::optional<std::filesystem::path> FindProgram(std::string_view name) {
  const char* path = std::getenv("PATH");
  const std::string all = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= all.size();) {
    const std::size_t colon = std::min(all.find(':', start), all.size());
    const std::filesystem::path candidate = std::filesystem::path(all.substr(start, colon - start)) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = colon + 1;
  }
  return std::nullopt;
}

ProgramRun RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                      const ChildOptions& options, std::chrono::milliseconds deadline) {
  ProgramRun run;
  ChildProcess child(program, args, options);
  if (!child.Started()) return run;
  const std::optional<int> status = child.WaitForExit(deadline);
  child.Kill();
  child.WaitForOutputEnd(std::chrono::seconds(10));
  if (status && *status < 128) run.status = *status;
  run.output = child.Output();
  run.errors = child.Errors();
  return run;
}

}  // namespace lw::testing
