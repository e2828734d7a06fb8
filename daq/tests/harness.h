// Test harness: the card stand-in as a real process, and the library loaded
// fresh with dlopen so that its load runs against that stand-in's folder.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "morlex.h"
#include "morlex/driver.h"

namespace morlex_test {

// Folder of the built programs and libraries (beside the test program).
std::string BinDir();

// A fresh private folder under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// One qda7100-sim process serving a private device folder.
class CardSim {
 public:
  explicit CardSim(std::vector<std::string> args, std::chrono::milliseconds readyDeadline = std::chrono::seconds(10));
  ~CardSim();
  CardSim(const CardSim&) = delete;
  CardSim& operator=(const CardSim&) = delete;

  bool Ready() const { return ready_; }
  const std::string& Folder() const { return folder_.Path(); }
  // Everything the process wrote to stdout and stderr so far.
  std::string Output() const;
  // Waits until `text` appears in the output; false at the deadline.
  bool WaitForOutput(std::string_view text, std::chrono::milliseconds deadline) const;
  // Ends the process at once (SIGKILL) and reaps it.
  void Kill();

 private:
  void ReadLoop();

  TempDir folder_;
  int pid_ = -1;
  int outFd_ = -1;
  bool ready_ = false;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::string output_;
  bool eof_ = false;
  std::thread reader_;
};

// Runs a program to its end (bounded by `deadline`, then killed) with
// QDA7100_DEVICE_DIR set to `deviceFolder`; its exit status (-1 when killed
// or not started) and everything it printed.
struct RunResult {
  int exitStatus = -1;
  std::string output;
};
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& deviceFolder, std::chrono::milliseconds deadline);

// Sets QDA7100_DEVICE_DIR for the library loads of this process.
void UseDeviceFolder(const std::string& folder);

// libMorlex.so, opened fresh: every export resolved by name.
#define MORLEX_TEST_EXPORTS(X)                                                                                   \
  X(AdGetCardResource) X(AdSetParam) X(AdSetParamAuto) X(AdSetOneParam) X(AdSetChannel) X(AdSetTrigger)        \
  X(AdSetFreq) X(AdSetInternalClock) X(AdSetExternalClock) X(AdSetDataCount) X(AdSetLimitTrg)                 \
  X(AdAllocDataMem) X(AdFreeDataMem) X(AdAllocMem) X(AdFreeMem) X(VbMemCopy) X(AdStartPolModeThread)          \
  X(AdStartIrqVxdMode) X(AdStopIrqMode) X(AdAllocRingBuf) X(AdFreeRingBuf) X(AdStartIrqRingMode)              \
  X(GetRingBufNum) X(AdGetRingBuf) X(VbGetRingBuf) X(AdGetRingBufConst) X(VbGetRingBufConst)                  \
  X(AdAllocTrgBuf) X(AdFreeTrgBuf) X(AdStartLimitTrgMode) X(AdReStartLimitTrgMode) X(AdStopLimitTrgMode)      \
  X(AdGetTrgData) X(AdOneShot) X(AdStopOneshotModeThread) X(testAdStartPol) X(testAdStopPol)                  \
  X(AdCreateSystemThread) X(AdGetParamBlock)

class Library {
 public:
  Library();
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // True when the library and every export were found.
  bool Loaded() const { return handle_ != nullptr && missing_.empty(); }
  const std::string& Missing() const { return missing_; }
  void* Handle() const { return handle_; }

  morlex::AdParamBlock Block() const;

#define MORLEX_TEST_MEMBER(name) decltype(&::name) name = nullptr;
  MORLEX_TEST_EXPORTS(MORLEX_TEST_MEMBER)
#undef MORLEX_TEST_MEMBER
  MorlexAdSetXXXFn AdSetXXX = nullptr;      // _AdSetXXX@8
  MorlexAdStartIrqFn AdStartIrq = nullptr;  // _AdStartIrq@8

 private:
  void* handle_ = nullptr;
  std::string missing_;
};

// True while libMorlex.so is still mapped into this process.
bool LibraryStillMapped();

// A message window on the calling thread that records AD_NOTIFY_MSG.
struct Note {
  uint16_t status;
  int32_t value;
  bool operator==(const Note&) const = default;
};

class NotifyWindow {
 public:
  NotifyWindow();
  ~NotifyWindow();
  NotifyWindow(const NotifyWindow&) = delete;
  NotifyWindow& operator=(const NotifyWindow&) = delete;

  MorlexAddr Handle() const { return static_cast<MorlexAddr>(hwnd_); }
  // Delivers what is queued now.
  const std::vector<Note>& Pump();
  // Pumps until `count` notes arrived or the deadline passes.
  const std::vector<Note>& WaitFor(size_t count, std::chrono::milliseconds deadline);
  const std::vector<Note>& Notes() const { return notes_; }

 private:
  uint32_t hwnd_ = 0;
  std::vector<Note> notes_;
};

// Channel list helper.
std::vector<int16_t> Channels(std::initializer_list<int16_t> list);

}  // namespace morlex_test
