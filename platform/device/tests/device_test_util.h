// Helpers shared by the device-layer tests: private temporary folders and
// bounded waits.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../socket_io.h"  // found beside this header, also from other folders' tests

namespace devtest {

class TempFolder {
 public:
  TempFolder() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "devtest-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Polls `done` until it holds or the deadline passes; the result says which.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Sets (or with nullptr unsets) an environment variable for one scope.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
  }
  ~EnvVar() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Leaves a socket entry at `path` that nobody serves (a stale endpoint).
inline void MakeSocket(const std::string& path) {
  const int fd = platform::sockio::ListenUnix(path);
  ASSERT_GE(fd, 0) << path;
  ::close(fd);
}

// An output area with guard bytes on both sides, to prove that nothing is
// written outside [Out(), Out() + size).
class Guarded {
 public:
  explicit Guarded(size_t size) : size_(size), bytes_(size + 2 * kGuard, kFill) {}
  uint8_t* Out() { return bytes_.data() + kGuard; }
  uint32_t Size() const { return static_cast<uint32_t>(size_); }
  bool GuardsIntact() const { return UntouchedFrom(size_); }
  bool Untouched() const { return UntouchedFrom(0); }
  // Nothing written before the area nor at or after Out() + `written`.
  bool UntouchedFrom(size_t written) const {
    for (size_t i = 0; i < bytes_.size(); ++i) {
      const bool inside = i >= kGuard && i < kGuard + written;
      if (!inside && bytes_[i] != kFill) return false;
    }
    return true;
  }

 private:
  static constexpr size_t kGuard = 64;
  static constexpr uint8_t kFill = 0xA5;
  size_t size_;
  std::vector<uint8_t> bytes_;
};

inline unsigned ModeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0xFFFFFFFFu;
  return st.st_mode & 07777;
}

}  // namespace devtest
