// The simulated card served in this process, driven through the device
// layer as a library would drive it.
#include "card.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "card_rig.h"
#include "platform/device_server.h"
#include "profile.h"

using namespace cardtest;
using namespace cardsim;
using namespace morlex;
using platform::Device;

namespace {

class Rig {
 public:
  explicit Rig(std::vector<std::string> args) {
    std::string error;
    EXPECT_TRUE(ParseOptions(args, options_, error)) << error;
    card_ = std::make_unique<Card>(options_, [this] { ++vanished_; }, [this](const std::string& line) {
      std::lock_guard lock(noticeMu_);
      notices_.push_back(line);
    });
    server_ = platform::DeviceServer::Start(
        dir_.Path(), kDeviceName, [this](const std::shared_ptr<platform::DeviceCall>& c) { card_->Handle(c); }, error);
    EXPECT_TRUE(server_) << error;
    uint32_t openError = 0;
    if (server_) dev_ = Device::Open(server_->Path(), openError);
    EXPECT_TRUE(dev_) << openError;
  }
  ~Rig() {
    dev_.reset();
    server_.reset();
    card_.reset();
  }
  Device& Dev() { return *dev_; }
  const Options& Opt() const { return options_; }
  int Vanished() const { return vanished_.load(); }
  std::vector<std::string> Notices() const {
    std::lock_guard lock(noticeMu_);
    return notices_;
  }

 private:
  devtest::TempFolder dir_;
  Options options_;
  std::atomic<int> vanished_{0};
  mutable std::mutex noticeMu_;
  std::vector<std::string> notices_;
  std::unique_ptr<Card> card_;
  std::unique_ptr<platform::DeviceServer> server_;
  std::unique_ptr<Device> dev_;
};

// What the card must deliver for a polling acquisition, from the profile.
std::vector<uint16_t> Expected(const Profile& p, int cardType, int group, uint16_t channels, uint64_t firstFrame,
                               double interval, size_t samples) {
  std::vector<uint16_t> list;
  for (uint16_t c = 0; c < channels; ++c) list.push_back(c);
  std::vector<uint16_t> out(samples);
  FillScanFrames(p, cardType, group, list, firstFrame, interval, out);
  return out;
}

std::vector<uint16_t> Samples(const Result& r) {
  std::vector<uint16_t> s(r.bytes / 2);
  for (size_t i = 0; i < s.size(); ++i) s[i] = r.Sample(i);
  return s;
}

TEST(CardSim, ResourceReportsTheConfiguredCard) {
  Rig rig({"--type", "1", "--io-base", "0x2A0", "--irq", "11"});
  const Result r = Issue(rig.Dev(), IOCTL_AD_GET_RESOURCE, std::vector<uint8_t>{}, 20);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.bytes, 20u);
  EXPECT_EQ(r.Word32(0), 1u);
  EXPECT_EQ(r.Word16(4), 0x2A0);
  EXPECT_EQ(r.Word16(16), 11);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_GET_RESOURCE, std::vector<uint8_t>{}, 19).error, platform::ERROR_INSUFFICIENT_BUFFER);
}

TEST(CardSim, ResourceFaults) {
  {
    Rig rig({"--bad-card-type", "7"});
    EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_GET_RESOURCE, std::vector<uint8_t>{}, 20).Word32(0), 7u);
  }
  {
    Rig rig({"--short-reply", "IOCTL_AD_GET_RESOURCE"});
    const Result r = Issue(rig.Dev(), IOCTL_AD_GET_RESOURCE, std::vector<uint8_t>{}, 20);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 10u);
    EXPECT_EQ(r.out[10], 0xEE);  // nothing beyond what was delivered
  }
  {
    Rig rig({"--oversize-reply", "IOCTL_AD_GET_RESOURCE"});
    const Result r = Issue(rig.Dev(), IOCTL_AD_GET_RESOURCE, std::vector<uint8_t>{}, 20);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, platform::ERROR_MORE_DATA);
    EXPECT_EQ(r.out, std::vector<uint8_t>(20, 0xEE));
  }
}

TEST(CardSim, SetUpRequestsCompleteAtOnceWithTheirStatusWord) {
  Rig rig({"--status", "IOCTL_AD_SET_CHANNEL=5", "--fail", "IOCTL_AD_SET_FREQ"});
  const Block b = Block::Acquisition(2, 4, 80, 2, 1260);
  const Result param = Issue(rig.Dev(), IOCTL_AD_SET_PARAM, b, 4);
  ASSERT_TRUE(param.ok);
  EXPECT_EQ(param.Word32(0), 0u);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_SET_CHANNEL, b, 4).Word32(0), 5u);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_SET_FREQ, b, 4).error, platform::ERROR_GEN_FAILURE);
  for (uint32_t fn : {IOCTL_AD_SET_DATA_MEM, IOCTL_AD_SET_DATA_COUNT, IOCTL_AD_SET_TRIGGER, IOCTL_AD_SET_LIMIT_TRG, IOCTL_AD_SET_INTERNAL_CLOCK, IOCTL_AD_SET_EXTERNAL_CLOCK}) {
    const Result r = Issue(rig.Dev(), fn, b, 4);
    EXPECT_TRUE(r.ok) << std::hex << fn;
    EXPECT_EQ(r.bytes, 4u);
  }
  // Another card type than the one present is not accepted.
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_SET_PARAM, Block::Acquisition(1, 4, 80, 2, 1), 4).Word32(0), 1u);
  // A short block, a short output, an unknown request.
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_SET_PARAM, std::vector<uint8_t>(79), 4).error, platform::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_SET_PARAM, b, 3).error, platform::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Issue(rig.Dev(), morlex::AdRequestCode(0x808), b, 4).error, platform::ERROR_INVALID_FUNCTION);
  const Result thread = Issue(rig.Dev(), IOCTL_AD_CREATE_SYSTEM_THREAD, std::vector<uint8_t>(4), 4);
  EXPECT_TRUE(thread.ok);
}

TEST(CardSim, PollingAcquisitionsDeliverTheProfileGroupAfterGroup) {
  Rig rig({"--instant", "--groups", "4", "--seed", "5"});
  const uint32_t perChannel = 100;
  const Block b = Block::Acquisition(2, 4, 80, 2, perChannel);
  for (int n = 0; n < 5; ++n) {
    auto p = Start(rig.Dev(), IOCTL_AD_START_POL, b, 2 * perChannel * 4 + 32);
    ASSERT_TRUE(p->accepted) << p->error;
    const Result r = Finish(rig.Dev(), *p);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.bytes, 800u);
    const auto want = Expected(rig.Opt().profile, 2, n % 4, 4, uint64_t(n) * perChannel, 80e-6, 400);
    EXPECT_EQ(Samples(r), want) << "acquisition " << n;
    EXPECT_EQ(std::vector<uint8_t>(r.out.begin() + 800, r.out.end()), std::vector<uint8_t>(32, 0xEE));
  }
}

TEST(CardSim, ExternalStopTriggerCanEndEarly) {
  Rig rig({"--instant", "--end-early", "2500", "--profile", "sine:500"});
  Block b = Block::Acquisition(2, 4, 80, 2, 1000);
  auto full = Start(rig.Dev(), IOCTL_AD_START_POL, b, 8032);
  EXPECT_EQ(Finish(rig.Dev(), *full).bytes, 8000u);  // no stop trigger: all of it
  b.U16(60, 1);
  auto early = Start(rig.Dev(), IOCTL_AD_START_POL, b, 8032);
  const Result r = Finish(rig.Dev(), *early);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 5000u);
  // The stream went on from frame 1000.
  EXPECT_EQ(Samples(r), Expected(rig.Opt().profile, 2, 0, 4, 1000, 80e-6, 2500));
}

TEST(CardSim, PollingAcquisitionFaultsAndRefusals) {
  {
    Rig rig({"--pol-immediate"});
    const Result r = Issue(rig.Dev(), IOCTL_AD_START_POL, Block::Acquisition(2, 4, 80, 2, 10), 112);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 80u);
  }
  Rig rig({"--pol-never"});
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_START_POL, Block::Acquisition(2, 4, 80, 2, 10), 79).error,
            platform::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_START_POL, Block::Acquisition(2, 5, 80, 2, 10), 200).error,
            platform::ERROR_INVALID_PARAMETER);  // 5 channels on a 4-channel card
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_START_POL, Block::Acquisition(2, 4, 80, 3, 10), 200).error,
            platform::ERROR_INVALID_PARAMETER);  // no such unit
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_START_POL, Block::Acquisition(2, 4, 80, 2, 0), 200).error,
            platform::ERROR_INVALID_PARAMETER);

  const Block b = Block::Acquisition(2, 4, 80, 2, 10);
  auto first = Start(rig.Dev(), IOCTL_AD_START_POL, b, 112);
  ASSERT_TRUE(first->accepted);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_START_POL, b, 112).error, kErrorBusy);
  rig.Dev().Cancel(&first->ov);
  // The cancel reaches the card before the next request on the connection.
  auto second = Start(rig.Dev(), IOCTL_AD_START_POL, b, 112);
  EXPECT_TRUE(second->accepted) << second->error;
  rig.Dev().Cancel(&second->ov);
}

TEST(CardSim, StopEndsARunningAcquisitionWithTheFramesScanned) {
  Rig rig({});
  // 1000 frames at 1 ms: a second of real time.
  auto p = Start(rig.Dev(), IOCTL_AD_START_POL, Block::Acquisition(2, 4, 1, 1, 1000), 8032);
  ASSERT_TRUE(p->accepted);
  const Result stop = Issue(rig.Dev(), IOCTL_AD_STOP_IRQ, std::vector<uint8_t>(4), 4);
  EXPECT_TRUE(stop.ok);
  const Result r = Finish(rig.Dev(), *p);
  ASSERT_TRUE(r.ok);
  EXPECT_LT(r.bytes, 8000u);
  EXPECT_EQ(r.bytes % 8, 0u);  // whole frames
  EXPECT_TRUE(Issue(rig.Dev(), IOCTL_AD_TEST_STOP_POL, std::vector<uint8_t>(4), 4).ok);  // nothing running: fine
}

TEST(CardSim, ExitDuringAcquisitionMakesTheDriverVanish) {
  Rig rig({"--instant", "--exit-during-acquisition", "--pol-never"});
  auto p = Start(rig.Dev(), IOCTL_AD_START_POL, Block::Acquisition(2, 4, 80, 2, 10), 112);
  ASSERT_TRUE(p->accepted);
  EXPECT_TRUE(devtest::WaitUntil([&] { return rig.Vanished() == 1; }));
  rig.Dev().Cancel(&p->ov);
}

// A card that hangs for a while: what it accepts meanwhile never completes
// (a stop request does not end it either) and holds the card until the
// client cancels it; afterwards acquisitions complete again, going on with
// the group and the sample stream where the last completed one left them.
TEST(CardSim, HangHoldsAcquisitionsUntilCancelledThenTheCardCompletesAgain) {
  Rig rig({"--instant", "--groups", "4", "--hang-after", "2", "--hang-for", "1500"});
  const uint32_t perChannel = 100;
  const Block b = Block::Acquisition(2, 4, 80, 2, perChannel);
  for (int n = 0; n < 2; ++n) {
    auto p = Start(rig.Dev(), IOCTL_AD_START_POL, b, 832);
    ASSERT_TRUE(Finish(rig.Dev(), *p).ok) << "acquisition " << n << " before the hang";
  }
  EXPECT_TRUE(rig.Notices().empty());

  auto held = Start(rig.Dev(), IOCTL_AD_START_POL, b, 832);
  ASSERT_TRUE(held->accepted) << held->error;
  ASSERT_EQ(rig.Notices().size(), 1u);
  EXPECT_EQ(rig.Notices()[0], "qda7100-sim: hanging for 1500 ms: acquisitions are accepted and never completed");
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_START_POL, b, 832).error, kErrorBusy);
  EXPECT_TRUE(Issue(rig.Dev(), IOCTL_AD_STOP_IRQ, std::vector<uint8_t>(4), 4).ok);
  // An instant acquisition would have completed long before this.
  EXPECT_FALSE(held->event.Wait(200) == platform::WAIT_OBJECT_0);
  rig.Dev().Cancel(&held->ov);

  // The one-shot conversion hangs the same way.
  auto oneShot = Start(rig.Dev(), IOCTL_AD_ONE_SHOT, b, 64);
  ASSERT_TRUE(oneShot->accepted) << oneShot->error;
  EXPECT_FALSE(oneShot->event.Wait(100) == platform::WAIT_OBJECT_0);
  rig.Dev().Cancel(&oneShot->ov);

  ASSERT_TRUE(devtest::WaitUntil([&] { return rig.Notices().size() == 2; }));
  EXPECT_EQ(rig.Notices()[1], "qda7100-sim: hang over: acquisitions complete again");
  auto after = Start(rig.Dev(), IOCTL_AD_START_POL, b, 832);
  const Result r = Finish(rig.Dev(), *after);
  ASSERT_TRUE(r.ok) << r.error;
  // Group 2 and frames 200..299: the held acquisitions took nothing.
  EXPECT_EQ(Samples(r), Expected(rig.Opt().profile, 2, 2, 4, 2 * perChannel, 80e-6, 400));
}

TEST(CardSim, OneShotConvertsOneFrame) {
  Rig rig({"--instant", "--profile", "sine:700"});
  Block b = Block::Acquisition(2, 4, 80, 2, 1);
  auto p = Start(rig.Dev(), IOCTL_AD_ONE_SHOT, b, 64);
  ASSERT_TRUE(p->accepted);
  const Result r = Finish(rig.Dev(), *p);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 8u);
  EXPECT_EQ(Samples(r), Expected(rig.Opt().profile, 2, 0, 4, 0, 80e-6, 4));
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_ONE_SHOT, b, 7).error, platform::ERROR_INSUFFICIENT_BUFFER);
}

TEST(CardSim, RingBufferWaitingCountAndReads) {
  Rig rig({"--ring-waiting", "99"});
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_RING_COUNT, std::vector<uint8_t>{}, 4).Word32(0), 0u);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_READ_RING, Pair(0, 1), 2).error, platform::ERROR_INVALID_FUNCTION);  // none held

  const Result alloc = Issue(rig.Dev(), IOCTL_AD_ALLOC_RING, std::vector<uint8_t>{200, 0, 0, 0}, 4);
  ASSERT_TRUE(alloc.ok);
  EXPECT_EQ(alloc.Word32(0), 0u);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_ALLOC_RING, std::vector<uint8_t>{200, 0, 0, 0}, 4).Word32(0), 1u);  // held already
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_ALLOC_TRG, Pair(10, 10), 4).Word32(0), 1u);  // one buffer at a time
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_RING_COUNT, std::vector<uint8_t>{}, 4).Word32(0), 99u);

  const Result read = Issue(rig.Dev(), IOCTL_AD_READ_RING, Pair(0x12345678, 100), 200);
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(read.bytes, 198u);  // only what waits
  EXPECT_EQ(read.out[198], 0xEE);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_RING_COUNT, std::vector<uint8_t>{}, 4).Word32(0), 0u);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_READ_RING, Pair(0, 100), 199).error, platform::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_READ_RING, std::vector<uint8_t>(7), 200).error, platform::ERROR_INVALID_PARAMETER);

  EXPECT_TRUE(Issue(rig.Dev(), IOCTL_AD_FREE_RING, std::vector<uint8_t>{}, 4).ok);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_ALLOC_RING, std::vector<uint8_t>{0, 0, 0, 0}, 4).Word32(0), 2u);  // zero size
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_ALLOC_RING, std::vector<uint8_t>{200, 0, 0, 0}, 4).Word32(0), 0u);
}

TEST(CardSim, RingModeOverrunEndsWithStatusTwoAndFailsTheNextRead) {
  Rig rig({"--instant"});
  ASSERT_EQ(Issue(rig.Dev(), IOCTL_AD_ALLOC_RING, std::vector<uint8_t>{0xD0, 0x07, 0, 0}, 4).Word32(0), 0u);  // 1000 samples
  Block b = Block::Acquisition(2, 4, 80, 2, 250);
  b.U16(8, 4);  // ring mode
  auto p = Start(rig.Dev(), IOCTL_AD_START_RING, b, 2);
  ASSERT_TRUE(p->accepted) << p->error;
  const Result r = Finish(rig.Dev(), *p);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 2u);
  EXPECT_EQ(r.Word16(0), kRingOverrun);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_RING_STATUS, std::vector<uint8_t>{}, 4).Word32(0), kRingOverrun);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_READ_RING, Pair(0, 10), 20).error, platform::ERROR_IO_DEVICE);
  const Result after = Issue(rig.Dev(), IOCTL_AD_READ_RING, Pair(0, 1000), 2000);
  EXPECT_TRUE(after.ok);
  EXPECT_EQ(after.bytes, 2000u);  // the full ring
}

TEST(CardSim, RingModeNeedsARingBufferAndStopsOnRequest) {
  Rig rig({});
  Block b = Block::Acquisition(2, 4, 80, 2, 250);
  b.U16(8, 4);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_START_RING, b, 2).error, platform::ERROR_INVALID_PARAMETER);
  ASSERT_EQ(Issue(rig.Dev(), IOCTL_AD_ALLOC_RING, std::vector<uint8_t>{0, 0, 0x10, 0}, 4).Word32(0), 0u);  // 1 MiB
  auto p = Start(rig.Dev(), IOCTL_AD_START_RING, b, 2);
  ASSERT_TRUE(p->accepted);
  EXPECT_TRUE(Issue(rig.Dev(), IOCTL_AD_STOP_IRQ, std::vector<uint8_t>(4), 4).ok);
  const Result r = Finish(rig.Dev(), *p);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.Word16(0), kRingStopped);
}

TEST(CardSim, LimitTriggerCapturesSamplesAroundTheCrossing) {
  // A 500-count sine on every channel; the lower level 2048 - 450 is first
  // reached at sin = -0.9 (244.2 deg, 13.56 ms): frame 170 at 80 us.
  Rig rig({"--instant", "--profile", "sine:500"});
  ASSERT_EQ(Issue(rig.Dev(), IOCTL_AD_ALLOC_TRG, Pair(100, 400), 4).Word32(0), 0u);
  Block b = Block::Acquisition(2, 1, 80, 2, 1);
  b.U16(8, 5).U16(66, 4095).U16(68, 1598).U16(70, 2);
  auto p = Start(rig.Dev(), IOCTL_AD_START_RING, b, 2);
  ASSERT_TRUE(p->accepted);
  const Result r = Finish(rig.Dev(), *p);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.Word16(0), kTriggerDataReady);
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_RING_COUNT, std::vector<uint8_t>{}, 4).Word32(0), 500u);
  const Result data = Issue(rig.Dev(), IOCTL_AD_READ_TRG_DATA, Pair(0, 500), 1000);
  ASSERT_TRUE(data.ok);
  ASSERT_EQ(data.bytes, 1000u);
  const auto s = Samples(data);
  EXPECT_EQ(s[99], 1601);   // frame 169: 2048 + 500 sin(243.36 deg)
  EXPECT_EQ(s[100], 1596);  // frame 170: 2048 + 500 sin(244.80 deg), the trigger
  // 100 samples before the trigger and 400 from it: frames 70 .. 569.
  const auto want = Expected(rig.Opt().profile, 2, 0, 1, 0, 80e-6, 570);
  EXPECT_EQ(s, std::vector<uint16_t>(want.begin() + 70, want.end()));
  EXPECT_EQ(Issue(rig.Dev(), IOCTL_AD_READ_RING, Pair(0, 1), 2).error, platform::ERROR_INVALID_FUNCTION);  // not a ring
}

TEST(CardSim, TestRequestsPendForTheConfiguredTime) {
  {
    Rig rig({"--test-pend", "0"});
    EXPECT_TRUE(Issue(rig.Dev(), IOCTL_AD_TEST_START_POL, std::vector<uint8_t>(4), 4).ok);
    EXPECT_TRUE(Issue(rig.Dev(), IOCTL_AD_STOP_ONESHOT, std::vector<uint8_t>(4), 4).ok);
  }
  {
    Rig rig({"--test-pend", "20"});
    auto p = Start(rig.Dev(), IOCTL_AD_TEST_START_POL, std::vector<uint8_t>(4), 4);
    ASSERT_TRUE(p->accepted);
    EXPECT_TRUE(Finish(rig.Dev(), *p).ok);
  }
  Rig rig({"--test-pend", "never"});
  auto p = Start(rig.Dev(), IOCTL_AD_STOP_ONESHOT, std::vector<uint8_t>(4), 4);
  ASSERT_TRUE(p->accepted);
  EXPECT_EQ(p->event.Wait(50), platform::WAIT_TIMEOUT);
  rig.Dev().Cancel(&p->ov);
}

}  // namespace
