// The time limits of the library's waits on the driver, against a stand-in
// that never completes the requests: the 10-second limit of the test
// requests, and the limits of the acquisitions on a card that hangs.  Takes
// about 40 s of real time: the limits themselves.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "harness.h"
#include "platform/winmsg.h"

namespace morlex_test {
namespace {

using namespace std::chrono_literals;

TEST(MorlexTestRequests, TimeOutAfterTenSecondsAndAreCancelled) {
  platform::SetMessageBoxHook([](const char*, const char*, uint32_t) {});
  CardSim sim({"--type", "2", "--test-pend", "never"});
  ASSERT_TRUE(sim.Ready()) << sim.Output();
  UseDeviceFolder(sim.Folder());
  auto lib = std::make_unique<Library>();
  ASSERT_TRUE(lib->Loaded()) << lib->Missing();

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(lib->testAdStartPol(), -2);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 10s);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(lib->AdStopOneshotModeThread(), -2);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 10s);
  // The abandoned requests left nothing behind: the device still answers.
  int16_t type = 0, base = 0, irq = 0;
  EXPECT_EQ(lib->AdGetCardResource(0, 0, &type, &base, &irq), 0);
  EXPECT_EQ(type, 2);
  lib.reset();
  platform::SetMessageBoxHook(nullptr);
}

// A card that accepts acquisitions and never completes them: every
// acquisition ends anyway, with one failure notification, and each cancel
// frees the card for the next (a busy card would refuse at once, without
// the start notification).
TEST(MorlexAcquisitionLimits, AHangingCardEndsEveryAcquisition) {
  platform::SetMessageBoxHook([](const char*, const char*, uint32_t) {});
  CardSim sim({"--type", "2", "--hang-after", "1", "--hang-for", "600000"});
  ASSERT_TRUE(sim.Ready()) << sim.Output();
  UseDeviceFolder(sim.Folder());
  auto lib = std::make_unique<Library>();
  ASSERT_TRUE(lib->Loaded()) << lib->Missing();
  NotifyWindow window;
  ASSERT_EQ(lib->AdSetParam(0, 2, 0, 0x300, 5), 0);
  const int16_t list[4] = {0, 1, 2, 3};
  ASSERT_EQ(lib->AdSetChannel(4, list), 4);
  ASSERT_EQ(lib->AdSetFreq(0, 80, 2), 0);
  ASSERT_NE(lib->AdAllocDataMem(0, 1260), 0);
  // 1260 frames at 80 us: twice that is below the 5 s floor.
  EXPECT_EQ(lib->AdStartPolModeThread(window.Handle()), 0);
  EXPECT_EQ(window.Pump(), (std::vector<Note>{{1, 0}, {128, 5040}}));

  // Polling, in the caller's thread: cancelled at the floor, told by -2.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(lib->AdStartPolModeThread(window.Handle()), AD_POL_TIMED_OUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s) << "ended by the limit, not by the card";
  EXPECT_EQ(window.Pump(), (std::vector<Note>{{1, 0}, {128, 5040}, {1, 0}, {8, 0}}));
  EXPECT_TRUE(sim.WaitForOutput("qda7100-sim: hanging for 600000 ms", 5s)) << sim.Output();

  // The interrupt transfer's worker: bounded the same way.
  start = std::chrono::steady_clock::now();
  ASSERT_EQ(lib->AdStartIrqVxdMode(window.Handle(), 0), 0);
  EXPECT_EQ(window.WaitFor(6, 30s).back(), (Note{8, 0}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(window.Notes()[4], (Note{1, 0}));

  // A ring acquisition has no limit of its own; the stop request ends it,
  // here by the library's cancel 5 s after the card ignored it.
  ASSERT_EQ(lib->AdFreeDataMem(), 0);
  ASSERT_EQ(lib->AdAllocRingBuf(0, 1000, 250), 0);
  ASSERT_EQ(lib->AdStartIrqRingMode(window.Handle(), 0), 0);
  ASSERT_EQ(window.WaitFor(7, 10s).back(), (Note{1, 0}));
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(lib->AdStopIrqMode(), 0);
  EXPECT_EQ(window.WaitFor(8, 30s).back(), (Note{8, 0}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 5s);

  // The one-shot conversion: a failed wait, -2.
  std::vector<uint16_t> dest(8, 0xBEEF);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(lib->AdOneShot(0, reinterpret_cast<MorlexAddr>(dest.data())), -2);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(dest, std::vector<uint16_t>(8, 0xBEEF));
  window.WaitFor(9, 300ms);
  EXPECT_EQ(window.Notes().size(), 8u) << "one final notification per acquisition";
  lib.reset();
  platform::SetMessageBoxHook(nullptr);
}

}  // namespace
}  // namespace morlex_test
