// Helpers shared by the device-layer tests: private temporary folders as
// path texts, stale endpoints, guarded output areas and file modes.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "../socket_io.h"  // found beside this header, also from other folders' tests

namespace devtest {

// A private temporary folder, named by the path text the device layer takes.
class TempFolder : public lw::testing::TempDir {
 public:
  TempFolder() : TempDir("devtest"), text_(TempDir::Path().string()) {}
  const std::string& Path() const { return text_; }

 private:
  std::string text_;
};

using lw::testing::WaitUntil;
using EnvVar = lw::testing::ScopedEnv;

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
