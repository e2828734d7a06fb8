// weather-station-sim as a process: its device path, its answers, its faults
// and its clean exit.  Every wait polls with a deadline.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "profile.h"

namespace weathersim {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kDeadlineMs = 5000;

int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The stand-in with its standard output apart from its errors.
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& options)
      : process_(lw::testing::BinDir() / "weather-station-sim", options,
                 {.workingDir = {}, .environment = {}, .separateErrors = true}) {}

  // Its first line of output (what it printed, if it ended without one).
  std::string ReadLine() { return process_.FirstLine(std::chrono::milliseconds(kDeadlineMs)); }

  // Sends SIGTERM and returns the exit status (-1 if it did not end in time).
  int Terminate() {
    process_.Signal(SIGTERM);
    return Wait();
  }

  int Wait() { return process_.WaitForExit(std::chrono::milliseconds(kDeadlineMs)).value_or(-1); }

 private:
  lw::testing::ChildProcess process_;
};

// The client end of the station's pseudo-terminal, raw.
class Line {
 public:
  explicit Line(const std::string& device) {
    fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~Line() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Request() { ASSERT_EQ(write(fd_, kRequest, sizeof kRequest), static_cast<ssize_t>(sizeof kRequest)); }

  // Reads until `count` bytes came or `ms` passed; returns the reads as they came.
  std::vector<std::vector<uint8_t>> Collect(std::size_t count, int ms = kDeadlineMs) {
    std::vector<std::vector<uint8_t>> chunks;
    std::size_t total = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (total < count && MsLeft(deadline) > 0) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, MsLeft(deadline)) <= 0) break;
      uint8_t buf[512];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      chunks.emplace_back(buf, buf + n);
      total += static_cast<std::size_t>(n);
    }
    return chunks;
  }

 private:
  int fd_ = -1;
};

std::vector<uint8_t> Join(const std::vector<std::vector<uint8_t>>& chunks) {
  std::vector<uint8_t> all;
  for (const auto& c : chunks) all.insert(all.end(), c.begin(), c.end());
  return all;
}

std::string DeviceOf(SimProcess& sim) {
  const std::string line = sim.ReadLine();
  const std::string prefix = "weather-station-sim: ";
  if (line.rfind(prefix, 0) != 0) return "";
  return line.substr(prefix.size());
}

TEST(Station, AnswersEachRequestWithThePacketOfItsProfile) {
  SimProcess sim({"--fixed", "in=26.7,out=0,wind=4.5,dir=360,inhum=50,outhum=75,rain=1.3", "--delay-ms", "0"});
  const std::string device = DeviceOf(sim);
  ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << device;
  Line line(device);
  ASSERT_TRUE(line.ok());
  const auto expected = EncodePacket(*ParseReading("in=26.7,out=0,wind=4.5,dir=360,inhum=50,outhum=75,rain=1.3", nullptr));
  for (int i = 0; i < 3; ++i) {
    line.Request();
    EXPECT_EQ(Join(line.Collect(18)), expected) << i;
  }
  EXPECT_EQ(sim.Terminate(), 0);
}

// A client that claimed the line (TIOCEXCL) and died without letting go
// must not keep the next client out, as a real adapter's last close
// would not: only root may open a claimed terminal.
TEST(Station, ALineClaimedByAClientThatDiedIsFreeAgainWithinASecondOrTwo) {
  SimProcess sim({"--delay-ms", "0"});
  const std::string device = DeviceOf(sim);
  {
    Line claimed(device);
    ASSERT_TRUE(claimed.ok());
    ASSERT_EQ(ioctl(claimed.fd(), TIOCEXCL), 0);
  }  // closed with the claim still on the terminal
  Line next(device);  // root opens it all the same, and may look
  ASSERT_TRUE(next.ok());
  int exclusive = 1;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kDeadlineMs);
  while (ioctl(next.fd(), TIOCGEXCL, &exclusive) == 0 && exclusive != 0 && MsLeft(deadline) > 0)
    poll(nullptr, 0, 50);
  EXPECT_EQ(exclusive, 0) << "the terminal stayed claimed";
  EXPECT_EQ(sim.Terminate(), 0);
}

TEST(Station, SilentStationSendsNothing) {
  SimProcess sim({"--silent", "--delay-ms", "0"});
  Line line(DeviceOf(sim));
  ASSERT_TRUE(line.ok());
  line.Request();
  EXPECT_TRUE(line.Collect(1, 300).empty());  // bounded look for bytes that must not come
}

TEST(Station, SplitReplyArrivesInTwoWrites) {
  SimProcess sim({"--split", "--split-gap-ms", "200", "--delay-ms", "0"});
  Line line(DeviceOf(sim));
  ASSERT_TRUE(line.ok());
  line.Request();
  const auto chunks = line.Collect(18);
  ASSERT_GE(chunks.size(), 2u);
  EXPECT_EQ(chunks[0], std::vector<uint8_t>{0x01});
  EXPECT_EQ(Join(chunks).size(), 18u);
}

TEST(Station, BurstSendsUnaskedPackets) {
  SimProcess sim({"--burst", "--burst-ms", "200", "--fixed", "dir=90"});
  Line line(DeviceOf(sim));
  ASSERT_TRUE(line.ok());
  const auto bytes = Join(line.Collect(36));
  ASSERT_GE(bytes.size(), 36u);
  EXPECT_EQ(bytes[0], 0x01);
  EXPECT_EQ(bytes[18], 0x01);
  EXPECT_EQ(bytes[18 + 6], 90);
}

TEST(Station, LinkPointsAtTheDeviceAndGoesAwayOnSigterm) {
  lw::testing::TempDir dir("weather-sim-test");
  const fs::path link = dir.Path() / "ttyWeather";
  {
    SimProcess sim({"--link", link.string()});
    const std::string device = DeviceOf(sim);
    ASSERT_FALSE(device.empty());
    EXPECT_EQ(fs::read_symlink(link), fs::path(device));
    Line line(link.string());
    ASSERT_TRUE(line.ok());
    line.Request();
    EXPECT_EQ(Join(line.Collect(18)).size(), 18u);
    EXPECT_EQ(sim.Terminate(), 0);
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(link)));
  }
}

TEST(Station, RefusesToReplaceAFileWithItsLink) {
  lw::testing::TempDir dir("weather-sim-test");
  const fs::path file = dir.Path() / "precious";
  { FILE* f = std::fopen(file.c_str(), "w"); ASSERT_NE(f, nullptr); std::fputs("keep", f); std::fclose(f); }
  SimProcess sim({"--link", file.string()});
  EXPECT_EQ(sim.Wait(), 1);
  EXPECT_TRUE(fs::is_regular_file(file));
}

TEST(Station, BadOptionExitsWithUsageError) {
  SimProcess bad({"--no-such-option"});
  EXPECT_EQ(bad.Wait(), 2);
  SimProcess help({"--help"});
  EXPECT_EQ(help.ReadLine().rfind("usage: weather-station-sim", 0), 0u);
  EXPECT_EQ(help.Wait(), 0);
}

}  // namespace
}  // namespace weathersim
