#include "harness.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/winmsg.h"

extern char** environ;

namespace morlex_test {

std::string BinDir() {
  if (const char* dir = std::getenv("LW_BIN_DIR"); dir != nullptr && *dir != '\0') return dir;
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

TempDir::TempDir() {
  char pattern[] = "/tmp/morlex-test-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  path_ = made != nullptr ? made : "";
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

void UseDeviceFolder(const std::string& folder) { ::setenv("QDA7100_DEVICE_DIR", folder.c_str(), 1); }

// ---------------------------------------------------------------- processes

namespace {

// Starts `program` with stdout and stderr on a pipe; the pid and the pipe's
// read end, or -1.
pid_t Spawn(const std::string& program, std::vector<std::string> args, const std::string& deviceFolder, int& outFd) {
  outFd = -1;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  std::vector<std::string> argStore;
  argStore.push_back(program);
  for (auto& a : args) argStore.push_back(std::move(a));
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStore;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "QDA7100_DEVICE_DIR=", 19) != 0) envStore.emplace_back(*e);
  }
  envStore.push_back("QDA7100_DEVICE_DIR=" + deviceFolder);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return -1;
  }
  outFd = fds[0];
  return pid;
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& deviceFolder, std::chrono::milliseconds deadline) {
  RunResult result;
  int fd = -1;
  const pid_t pid = Spawn(program, args, deviceFolder, fd);
  if (pid < 0) return result;
  const auto end = std::chrono::steady_clock::now() + deadline;
  bool killed = false;
  char chunk[1024];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!killed && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  return result;
}

CardSim::CardSim(std::vector<std::string> args, std::chrono::milliseconds readyDeadline) {
  pid_ = Spawn(BinDir() + "/qda7100-sim", std::move(args), folder_.Path(), outFd_);
  if (pid_ < 0) return;
  reader_ = std::thread([this] { ReadLoop(); });
  ready_ = WaitForOutput("qda7100-sim: serving", readyDeadline);
}

CardSim::~CardSim() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    // Bounded wait for a clean exit, then force it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      ::poll(nullptr, 0, 10);
    }
    pid_ = -1;
  }
  if (reader_.joinable()) reader_.join();
  if (outFd_ >= 0) ::close(outFd_);
}

void CardSim::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

void CardSim::ReadLoop() {
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(outFd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard lock(mu_);
    if (n <= 0) {
      eof_ = true;
      cv_.notify_all();
      return;
    }
    output_.append(chunk, static_cast<size_t>(n));
    cv_.notify_all();
  }
}

std::string CardSim::Output() const {
  std::lock_guard lock(mu_);
  return output_;
}

bool CardSim::WaitForOutput(std::string_view text, std::chrono::milliseconds deadline) const {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, deadline, [&] { return output_.find(text) != std::string::npos || eof_; }) &&
         output_.find(text) != std::string::npos;
}

// ---------------------------------------------------------------- Library

namespace {
std::string LibraryPath() { return BinDir() + "/libMorlex.so"; }
}  // namespace

Library::Library() {
  handle_ = ::dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    missing_ = ::dlerror();
    return;
  }
#define MORLEX_TEST_RESOLVE(name)                                                   \
  name = reinterpret_cast<decltype(name)>(::dlsym(handle_, #name));                 \
  if (name == nullptr) missing_ += " " #name;
  MORLEX_TEST_EXPORTS(MORLEX_TEST_RESOLVE)
#undef MORLEX_TEST_RESOLVE
  AdSetXXX = reinterpret_cast<MorlexAdSetXXXFn>(::dlvsym(handle_, "_AdSetXXX", MORLEX_DECORATED_VERSION));
  if (AdSetXXX == nullptr) missing_ += " _AdSetXXX@8";
  AdStartIrq = reinterpret_cast<MorlexAdStartIrqFn>(::dlvsym(handle_, "_AdStartIrq", MORLEX_DECORATED_VERSION));
  if (AdStartIrq == nullptr) missing_ += " _AdStartIrq@8";
}

Library::~Library() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

morlex::AdParamBlock Library::Block() const {
  morlex::AdParamBlock block{};
  if (AdGetParamBlock != nullptr) AdGetParamBlock(reinterpret_cast<MorlexAddr>(&block), sizeof block);
  return block;
}

bool LibraryStillMapped() {
  void* h = ::dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h == nullptr) return false;
  ::dlclose(h);
  return true;
}

// ---------------------------------------------------------------- NotifyWindow

NotifyWindow::NotifyWindow() {
  hwnd_ = platform::CreateMessageWindow([this](uint32_t msg, uintptr_t wParam, intptr_t lParam) -> intptr_t {
    if (msg == AD_NOTIFY_MSG) notes_.push_back(Note{static_cast<uint16_t>(wParam), static_cast<int32_t>(lParam)});
    return 0;
  });
}

NotifyWindow::~NotifyWindow() { platform::DestroyMessageWindow(hwnd_); }

const std::vector<Note>& NotifyWindow::Pump() {
  platform::PumpMessages();
  return notes_;
}

const std::vector<Note>& NotifyWindow::WaitFor(size_t count, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  platform::PumpMessages();
  while (notes_.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    platform::WaitAndPumpMessages(static_cast<int>(std::min<int64_t>(left.count(), 100)));
  }
  return notes_;
}

std::vector<int16_t> Channels(std::initializer_list<int16_t> list) { return std::vector<int16_t>(list); }

}  // namespace morlex_test
