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

  // Without the stop trigger the acquisition runs to its full count.
  ASSERT_EQ(lib->AdSetTrigger(0, 1), 0);
  EXPECT_EQ(lib->AdStartPolModeThread(window.Handle()), 0);
  EXPECT_EQ(window.Pump(), (std::vector<Note>{{1, 0}, {64, 2500}, {1, 0}, {128, 4000}}));
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

TEST_F(MorlexAcquisition, TriggerBufferReallocationAndRefusals) {
  Start({"--type", "2", "--ring-waiting", "100000"});
  SetUpCard(0, 80, 2, 4, 0);
  EXPECT_EQ(lib->AdAllocTrgBuf(100, 2, 2, 5, 20), -3);
  EXPECT_EQ(lib->AdAllocTrgBuf(0, 1, 2, 5, 20), -4);
  EXPECT_EQ(lib->AdAllocTrgBuf(100, 1, 2, 5, 20), 500);
  EXPECT_EQ(lib->GetRingBufNum(), 500);  // the stand-in's buffer holds both spans
  // Held: allocating again releases the old one first (the stand-in refuses
  // a second buffer while one is held).  (1000/100)*4 + (500/100)*4 = 60.
  EXPECT_EQ(lib->AdAllocTrgBuf(100, 0, 4, 1000, 500), 60);
  EXPECT_EQ(lib->GetRingBufNum(), 60);
  // A refused call keeps the held buffer.
  EXPECT_EQ(lib->AdAllocTrgBuf(0, 0, 4, 1000, 500), -4);
  EXPECT_EQ(lib->AdAllocRingBuf(0, 100, 10), -3);
  lib->AdFreeTrgBuf();
  EXPECT_EQ(lib->AdAllocRingBuf(0, 100, 10), 0);
  // The flag follows the driver: a refused allocation holds nothing.
  lib->AdFreeRingBuf();
  EXPECT_EQ(lib->AdAllocTrgBuf(1, 0, 1, 0, 0), -2);  // the stand-in refuses an empty buffer
  EXPECT_EQ(lib->AdAllocRingBuf(0, 100, 10), 0);
}

// The stand-in keeps `count1` samples before the limit trigger and `count2`
// after it, so a capture shows which count went where: period 100, unit 1,
// 2 channels, spans 5 and 20 must ask for {100, 400}.
class MorlexLimitCapture : public MorlexAcquisition {
 protected:
  // One channel at 100 us on a type 2 card, limit mode and levels, trigger
  // buffer; runs a limit-trigger acquisition to its end and returns the
  // samples captured.
  int32_t Capture(std::vector<std::string> args, double upper, double lower, int32_t limitMode) {
    Start(std::move(args));
    NotifyWindow window;
    EXPECT_EQ(lib->AdSetParam(0, 2, 0, 0x300, 5), 0);
    const int16_t list[1] = {0};
    EXPECT_EQ(lib->AdSetChannel(1, list), 1);
    EXPECT_EQ(lib->AdSetFreq(0, 100, 2), 0);
    EXPECT_EQ(lib->AdSetLimitTrg(upper, lower, limitMode), 0);
    EXPECT_EQ(lib->AdAllocTrgBuf(100, 1, 2, 5, 20), 500);
    EXPECT_EQ(lib->AdStartLimitTrgMode(window.Handle()), 0);
    EXPECT_EQ(lib->Block().mode, 5);
    EXPECT_EQ(lib->Block().blockSamples, 8);  // table value: 1 channel in microseconds
    // 16: the stand-in's "limit trigger data ready" status word; limit modes pass 0.
    EXPECT_EQ(window.WaitFor(2, kDeadline), (std::vector<Note>{{1, 0}, {16, 0}}));
    std::vector<uint16_t> data(1000, 0xBEEF);
    const int32_t got = lib->AdGetTrgData(0, reinterpret_cast<MorlexAddr>(data.data()));
    EXPECT_TRUE(std::all_of(data.begin(), data.begin() + std::max(got, 0), [](uint16_t v) { return v < 8192; }));
    EXPECT_TRUE(std::all_of(data.begin() + std::max(got, 0), data.end(), [](uint16_t v) { return v == 0xBEEF; }));
    return got;
  }
};

TEST_F(MorlexLimitCapture, TriggerAtTheFirstSampleKeepsOnlyTheSecondSpan) {
  // Constant code 3000; upper level 2.0 V is code 2867: the very first sample crosses.
  EXPECT_EQ(Capture({"--type", "2", "--instant", "--profile", "constant:3000"}, 2.0, -4.0, 1), 400);
}

TEST_F(MorlexLimitCapture, ALateTriggerKeepsBothSpans) {
  // 2048 + 1000 sin(2 pi 50 t) at 100 us: the lower level -2.2 V (code 1146)
  // is first reached about 136 samples in, after the first span has filled.
  EXPECT_EQ(Capture({"--type", "2", "--instant", "--profile", "sine:1000"}, 4.0, -2.2, 2), 500);
}

TEST_F(MorlexAcquisition, RingModeReportsTheDriversStatusAndRingValue) {
  Start({"--type", "2", "--instant"});
  NotifyWindow window;
  SetUpCard(0, 100, 2, 1, 0);
  ASSERT_EQ(lib->AdAllocRingBuf(0, 100, 100), 0);
  ASSERT_EQ(lib->AdStartIrqRingMode(window.Handle(), 12), 0);
  EXPECT_EQ(lib->Block().mode, 4);
  EXPECT_EQ(lib->Block().blockSamples, 12);
  // 100 samples of ring fill within the first tick: the driver ends with
  // its overrun word 2 and the ring status value 2.
  EXPECT_EQ(window.WaitFor(2, kDeadline), (std::vector<Note>{{1, 0}, {2, 2}}));
  std::vector<uint16_t> dest(100);
  EXPECT_EQ(lib->AdGetRingBuf(reinterpret_cast<MorlexAddr>(dest.data()), 0, 100), -1);  // overrun: error 1117
  EXPECT_EQ(lib->VbGetRingBuf(reinterpret_cast<MorlexAddr>(dest.data()), 0, 100), 100);
  ExpectNothingMore(window, 2);
}

TEST_F(MorlexAcquisition, StoppingARingAcquisition) {
  Start({"--type", "2"});
  NotifyWindow window;
  SetUpCard(0, 1, 0, 1, 0);  // one sample a second: the ring never fills here
  ASSERT_EQ(lib->AdAllocRingBuf(0, 1000, 100), 0);
  ASSERT_EQ(lib->AdStartIrqRingMode(window.Handle(), 0), 0);
  EXPECT_EQ(lib->Block().blockSamples, 2);
  ASSERT_EQ(window.WaitFor(1, kDeadline), (std::vector<Note>{{1, 0}}));
  EXPECT_EQ(lib->AdStopIrqMode(), 0);
  EXPECT_EQ(window.WaitFor(2, kDeadline), (std::vector<Note>{{1, 0}, {0, 0}}));
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

TEST_F(MorlexAcquisition, TestRequestsComplete) {
  Start({"--type", "2"});  // the test requests pend 100 ms
  EXPECT_EQ(lib->testAdStartPol(), 0);
  EXPECT_EQ(lib->testAdStopPol(), 0);
  EXPECT_EQ(lib->AdStopOneshotModeThread(), 0);
  EXPECT_EQ(lib->AdCreateSystemThread(0), 0);
}

TEST_F(MorlexAcquisition, TestRequestsFail) {
  Start({"--type", "2", "--fail", "IOCTL_AD_TEST_START_POL", "--fail", "IOCTL_AD_TEST_STOP_POL", "--fail",
         "IOCTL_AD_CREATE_SYSTEM_THREAD"});
  EXPECT_EQ(lib->testAdStartPol(), -1);
  EXPECT_EQ(lib->testAdStopPol(), -1);
  EXPECT_EQ(lib->AdCreateSystemThread(0), -10);
}

// ---------------------------------------------------------------- one-shot

TEST_F(MorlexAcquisition, OneShotFillsTheCallerAndGivesTheBufferFieldsBack) {
  Start({"--type", "2"});
  SetUpCard(0, 80, 2, 4, 1000);
  const auto before = lib->Block();
  ASSERT_EQ(lib->AdSetOneParam(0, 2, 0x300), 0);
  std::vector<uint16_t> dest(32, 0xBEEF);
  EXPECT_EQ(lib->AdOneShot(0, reinterpret_cast<MorlexAddr>(dest.data())), 0);
  // One sample of each of the 4 channels.
  EXPECT_TRUE(std::all_of(dest.begin(), dest.begin() + 4, [](uint16_t v) { return v < 8192; }));
  EXPECT_TRUE(std::all_of(dest.begin() + 4, dest.end(), [](uint16_t v) { return v == 0xBEEF; }));
  const auto after = lib->Block();
  EXPECT_EQ(after.bufferAddress, before.bufferAddress);
  EXPECT_EQ(after.bufferBytes, before.bufferBytes);
  EXPECT_EQ(lib->AdOneShot(0, 0), -3);
  EXPECT_EQ(lib->AdFreeDataMem(), 0);
}

TEST_F(MorlexAcquisition, OneShotFailures) {
  Start({"--type", "2", "--fail", "IOCTL_AD_ONE_SHOT"});
  ASSERT_EQ(lib->AdSetOneParam(0, 2, 0x300), 0);
  uint16_t dest[8] = {};
  EXPECT_EQ(lib->AdOneShot(0, reinterpret_cast<MorlexAddr>(dest)), -1);  // did not pend
  EXPECT_EQ(std::count(std::begin(dest), std::end(dest), 0), 8);
  sim->Kill();
  EXPECT_EQ(lib->AdOneShot(0, reinterpret_cast<MorlexAddr>(dest)), -1);
}

}  // namespace
}  // namespace morlex_test
