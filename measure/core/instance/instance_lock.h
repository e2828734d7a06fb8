// One measurement program per site folder.
//
// The watchdog starts a new measurement program whenever the data file goes
// stale, also when the old one is still alive but stuck.  Two programs in one
// site folder would fight over the card, the serial port and the result
// files, so the program takes an exclusive lock on "Varnel.lock" in its
// working directory before it touches any of them.  The lock is an flock on
// an open file: the kernel drops it when the holder exits or is killed, so a
// crashed program never blocks its restart, and no stale lock file needs
// cleaning up.  The holder's process id is written into the file for people
// looking at a stuck site and for the watchdog.
//
// The holder also marks the lock file as alive: its event loop sets the
// file's modification time at least every kAliveMarkPeriod.  A program that
// is stopped, deadlocked or stuck in a request stops marking, and the
// watchdog ends only such a holder.  A healthy program between its start and
// its first record, or one with a data-save interval longer than the
// watchdog's restart time, keeps marking and is left alone.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

namespace varnel::instance {

// Lock file name, in the site folder (the working directory).
inline constexpr const char* kLockFileName = "Varnel.lock";

// Exit status of a program that ends because another instance runs in its
// site folder; distinct from 0 (normal end) and 1 (fatal set-up error).
inline constexpr int kExitAnotherInstance = 3;

// How often a running program marks its lock file as alive.
inline constexpr std::chrono::seconds kAliveMarkPeriod{10};
// A holder whose lock file has not been marked for longer than this is not
// answering.  Far above the longest time a healthy event loop is busy (one
// acquisition waits at most about a minute, with an external start trigger).
inline constexpr double kHungAfterSilentMinutes = 2.0;

class InstanceLock {
 public:
  enum class State {
    Held,     // this object holds the lock
    Busy,     // another open file (normally another process) holds it
    Failed,   // the lock file could not be opened or locked
  };

  // Tries once to take the lock on `lockFile`, creating the file when
  // missing.  Never blocks.
  static InstanceLock TryAcquire(const std::filesystem::path& lockFile);
  // The same on "Varnel.lock" in `siteFolder` (the working directory).
  static InstanceLock TryAcquireIn(const std::filesystem::path& siteFolder) {
    return TryAcquire(siteFolder / kLockFileName);
  }

  InstanceLock(InstanceLock&& other) noexcept;
  InstanceLock& operator=(InstanceLock&& other) noexcept;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  // Releases the lock (closing the file drops it).  The file stays.
  ~InstanceLock();

  // Marks the lock file as alive now (its modification time).  False when
  // the mark cannot be set (the lock is not held, or the file is another
  // user's).
  bool MarkAlive() const;

  State state() const { return state_; }
  bool held() const { return state_ == State::Held; }
  // Busy: the process id the holder recorded, when the file names one.
  std::optional<pid_t> holderPid() const { return holderPid_; }
  // Failed: what went wrong (system error text).
  const std::string& error() const { return error_; }

  // A one-line text for the operator: why this program does not run, or
  // why the lock could not be taken.  Empty when held.
  std::string Describe() const;

 private:
  InstanceLock() = default;
  void Release() noexcept;

  int fd_ = -1;
  State state_ = State::Failed;
  std::optional<pid_t> holderPid_;
  std::string path_;
  std::string error_;
};

// Process id recorded in a lock file's text ("1234\n"); nullopt when the
// text does not begin with a positive decimal number.
std::optional<pid_t> ParseHolderPid(const std::string& text);

}  // namespace varnel::instance
