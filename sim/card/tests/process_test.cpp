// The real qda7100-sim program, driven through the device layer.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "card.h"
#include "card_rig.h"
#include "profile.h"
#include "sim_process.h"

using namespace cardtest;
using cardsim::testing::SimProcess;
using platform::Device;

namespace {

using morlex::kDeviceClassGuid;

std::unique_ptr<Device> Open(const std::string& path) {
  uint32_t error = 0;
  auto dev = Device::Open(path, error);
  EXPECT_TRUE(dev) << "open error " << error;
  return dev;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

TEST(CardSimProcess, ServesTheClassInItsFolderWithTheConfiguredResources) {
  devtest::TempFolder dir;
  const std::string folder = dir.Path() + "/qda7100";
  SimProcess sim;
  ASSERT_TRUE(sim.Start(folder, {"--type", "2", "--io-base", "0x300", "--irq", "5"})) << sim.Error();
  EXPECT_EQ(sim.DevicePath(), folder + "/" + kDeviceClassGuid + "-0");
  EXPECT_EQ(devtest::ModeOf(folder), 0700u);
  EXPECT_EQ(devtest::ModeOf(sim.DevicePath()), 0600u);

  ::setenv("QDA7100_DEVICE_DIR", folder.c_str(), 1);
  std::string path;
  EXPECT_EQ(platform::FindFirstDevice(kDeviceClassGuid, path), 0);
  ::unsetenv("QDA7100_DEVICE_DIR");
  EXPECT_EQ(path, sim.DevicePath());

  auto dev = Open(path);
  ASSERT_TRUE(dev);
  const Result r = Issue(*dev, morlex::IOCTL_AD_GET_RESOURCE, std::vector<uint8_t>{}, 20);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.Word32(0), 2u);
  EXPECT_EQ(r.Word16(4), 0x300);
  EXPECT_EQ(r.Word16(16), 5);
}

TEST(CardSimProcess, PollingAcquisitionPendsForItsRealDuration) {
  devtest::TempFolder dir;
  SimProcess sim;
  ASSERT_TRUE(sim.Start(dir.Path(), {})) << sim.Error();
  auto dev = Open(sim.DevicePath());
  ASSERT_TRUE(dev);
  // 1260 samples per channel at 80 us: 100.8 ms.
  const auto begin = std::chrono::steady_clock::now();
  auto p = Start(*dev, morlex::IOCTL_AD_START_POL, Block::Acquisition(2, 4, 80, 2, 1260), 10112);
  ASSERT_TRUE(p->accepted) << p->error;
  EXPECT_FALSE(p->event.IsSet());
  const Result r = Finish(*dev, *p);
  const auto took = std::chrono::steady_clock::now() - begin;
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.bytes, 10080u);
  EXPECT_GE(took, std::chrono::milliseconds(100));
  // The default profile: the first frame of channel index 0.
  const cardsim::Profile profile = cardsim::InsulatorProfile(50, 1);
  EXPECT_EQ(r.Sample(0), cardsim::SampleCode(profile, 2, 0, 0, 0.0));
  EXPECT_EQ(r.Sample(4 * 1259 + 3), cardsim::SampleCode(profile, 2, 3, 1259, 1259 * 80e-6));
}

TEST(CardSimProcess, InstantAcquisitionDoesNotWaitForRealTime) {
  devtest::TempFolder dir;
  SimProcess sim;
  ASSERT_TRUE(sim.Start(dir.Path(), {"--instant", "--profile", "constant:1234"})) << sim.Error();
  auto dev = Open(sim.DevicePath());
  ASSERT_TRUE(dev);
  // 10000 samples per channel at 1 s would take almost three hours.
  auto p = Start(*dev, morlex::IOCTL_AD_START_POL, Block::Acquisition(2, 4, 1, 0, 10000), 80032);
  ASSERT_TRUE(p->accepted);
  const Result r = Finish(*dev, *p, 10000);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.bytes, 80000u);
  EXPECT_EQ(r.Sample(39999), 1234);
}

TEST(CardSimProcess, NamedRequestFails) {
  devtest::TempFolder dir;
  SimProcess sim;
  ASSERT_TRUE(sim.Start(dir.Path(), {"--fail", "IOCTL_AD_SET_FREQ", "--fail", "IOCTL_AD_READ_RING=1117"}))
      << sim.Error();
  auto dev = Open(sim.DevicePath());
  ASSERT_TRUE(dev);
  const Block b = Block::Acquisition(2, 4, 80, 2, 1260);
  EXPECT_EQ(Issue(*dev, morlex::IOCTL_AD_SET_FREQ, b, 4).error, platform::ERROR_GEN_FAILURE);
  EXPECT_EQ(Issue(*dev, morlex::IOCTL_AD_READ_RING, Pair(0, 1), 2).error, platform::ERROR_IO_DEVICE);
  EXPECT_TRUE(Issue(*dev, morlex::IOCTL_AD_SET_CHANNEL, b, 4).ok);
}

TEST(CardSimProcess, TraceHasALinePerRequestAndPerCompletionSent) {
  devtest::TempFolder dir;
  const std::string tracePath = dir.Path() + "/card.trace";
  const double before = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  SimProcess sim;
  ASSERT_TRUE(sim.Start(dir.Path() + "/dev", {"--trace", tracePath, "--test-pend", "never"})) << sim.Error();
  auto dev = Open(sim.DevicePath());
  ASSERT_TRUE(dev);
  // Set-up, a polling acquisition of 100 frames at 80 us (8 ms), a request
  // the driver does not know, and one the client gives up.
  EXPECT_TRUE(Issue(*dev, morlex::IOCTL_AD_SET_PARAM, Block::Acquisition(2, 4, 80, 2, 100), 4).ok);
  auto pol = Start(*dev, morlex::IOCTL_AD_START_POL, Block::Acquisition(2, 4, 80, 2, 100), 832);
  ASSERT_TRUE(pol->accepted);
  ASSERT_TRUE(Finish(*dev, *pol).ok);
  EXPECT_EQ(Issue(*dev, morlex::AdRequestCode(0x808), std::vector<uint8_t>(4), 4).error,
            platform::ERROR_INVALID_FUNCTION);
  auto test = Start(*dev, morlex::IOCTL_AD_TEST_START_POL, std::vector<uint8_t>(4), 4);
  ASSERT_TRUE(test->accepted);
  dev->Cancel(&test->ov);
  EXPECT_FALSE(Finish(*dev, *test).ok);
  ASSERT_TRUE(sim.Terminate(SIGTERM));
  const double after = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();

  struct Line {
    double time = 0;
    std::string call, what, name, status;
  };
  std::vector<Line> lines;
  std::ifstream in(tracePath);
  for (std::string text; std::getline(in, text);) {
    std::istringstream words(text);
    Line l;
    words >> l.time >> l.call >> l.what >> l.name >> l.status;
    lines.push_back(l);
  }
  const std::vector<std::vector<std::string>> expected = {
      {"1", "request", "IOCTL_AD_SET_PARAM", ""},  {"1", "complete", "IOCTL_AD_SET_PARAM", "0"},
      {"2", "request", "IOCTL_AD_START_POL", ""},  {"2", "complete", "IOCTL_AD_START_POL", "0"},
      {"3", "request", "0x854B2020", ""},          {"3", "complete", "0x854B2020", "1"},
      {"4", "request", "IOCTL_AD_TEST_START_POL", ""},
  };
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ((std::vector<std::string>{lines[i].call, lines[i].what, lines[i].name, lines[i].status}), expected[i])
        << "line " << i + 1;
    // The test's own monotonic clock brackets every stamp, in order.
    EXPECT_GE(lines[i].time, i == 0 ? before : lines[i - 1].time) << "line " << i + 1;
    EXPECT_LE(lines[i].time, after) << "line " << i + 1;
  }
  EXPECT_GE(lines[3].time - lines[2].time, 0.008);  // the acquisition pended for its scan
}

TEST(CardSimProcess, SigtermRemovesTheDeviceAndFailsWhatIsPending) {
  devtest::TempFolder dir;
  SimProcess sim;
  ASSERT_TRUE(sim.Start(dir.Path(), {"--pol-never"})) << sim.Error();
  auto dev = Open(sim.DevicePath());
  ASSERT_TRUE(dev);
  auto p = Start(*dev, morlex::IOCTL_AD_START_POL, Block::Acquisition(2, 4, 80, 2, 100), 832);
  ASSERT_TRUE(p->accepted);
  ASSERT_TRUE(sim.Terminate(SIGTERM));
  EXPECT_EQ(sim.ExitCode(), 0);
  EXPECT_FALSE(Exists(sim.DevicePath()));
  const Result r = Finish(*dev, *p);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, platform::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Issue(*dev, morlex::IOCTL_AD_GET_RESOURCE, std::vector<uint8_t>{}, 20).error,
            platform::ERROR_DEVICE_NOT_CONNECTED);

  std::string path;
  ::setenv("QDA7100_DEVICE_DIR", dir.Path().c_str(), 1);
  EXPECT_EQ(platform::FindFirstDevice(kDeviceClassGuid, path), -5);
  ::unsetenv("QDA7100_DEVICE_DIR");
}

TEST(CardSimProcess, ExitDuringAcquisitionLeavesNoDeviceAndNoHang) {
  devtest::TempFolder dir;
  SimProcess sim;
  ASSERT_TRUE(sim.Start(dir.Path(), {"--exit-during-acquisition"})) << sim.Error();
  auto dev = Open(sim.DevicePath());
  ASSERT_TRUE(dev);
  auto p = Start(*dev, morlex::IOCTL_AD_START_POL, Block::Acquisition(2, 4, 80, 2, 1260), 10112);
  ASSERT_TRUE(p->accepted);
  const Result r = Finish(*dev, *p);
  EXPECT_EQ(r.error, platform::ERROR_DEVICE_NOT_CONNECTED);
  ASSERT_TRUE(sim.WaitExit());
  EXPECT_EQ(sim.ExitCode(), 3);
  EXPECT_FALSE(Exists(sim.DevicePath()));
  EXPECT_FALSE(dev->Connected());
}

TEST(CardSimProcess, SecondInstanceInTheSameFolderIsRefused) {
  devtest::TempFolder dir;
  SimProcess first;
  ASSERT_TRUE(first.Start(dir.Path(), {})) << first.Error();
  SimProcess second;
  EXPECT_FALSE(second.Start(dir.Path(), {}));
  EXPECT_EQ(second.ExitCode(), 1);
  EXPECT_TRUE(Exists(first.DevicePath()));
}

TEST(CardSimProcess, BadCommandLineEndsWithoutServing) {
  devtest::TempFolder dir;
  SimProcess sim;
  EXPECT_FALSE(sim.Start(dir.Path(), {"--groups", "3"}));
  EXPECT_EQ(sim.ExitCode(), 2);
  EXPECT_FALSE(Exists(dir.Path() + "/" + kDeviceClassGuid + "-0"));
}

}  // namespace
