// The 10-second limit of the test requests, against a stand-in that never
// completes them.  Takes 2 x 10 s of real time: the limit itself.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

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

}  // namespace
}  // namespace morlex_test
