// Test harness: the card stand-in as a real process, and the library loaded
// fresh with dlopen so that its load runs against that stand-in's folder.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "card_stand_in.h"
#include "morlex.h"
#include "morlex/driver.h"

namespace morlex_test {

using lw::testing::BinDir;
using lw::testing::RunProgram;
using lw::testing::TempDir;
// One qda7100-sim process serving a private device folder.
using CardSim = lw::testing::CardStandIn;

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
