// Acquisitions against the real card stand-in: the polling acquisition in
// the caller's thread, the interrupt, ring and limit-trigger workers, the
// driver's buffers and the test requests, with the notifications a window
// on the test thread receives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "platform/winmsg.h"

namespace morlex_test {
namespace {

using namespace std::chrono_literals;

// Long enough for any acquisition these tests start; the tests end as soon
// as what they wait for has arrived.
constexpr auto kDeadline = 20s;

class MorlexAcquisition : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetMessageBoxHook([](const char*, const char*, uint32_t) {});
  }
  void TearDown() override {
    lib.reset();
    sim.reset();
    platform::SetMessageBoxHook(nullptr);
  }

  void Start(std::vector<std::string> args) {
    sim = std::make_unique<CardSim>(std::move(args));
    ASSERT_TRUE(sim->Ready()) << sim->Output();
    UseDeviceFolder(sim->Folder());
    lib = std::make_unique<Library>();
    ASSERT_TRUE(lib->Loaded()) << lib->Missing();
  }

  // The measurement program's set-up on a type 2 card: 4 channels at the
  // given interval, a trigger kind, and a data buffer.
  void SetUpCard(int32_t trigger, int32_t interval, int32_t unit, int32_t channels, int32_t samples) {
    ASSERT_EQ(lib->AdSetParam(0, 2, 0, 0x300, 5), 0);
    const int16_t list[4] = {0, 1, 2, 3};
    ASSERT_EQ(lib->AdSetChannel(channels, list), channels);
    ASSERT_EQ(lib->AdSetTrigger(trigger, 1), 0);
    ASSERT_EQ(lib->AdSetFreq(0, interval, unit), 0);
    if (samples > 0) {
      buffer = lib->AdAllocDataMem(0, samples);
      ASSERT_NE(buffer, 0);
    }
  }

  std::unique_ptr<CardSim> sim;
  std::unique_ptr<Library> lib;
  MorlexAddr buffer = 0;
};

// After the final notification nothing else may follow: give stray posts a
// bounded chance to arrive before checking.
void ExpectNothingMore(NotifyWindow& window, size_t count) {
  window.WaitFor(count + 1, 300ms);
  EXPECT_EQ(window.Notes().size(), count);
}

// ---------------------------------------------------------------- polling

TEST_F(MorlexAcquisition, PollingWithoutABufferReturnsMinusOneAndPostsNothing) {
  Start({"--type", "2"});
  NotifyWindow window;
  SetUpCard(0, 80, 2, 4, 0);
  EXPECT_EQ(lib->AdStartPolModeThread(window.Handle()), -1);
  // Also after the buffer is gone again: its size alone is not a buffer.
  ASSERT_NE(lib->AdAllocDataMem(0, 100), 0);
  ASSERT_EQ(lib->AdFreeDataMem(), 0);
  EXPECT_EQ(lib->AdStartPolModeThread(window.Handle()), -1);
  EXPECT_EQ(lib->AdStartIrqVxdMode(window.Handle(), 0), -1);
  EXPECT_TRUE(window.Pump().empty());
}

TEST_F(MorlexAcquisition, PollingPostsStartThenCompletionAfterTheCallReturns) {
  Start({"--type", "2"});
  NotifyWindow window;
  SetUpCard(0, 80, 2, 4, 1000);
  EXPECT_EQ(lib->AdStartPolModeThread(window.Handle()), 0);
  EXPECT_EQ(window.Pump(), (std::vector<Note>{{1, 0}, {128, 4000}}));
  const auto block = lib->Block();
  EXPECT_EQ(block.mode, 3);
  EXPECT_EQ(block.blockSamples, 8);  // 4 channels in microseconds

  // The samples are 13-bit codes and not all one value.
  std::vector<uint16_t> samples(4000);
  ASSERT_EQ(lib->VbMemCopy(reinterpret_cast<MorlexAddr>(samples.data()), buffer, 8000),
            reinterpret_cast<MorlexAddr>(samples.data()));
  EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [](uint16_t s) { return s < 8192; }));
  EXPECT_NE(*std::min_element(samples.begin(), samples.end()), *std::max_element(samples.begin(), samples.end()));
}

TEST_F(MorlexAcquisition, ExternalStartTriggerIsAnnouncedFirst) {
  Start({"--type", "2"});
  NotifyWindow window;
  SetUpCard(1, 80, 2, 4, 1000);
  EXPECT_EQ(lib->AdStartPolModeThread(window.Handle()), 0);
  EXPECT_EQ(window.Pump(), (std::vector<Note>{{4, 0}, {128, 4000}}));
}

TEST_F(MorlexAcquisition, ExternalStopEndingEarlyIsReportedAs64) {
  Start({"--type", "2", "--end-early", "2500"});
  NotifyWindow window;
  SetUpCard(2, 80, 2, 4, 1000);
  EXPECT_EQ(lib->AdStartPolModeThread(window.Handle()), 0);
  EXPECT_EQ(window.Pump(), (std::vector<Note>{{1, 0}, {64, 2500}}));

  // Without the stop trigger a short acquisition is still a completion.
  ASSERT_EQ(lib->AdSetTrigger(0, 1), 0);
  EXPECT_EQ(lib->AdStartPolModeThread(window.Handle()), 0);
  EXPECT_EQ(window.Pump(), (std::vector<Note>{{1, 0}, {64, 2500}, {1, 0}, {128, 2500}}));
}

TEST_F(MorlexAcquisition, ARequestCompletedAtOnceIsASingleFailure) {
  Start({"--type", "2", "--pol-immediate"});
  NotifyWindow window;
  SetUpCard(0, 80, 2, 4, 1000);
  EXPECT_EQ(lib->AdStartPolModeThread(window.Handle()), 0);
  EXPECT_EQ(window.Pump(), (std::vector<Note>{{8, 0}}));
}

TEST_F(MorlexAcquisition, ADriverExitingMidAcquisitionIsASingleFailure) {
  Start({"--type", "2", "--exit-during-acquisition"});
  NotifyWindow window;
  SetUpCard(0, 80, 2, 4, 1000);
  EXPECT_EQ(lib->AdStartPolModeThread(window.Handle()), 0);
  EXPECT_EQ(window.Pump(), (std::vector<Note>{{1, 0}, {8, 0}}));
  EXPECT_EQ(lib->AdSetTrigger(0, 1), -10);
}

TEST_F(MorlexAcquisition, AnOversizedCompletionIsAFailureWithoutOverrun) {
  Start({"--type", "2", "--oversize-reply", "IOCTL_AD_START_POL"});
  NotifyWindow window;
  SetUpCard(0, 80, 2, 4, 100);
  EXPECT_EQ(lib->AdStartPolModeThread(window.Handle()), 0);
  EXPECT_EQ(window.Pump(), (std::vector<Note>{{1, 0}, {8, 0}}));
}

TEST_F(MorlexAcquisition, BlockSamplesFollowTheTable) {
  Start({"--type", "1", "--instant"});
  NotifyWindow window;
  ASSERT_EQ(lib->AdSetParam(0, 1, 0, 0x300, 5), 0);
  struct Case {
    int32_t channels, interval, unit;
    uint16_t expected;
  };
  const Case cases[] = {{3, 100, 2, 9}, {3, 50, 1, 6}, {3, 200, 1, 3}, {1, 1, 0, 2}, {8, 160, 2, 8}, {5, 99, 1, 5}};
  const int16_t list[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  for (const Case& c : cases) {
    ASSERT_EQ(lib->AdSetChannel(c.channels, list), c.channels);
    ASSERT_EQ(lib->AdSetFreq(0, c.interval, c.unit), 0);
    ASSERT_NE(lib->AdAllocDataMem(0, 2), 0);
    ASSERT_EQ(lib->AdStartPolModeThread(window.Handle()), 0);
    EXPECT_EQ(lib->Block().blockSamples, c.expected) << c.channels << " ch, " << c.interval << " unit " << c.unit;
    ASSERT_EQ(lib->AdFreeDataMem(), 0);
  }
  window.Pump();
}

// ---------------------------------------------------------------- interrupt worker

TEST_F(MorlexAcquisition, InterruptStartChecksTheBlockSize) {
  Start({"--type", "2"});
  NotifyWindow window;
  SetUpCard(0, 80, 2, 4, 1000);
  const uint16_t before = lib->Block().blockSamples;
  EXPECT_EQ(lib->AdStartIrqVxdMode(window.Handle(), 1), -2);
  EXPECT_EQ(lib->AdStartIrq(window.Handle(), 0x10001), -2);  // low 16 bits: 1
  EXPECT_EQ(lib->Block().blockSamples, before);
  EXPECT_TRUE(window.Pump().empty());

  EXPECT_EQ(lib->AdStartIrqVxdMode(window.Handle(), 12), 0);
  EXPECT_EQ(lib->Block().blockSamples, 12);
  EXPECT_EQ(lib->Block().mode, 3);
  EXPECT_EQ(window.WaitFor(2, kDeadline), (std::vector<Note>{{1, 0}, {128, 4000}}));

  EXPECT_EQ(lib->AdStartIrq(window.Handle(), 0), 0);
  EXPECT_EQ(lib->Block().blockSamples, 8);  // table value
  EXPECT_EQ(window.WaitFor(4, kDeadline), (std::vector<Note>{{1, 0}, {128, 4000}, {1, 0}, {128, 4000}}));
}

TEST_F(MorlexAcquisition, AKilledDriverEndsAWorkerWithOneFailure) {
  Start({"--type", "2"});
  NotifyWindow window;
  SetUpCard(0, 10, 1, 4, 1000);  // 10 s of acquisition
  ASSERT_EQ(lib->AdStartIrqVxdMode(window.Handle(), 0), 0);
  ASSERT_EQ(window.WaitFor(1, kDeadline), (std::vector<Note>{{1, 0}}));
  sim->Kill();
  EXPECT_EQ(window.WaitFor(2, kDeadline), (std::vector<Note>{{1, 0}, {8, 0}}));
  ExpectNothingMore(window, 2);
  EXPECT_EQ(lib->AdStartIrqVxdMode(window.Handle(), 0), 0);  // the worker starts and fails at once
  EXPECT_EQ(window.WaitFor(3, kDeadline).back(), (Note{8, 0}));
  ExpectNothingMore(window, 3);
}

TEST_F(MorlexAcquisition, FreeingTheBufferCancelsARunningTransfer) {
  Start({"--type", "2", "--pol-never"});
  NotifyWindow window;
  SetUpCard(0, 80, 2, 4, 1000);
  ASSERT_EQ(lib->AdStartIrqVxdMode(window.Handle(), 0), 0);
  ASSERT_EQ(window.WaitFor(1, kDeadline), (std::vector<Note>{{1, 0}}));
  EXPECT_EQ(lib->AdFreeDataMem(), 0);
  EXPECT_EQ(window.WaitFor(2, kDeadline), (std::vector<Note>{{1, 0}, {8, 0}}));
}

TEST_F(MorlexAcquisition, UnloadWithARunningWorkerEndsIt) {
  Start({"--type", "2", "--pol-never"});
  NotifyWindow window;
  SetUpCard(0, 80, 2, 4, 1000);
  ASSERT_EQ(lib->AdStartIrqVxdMode(window.Handle(), 0), 0);
  ASSERT_EQ(window.WaitFor(1, kDeadline), (std::vector<Note>{{1, 0}}));
  lib.reset();  // joins the worker after cancelling its request
  EXPECT_FALSE(LibraryStillMapped());
  EXPECT_EQ(window.WaitFor(2, kDeadline), (std::vector<Note>{{1, 0}, {8, 0}}));
}

// ---------------------------------------------------------------- ring and trigger buffers

TEST_F(MorlexAcquisition, RingBufferIsHeldOnceUntilReleased) {
  Start({"--type", "2"});
  SetUpCard(0, 80, 2, 4, 0);
  EXPECT_EQ(lib->AdAllocRingBuf(0, 0, 10), -4);
  EXPECT_EQ(lib->AdAllocRingBuf(0, 100, 0), -4);
  EXPECT_EQ(lib->AdAllocRingBuf(0, 1000, 250), 0);
  auto block = lib->Block();
  EXPECT_EQ(block.samplesPerChannel, 250u);
  EXPECT_EQ(block.totalSamples, 1000u);
  EXPECT_EQ(lib->AdAllocRingBuf(0, 1000, 250), -3);
  // The one flag also covers the trigger buffer's start operations.
  NotifyWindow window;
  lib->AdFreeRingBuf();
  EXPECT_EQ(lib->AdStartIrqRingMode(window.Handle(), 0), -1);
  EXPECT_EQ(lib->AdAllocRingBuf(0, 1000, 250), 0);
}

TEST_F(MorlexAcquisition, TriggerBufferCountsAndReallocation) {
  Start({"--type", "2"});
  SetUpCard(0, 80, 2, 4, 0);
  EXPECT_EQ(lib->AdAllocTrgBuf(100, 2, 2, 5, 20), -3);
  EXPECT_EQ(lib->AdAllocTrgBuf(0, 1, 2, 5, 20), -4);
  EXPECT_EQ(lib->AdAllocTrgBuf(100, 1, 2, 5, 20), 500);
  EXPECT_TRUE(sim->WaitForOutput("IOCTL_AD_ALLOC_TRG 100 400", 5s)) << sim->Output();
  // Held: allocating again releases the old one first.
  EXPECT_EQ(lib->AdAllocTrgBuf(100, 0, 4, 1000, 500), 80);
  EXPECT_TRUE(sim->WaitForOutput("IOCTL_AD_ALLOC_TRG 40 20", 5s)) << sim->Output();
  // A refused call keeps the held buffer.
  EXPECT_EQ(lib->AdAllocTrgBuf(0, 0, 4, 1000, 500), -4);
  EXPECT_EQ(lib->AdAllocRingBuf(0, 100, 10), -3);
  lib->AdFreeTrgBuf();
  EXPECT_EQ(lib->AdAllocRingBuf(0, 100, 10), 0);
}

TEST_F(MorlexAcquisition, RingReadWaitsForTheWholeCount) {
  Start({"--type", "2", "--ring-waiting", "99"});
  SetUpCard(0, 80, 2, 4, 0);
  ASSERT_EQ(lib->AdAllocRingBuf(0, 1000, 250), 0);
  EXPECT_EQ(lib->GetRingBufNum(), 99);
  std::vector<uint16_t> dest(120, 0xBEEF);
  const auto addr = reinterpret_cast<MorlexAddr>(dest.data());
  EXPECT_EQ(lib->AdGetRingBufConst(addr, 0, 100), 0);
  EXPECT_EQ(lib->VbGetRingBufConst(addr, 0, 100), 0);
  EXPECT_TRUE(std::all_of(dest.begin(), dest.end(), [](uint16_t v) { return v == 0xBEEF; }));
  EXPECT_EQ(lib->AdGetRingBufConst(addr, 0, 0), 0);

  // 99 samples fit: read at an offset of 10 samples.
  EXPECT_EQ(lib->AdGetRingBufConst(addr, 10, 99), 99);
  EXPECT_TRUE(std::all_of(dest.begin(), dest.begin() + 10, [](uint16_t v) { return v == 0xBEEF; }));
  EXPECT_TRUE(std::all_of(dest.begin() + 10, dest.begin() + 109, [](uint16_t v) { return v < 8192; }));
  EXPECT_TRUE(std::all_of(dest.begin() + 109, dest.end(), [](uint16_t v) { return v == 0xBEEF; }));
  EXPECT_EQ(lib->AdGetRingBuf(0, 0, 10), -10);
}

TEST_F(MorlexAcquisition, StartsNeedTheirBuffer) {
  Start({"--type", "2"});
  NotifyWindow window;
  SetUpCard(0, 80, 2, 4, 0);
  EXPECT_EQ(lib->AdStartIrqRingMode(window.Handle(), 0), -1);
  EXPECT_EQ(lib->AdStartLimitTrgMode(window.Handle()), -1);
  EXPECT_EQ(lib->AdReStartLimitTrgMode(window.Handle()), -1);
  EXPECT_EQ(lib->AdGetTrgData(0, reinterpret_cast<MorlexAddr>(&window)), 0);
  ASSERT_EQ(lib->AdAllocRingBuf(0, 1000, 250), 0);
  EXPECT_EQ(lib->AdStartIrqRingMode(window.Handle(), 1), -2);
  EXPECT_TRUE(window.Pump().empty());
}

// ---------------------------------------------------------------- test requests

TEST_F(MorlexAcquisition, TestRequestsCompleteOrTimeOut) {
  Start({"--type", "2"});
  EXPECT_EQ(lib->testAdStartPol(), 0);
  EXPECT_EQ(lib->testAdStopPol(), 0);
  EXPECT_EQ(lib->AdStopOneshotModeThread(), 0);
  EXPECT_EQ(lib->AdCreateSystemThread(0), 0);
}

}  // namespace
}  // namespace morlex_test
