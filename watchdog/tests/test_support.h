// The shared manual clock, a recording starter, a fake site lock and
// hand-made files for the watchdog tests.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "files.h"
#include "platform/testing/manual_clock.h"
#include "ports.h"

namespace tessik::testing {

using platform::testing::ManualClock;

class RecordingStarter : public ProcessStarter {
 public:
  std::vector<std::string> started;  // every program asked for, also failures
  bool succeed = true;
  std::string failureReason = "No such file or directory";
  StartResult Start(const std::string& program) override {
    started.push_back(program);
    if (!succeed) return {false, failureReason};
    return {true, {}};
  }
};

// The site's lock as a test sets it up.  Records every inspection and every
// signal sent to the holder it hands out.
class FakeSiteLock : public SiteLock {
 public:
  LockInspection::State state = LockInspection::State::Free;
  int pid = 4321;
  std::string lockFile;            // whose time is the holder's last sign of life
  std::string why;                 // Unproven: the reason
  bool held = false;               // what Held() answers
  bool endsOnTerminate = true;     // SIGTERM frees the lock
  bool endsOnKill = true;          // SIGKILL frees the lock
  std::string terminateError;      // non-empty: Terminate fails with it
  int inspections = 0;
  std::vector<std::string> sent;  // "TERM 4321", "KILL 4321"

  LockInspection Inspect() override {
    ++inspections;
    LockInspection found;
    found.state = state;
    found.why = why;
    if (state == LockInspection::State::SiteProgram) found.holder = std::make_unique<Holder>(*this, pid);
    return found;
  }
  bool Held() override { return held; }
  std::string LockFile() const override { return lockFile; }

 private:
  class Holder : public LockHolder {
   public:
    Holder(FakeSiteLock& lock, int pid) : lock_(lock), pid_(pid) {}
    int Pid() const override { return pid_; }
    bool Terminate(std::string& why) override {
      if (!lock_.terminateError.empty()) {
        why = lock_.terminateError;
        return false;
      }
      lock_.sent.push_back("TERM " + std::to_string(pid_));
      if (lock_.endsOnTerminate) lock_.held = false;
      return true;
    }
    bool Kill(std::string&) override {
      lock_.sent.push_back("KILL " + std::to_string(pid_));
      if (lock_.endsOnKill) lock_.held = false;
      return true;
    }

   private:
    FakeSiteLock& lock_;
    int pid_;
  };
};

inline LocalDateTime At(int year, int month, int day, int hour, int minute, int second, int ms = 0) {
  return LocalDateTime{year, month, day, hour, minute, second, ms};
}

using lw::testing::TempDir;
using lw::testing::WriteFile;

// Creates `file` if needed and sets its last-modified time to the local
// date-time `t`.
inline bool SetModified(const std::filesystem::path& file, const LocalDateTime& t) {
  if (!std::filesystem::exists(file)) std::ofstream(file) << "data\n";
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = -1;
  const std::time_t seconds = std::mktime(&tm);
  const timespec times[2] = {{seconds, t.millisecond * 1'000'000L}, {seconds, t.millisecond * 1'000'000L}};
  return ::utimensat(AT_FDCWD, file.c_str(), times, 0) == 0;
}

// The leading part of a settings record written by hand: FreqIndex 0,
// DataInterval 1, WaveInterval 10, GroupCount 4 (16-bit each), ShuntOhm
// 330.0f (0x43A50000), PathLen (16-bit, characters), the path bytes, then the
// rest of the record zero-filled.
inline std::vector<uint8_t> SettingsRecord(int16_t pathLen, const std::vector<uint8_t>& pathBytes) {
  std::vector<uint8_t> b = {0x00, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x04, 0x00, 0x00, 0x00, 0xA5, 0x43};
  b.push_back(static_cast<uint8_t>(pathLen & 0xFF));
  b.push_back(static_cast<uint8_t>((pathLen >> 8) & 0xFF));
  b.insert(b.end(), pathBytes.begin(), pathBytes.end());
  b.resize(b.size() + 90, 0);  // PeakLevel .. ChannelLevels
  return b;
}

}  // namespace tessik::testing
