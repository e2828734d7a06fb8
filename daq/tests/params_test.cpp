// Card parameters, memory functions and the load frame, against the real
// card stand-in process.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "platform/winmsg.h"

namespace morlex_test {
namespace {

struct Box {
  std::string text;
  std::string title;
  uint32_t flags;
};

class MorlexOnCard : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetMessageBoxHook([this](const char* text, const char* title, uint32_t flags) {
      boxes.push_back(Box{text, title, flags});
    });
  }
  void TearDown() override {
    lib.reset();
    sim.reset();
    platform::SetMessageBoxHook(nullptr);
  }

  // Starts the stand-in with `args` and loads the library against it.
  void Start(std::vector<std::string> args) {
    sim = std::make_unique<CardSim>(std::move(args));
    ASSERT_TRUE(sim->Ready()) << sim->Output();
    Load(sim->Folder());
  }
  void Load(const std::string& folder) {
    UseDeviceFolder(folder);
    lib = std::make_unique<Library>();
    ASSERT_TRUE(lib->Loaded()) << lib->Missing();
  }
  // The measurement program's set-up up to the channels.
  void SetUpCard(int16_t type, std::vector<int16_t> channels) {
    ASSERT_EQ(lib->AdSetParam(0, type, 0, 0x300, 5), 0);
    ASSERT_EQ(lib->AdSetChannel(static_cast<int32_t>(channels.size()), channels.data()),
              static_cast<int32_t>(channels.size()));
  }

  std::vector<Box> boxes;
  std::unique_ptr<CardSim> sim;
  std::unique_ptr<Library> lib;
};

bool SameBlock(const morlex::AdParamBlock& a, const morlex::AdParamBlock& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// ---------------------------------------------------------------- load frame

TEST_F(MorlexOnCard, CardResourceComesFromTheDriver) {
  Start({"--type", "2", "--io-base", "0x300", "--irq", "5"});
  int16_t type = 0, base = 0, irq = 0;
  EXPECT_EQ(lib->AdGetCardResource(0, 0, &type, &base, &irq), 0);
  EXPECT_EQ(type, 2);
  EXPECT_EQ(base, 0x300);
  EXPECT_EQ(irq, 5);
  const auto block = lib->Block();
  EXPECT_EQ(block.cardType, 2);
  EXPECT_EQ(block.ioBase, 0x300);
  EXPECT_EQ(block.irqNumber, 5);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(MorlexOnCard, UnknownCardTypeZeroesTheOutputsAndLeavesTheBlock) {
  Start({"--bad-card-type", "7", "--io-base", "0x300", "--irq", "5"});
  int16_t type = 99, base = 99, irq = 99;
  EXPECT_EQ(lib->AdGetCardResource(0, 0, &type, &base, &irq), -1);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(base, 0);
  EXPECT_EQ(irq, 0);
  EXPECT_EQ(lib->Block().cardType, 0);
}

TEST_F(MorlexOnCard, WithoutADriverTheLibraryLoadsAndEveryRequestFails) {
  TempDir empty;
  Load(empty.Path().string());
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Could not guid device name...(Code:-5)");
  EXPECT_EQ(boxes[0].title, "Morlex.Dll Error");
  EXPECT_EQ(boxes[0].flags, platform::MB_ICONQUESTION);

  int16_t type = 42, base = 42, irq = 42;
  EXPECT_EQ(lib->AdGetCardResource(0, 0, &type, &base, &irq), -10);
  EXPECT_EQ(type, 42);  // untouched on a failed request
  EXPECT_EQ(lib->AdSetParam(0, 1, 0, 0x300, 5), -10);
  EXPECT_EQ(lib->AdSetTrigger(1, 1), -10);
  EXPECT_EQ(lib->AdSetInternalClock(1, 2, 3), -10);
  EXPECT_EQ(lib->AdSetXXX(0, 0), -10);
  EXPECT_EQ(lib->AdAllocDataMem(0, 1000), 0);
  EXPECT_EQ(lib->Block().bufferAddress, 0u);
  EXPECT_EQ(lib->AdAllocRingBuf(0, 100, 10), -10);
  EXPECT_EQ(lib->AdCreateSystemThread(0), -10);
  EXPECT_EQ(lib->testAdStartPol(), -1);
  EXPECT_EQ(lib->GetRingBufNum(), 0);
  lib.reset();
  EXPECT_FALSE(LibraryStillMapped());
}

TEST_F(MorlexOnCard, AStaleEndpointIsReportedAsAFailedOpen) {
  // A socket file nobody serves: found by the lookup, refused by the open.
  TempDir folder;
  const std::string path = folder.File(std::string(morlex::kDeviceClassGuid) + "-0");
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);

  Load(folder.Path().string());
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Could not open Qda7100.Sys...(Code:2)");
  EXPECT_EQ(boxes[0].title, "Morlex.Dll Error");
  int16_t type = 0, base = 0, irq = 0;
  EXPECT_EQ(lib->AdGetCardResource(0, 0, &type, &base, &irq), -10);
}

TEST_F(MorlexOnCard, FindCardToolReportsTheStandInsResources) {
  Start({"--type", "2", "--io-base", "0x300", "--irq", "5"});
  const auto found = RunProgram(BinDir() / "morlex-find-card", {},
                                {.workingDir = {}, .environment = {{"QDA7100_DEVICE_DIR", sim->Folder()}}}, std::chrono::seconds(30));
  EXPECT_EQ(found.status, 0) << found.output;
  EXPECT_NE(found.output.find("card type 2, I/O base 0x300, IRQ 5"), std::string::npos) << found.output;

  TempDir empty;
  const auto missing = RunProgram(BinDir() / "morlex-find-card", {},
                                  {.workingDir = {}, .environment = {{"QDA7100_DEVICE_DIR", empty.Path().string()}}},
                                  std::chrono::seconds(30));
  EXPECT_EQ(missing.status, 3) << missing.output;
  EXPECT_NE(missing.output.find("returned -10"), std::string::npos) << missing.output;
}

TEST_F(MorlexOnCard, UnloadReleasesTheLibrarySoTheNextLoadStartsFresh) {
  Start({"--type", "1"});
  SetUpCard(1, {0, 1});
  lib.reset();
  EXPECT_FALSE(LibraryStillMapped());
  Load(sim->Folder());
  EXPECT_EQ(lib->Block().channelCount, 0);  // zeroed again at load
}

// ---------------------------------------------------------------- parameters

TEST_F(MorlexOnCard, ChannelCountLimitsFollowTheCardType) {
  Start({"--type", "2"});
  ASSERT_EQ(lib->AdSetParam(0, 2, 0, 0x300, 5), 0);
  const int16_t four[4] = {7, 6, 5, 4};
  ASSERT_EQ(lib->AdSetChannel(4, four), 4);
  const int16_t five[5] = {0, 1, 2, 3, 4};
  EXPECT_EQ(lib->AdSetChannel(5, five), -1);
  EXPECT_EQ(lib->Block().channelCount, 4);
  const int16_t three[3] = {1, 2, 3};
  EXPECT_EQ(lib->AdSetChannel(3, three), 3);
  auto block = lib->Block();
  EXPECT_EQ(block.channelCount, 3);
  const uint16_t expected[8] = {1, 2, 3, 4, 0, 0, 0, 0};  // entry 3 keeps the earlier 4
  EXPECT_EQ(std::memcmp(block.channelList, expected, sizeof expected), 0);
  EXPECT_EQ(lib->AdSetChannel(0, three), -1);
  EXPECT_EQ(lib->AdSetChannel(2, nullptr), -1);

  // Type 1 takes up to 8; an unknown type none.  The stand-in answers
  // status 1 for a type that is not the card present; the block takes the
  // type all the same.
  ASSERT_EQ(lib->AdSetParam(0, 1, 0, 0x300, 5), 1);
  const int16_t eight[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(lib->AdSetChannel(8, eight), 8);
  EXPECT_EQ(lib->AdSetChannel(9, eight), -1);
  EXPECT_EQ(lib->AdSetParam(0, 3, 0, 0x300, 5), 1);
  EXPECT_EQ(lib->AdSetChannel(1, eight), -1);
}

TEST_F(MorlexOnCard, IntervalLimitsDependOnUnitAndChannels) {
  Start({"--type", "1"});
  EXPECT_EQ(lib->AdSetFreq(0, 1000, 0), -1);  // no channels yet
  SetUpCard(1, {0, 1, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(lib->AdSetFreq(0, 160, 2), 0);
  EXPECT_EQ(lib->AdSetFreq(0, 159, 2), -3);
  EXPECT_EQ(lib->Block().intervalValue, 160);  // the refused value was not stored
  EXPECT_EQ(lib->AdSetFreq(0, 1, 0), 0);
  EXPECT_EQ(lib->AdSetFreq(0, 1, 1), 0);
  EXPECT_EQ(lib->AdSetFreq(0, 65535, 1), 0);  // 16-bit unsigned
  EXPECT_EQ(lib->Block().intervalValue, 65535);
  EXPECT_EQ(lib->AdSetFreq(0, 500, 3), -2);
  auto block = lib->Block();
  EXPECT_EQ(block.intervalValue, 65535);
  EXPECT_EQ(block.intervalUnit, 1);
}

TEST_F(MorlexOnCard, ModeZeroMeansThreeAndRejectedModesLeaveTheBlock) {
  Start({"--type", "2"});
  SetUpCard(2, {0, 1, 2, 3});
  ASSERT_EQ(lib->AdSetTrigger(3, 1), 0);
  EXPECT_EQ(lib->AdSetParam(0, 2, 0, 0x300, 5), 0);
  auto block = lib->Block();
  EXPECT_EQ(block.mode, 3);
  EXPECT_EQ(block.extStartTrigger, 0);  // AdSetParam clears the trigger fields
  EXPECT_EQ(block.extStopTrigger, 0);
  EXPECT_EQ(block.triggerEdge, 0);

  ASSERT_EQ(lib->AdSetTrigger(3, 1), 0);
  const auto before = lib->Block();
  EXPECT_EQ(lib->AdSetParam(0, 1, 4, 0x200, 7), -1);
  EXPECT_EQ(lib->AdSetParam(0, 1, -1, 0x200, 7), -1);
  EXPECT_TRUE(SameBlock(before, lib->Block()));

  EXPECT_EQ(lib->AdSetParamAuto(0, 4), -3);
  EXPECT_EQ(lib->AdSetParamAuto(0, -1), -3);  // 0xFFFF, not a small negative mode
  EXPECT_TRUE(SameBlock(before, lib->Block()));
  EXPECT_EQ(lib->AdSetParamAuto(0, 2), 0);
  block = lib->Block();
  EXPECT_EQ(block.mode, 2);
  EXPECT_EQ(block.cardType, 2);  // kept
  EXPECT_EQ(block.ioBase, 0x300);
  EXPECT_EQ(block.extStartTrigger, 0);
}

TEST_F(MorlexOnCard, TriggerKindsSetTheirFlags) {
  Start({"--type", "2"});
  struct Case {
    int32_t kind, edge;
    uint16_t start, stop, edgeFlag;
  };
  const Case cases[] = {{0, 1, 0, 0, 1}, {1, 1, 1, 0, 1}, {2, 0, 0, 1, 0}, {3, 7, 1, 1, 1}, {7, 1, 0, 0, 1},
                        {0x10001, 0x10000, 1, 0, 0}};  // only the low 16 bits count
  for (const Case& c : cases) {
    ASSERT_EQ(lib->AdSetTrigger(c.kind, c.edge), 0) << c.kind;
    const auto block = lib->Block();
    EXPECT_EQ(block.extStartTrigger, c.start) << c.kind;
    EXPECT_EQ(block.extStopTrigger, c.stop) << c.kind;
    EXPECT_EQ(block.triggerEdge, c.edgeFlag) << c.kind;
  }
}

TEST_F(MorlexOnCard, LimitTriggerCodesAndChecks) {
  Start({"--type", "1"});
  ASSERT_EQ(lib->AdSetParam(0, 1, 0, 0x300, 5), 0);
  EXPECT_EQ(lib->AdSetLimitTrg(2.0, 0.5, 3), 0);
  auto block = lib->Block();
  EXPECT_EQ(block.limitHighCode, 3276);
  EXPECT_EQ(block.limitLowCode, 819);
  EXPECT_EQ(block.limitMode, 3);

  EXPECT_EQ(lib->AdSetLimitTrg(0.5, 2.0, 3), -2);
  block = lib->Block();
  EXPECT_EQ(block.limitHighCode, 3276);  // codes unchanged
  EXPECT_EQ(block.limitMode, 3);

  EXPECT_EQ(lib->AdSetLimitTrg(1.0, 0.5, 2), 0);  // mode stored before the checks
  EXPECT_EQ(lib->AdSetLimitTrg(3.0, 0.5, 2), 0);  // upper unused in mode 2
  EXPECT_EQ(lib->AdSetLimitTrg(1.0, 0.5, 4), -3);
  EXPECT_EQ(lib->Block().limitMode, 0);

  ASSERT_EQ(lib->AdSetParam(0, 2, 0, 0x300, 5), 1);  // not the card present: status 1, block set
  EXPECT_EQ(lib->AdSetLimitTrg(0.0, -1.0, 1), 0);
  EXPECT_EQ(lib->Block().limitHighCode, 2048);
  EXPECT_EQ(lib->AdSetLimitTrg(5.0, -1.0, 1), -2);
  EXPECT_EQ(lib->Block().limitMode, 1);

  EXPECT_EQ(lib->AdSetParam(0, 3, 0, 0x300, 5), 1);
  EXPECT_EQ(lib->AdSetLimitTrg(1.0, 0.5, 1), -1);
}

TEST_F(MorlexOnCard, ClockSettersKeepTheLow16Bits) {
  Start({"--type", "2"});
  EXPECT_EQ(lib->AdSetInternalClock(0x12345, 2, 3), 0);
  EXPECT_EQ(lib->AdSetExternalClock(9, 0x10004, -1), 0);
  const auto block = lib->Block();
  EXPECT_EQ(block.internalClockArg, 0x2345);
  EXPECT_EQ(block.externalClockArg, 9);
  EXPECT_EQ(block.clockArg2, 4);
  EXPECT_EQ(block.clockArg3, 0xFFFF);
  EXPECT_EQ(lib->AdSetXXX(1, 2), 0);
}

TEST_F(MorlexOnCard, OneShotSetUpPerCardType) {
  Start({"--type", "1"});
  EXPECT_EQ(lib->AdSetOneParam(0, 1, 0x300), 0);
  const auto block = lib->Block();
  EXPECT_EQ(block.mode, 1);
  EXPECT_EQ(block.irqNumber, 255);
  EXPECT_EQ(block.channelCount, 8);
  const uint16_t all[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(std::memcmp(block.channelList, all, sizeof all), 0);
  EXPECT_EQ(block.intervalValue, 160);
  EXPECT_EQ(block.intervalUnit, 2);
  EXPECT_EQ(block.samplesPerChannel, 1u);
  EXPECT_EQ(block.totalSamples, 8u);
}

// ---------------------------------------------------------------- memory

TEST_F(MorlexOnCard, DataBufferSizeCountAndDoubleFree) {
  Start({"--type", "2"});
  SetUpCard(2, {0, 1, 2, 3});
  EXPECT_EQ(lib->AdSetDataCount(500), 0);
  auto block = lib->Block();
  EXPECT_EQ(block.totalSamples, 2000u);
  EXPECT_EQ(block.bufferBytes, 2u * 500 * 4 + 32);

  const MorlexAddr buffer = lib->AdAllocDataMem(0, 1000);
  ASSERT_NE(buffer, 0);
  block = lib->Block();
  EXPECT_EQ(block.bufferBytes, 8032u);
  EXPECT_EQ(block.samplesPerChannel, 1000u);
  EXPECT_EQ(block.totalSamples, 2000u);  // not touched by the allocation
  EXPECT_EQ(block.bufferAddress, static_cast<uint32_t>(buffer));
  const auto* bytes = reinterpret_cast<const uint8_t*>(buffer);
  EXPECT_EQ(std::count(bytes, bytes + 8032, 0), 8032);

  EXPECT_EQ(lib->AdFreeDataMem(), 0);
  EXPECT_EQ(lib->AdFreeDataMem(), 0);
  block = lib->Block();
  EXPECT_EQ(block.bufferAddress, 0u);
  EXPECT_EQ(block.bufferBytes, 8032u);  // the size stays
}

TEST_F(MorlexOnCard, DataCountNeedsChannelsAndASizeThatFits) {
  Start({"--type", "2"});
  EXPECT_EQ(lib->AdSetDataCount(100), -1);
  SetUpCard(2, {0, 1, 2, 3});
  EXPECT_EQ(lib->AdSetDataCount(0x40000000), -2);  // 2 * 2^30 * 4 + 32 overflows 32 bits
  EXPECT_EQ(lib->AdAllocDataMem(0, -1), 0);
  EXPECT_EQ(lib->Block().bufferBytes, 0u);
}

TEST_F(MorlexOnCard, MemCopyAndCallerBlocks) {
  Start({"--type", "2"});
  char text[] = "ABCDE";
  char other[] = "vwxyz";
  const auto dst = reinterpret_cast<MorlexAddr>(other);
  EXPECT_EQ(lib->VbMemCopy(dst, reinterpret_cast<MorlexAddr>(text), 0), dst);
  EXPECT_STREQ(other, "vwxyz");
  EXPECT_EQ(lib->VbMemCopy(dst, reinterpret_cast<MorlexAddr>(text), 3), dst);
  EXPECT_STREQ(other, "ABCyz");
  // Byte by byte forward: a destination one byte into the source repeats the first byte.
  lib->VbMemCopy(reinterpret_cast<MorlexAddr>(text + 1), reinterpret_cast<MorlexAddr>(text), 4);
  EXPECT_STREQ(text, "AAAAA");
  EXPECT_EQ(lib->VbMemCopy(0, reinterpret_cast<MorlexAddr>(text), 5), 0);

  const MorlexAddr block = lib->AdAllocMem(0, 64);
  ASSERT_NE(block, 0);
  const auto* bytes = reinterpret_cast<const uint8_t*>(block);
  EXPECT_EQ(std::count(bytes, bytes + 64, 0), 64);
  EXPECT_EQ(lib->AdFreeMem(block), 0);
  EXPECT_EQ(lib->AdAllocMem(0, 0), 0);
  EXPECT_EQ(lib->AdAllocMem(0, -5), 0);
}

// ---------------------------------------------------------------- driver faults

TEST_F(MorlexOnCard, DriverStatusWordIsPassedThrough) {
  Start({"--type", "2", "--status", "IOCTL_AD_SET_PARAM=5"});
  EXPECT_EQ(lib->AdSetParam(0, 2, 0, 0x300, 5), 5);
  EXPECT_EQ(lib->AdSetParamAuto(0, 1), 5);
  EXPECT_EQ(lib->AdSetOneParam(0, 2, 0x300), 5);
}

TEST_F(MorlexOnCard, FailedRequestsGiveMinusTenAndKeepStoredFields) {
  Start({"--type", "2", "--fail", "IOCTL_AD_SET_FREQ", "--fail", "IOCTL_AD_SET_DATA_MEM"});
  SetUpCard(2, {0, 1, 2, 3});
  EXPECT_EQ(lib->AdSetFreq(0, 80, 2), -10);
  EXPECT_EQ(lib->Block().intervalValue, 80);  // stored before the request
  EXPECT_EQ(lib->AdAllocDataMem(0, 1000), 0);
  EXPECT_EQ(lib->Block().bufferAddress, 0u);
  EXPECT_EQ(lib->AdSetOneParam(0, 2, 0x300), -4);
}

TEST_F(MorlexOnCard, ShortOrOversizedRepliesAreFailedRequests) {
  Start({"--type", "2", "--short-reply", "IOCTL_AD_GET_RESOURCE", "--short-reply", "IOCTL_AD_SET_PARAM"});
  int16_t type = 11, base = 11, irq = 11;
  EXPECT_EQ(lib->AdGetCardResource(0, 0, &type, &base, &irq), -10);
  EXPECT_EQ(type, 11);
  EXPECT_EQ(lib->AdSetParam(0, 2, 0, 0x300, 5), -10);
  lib.reset();
  sim = std::make_unique<CardSim>(std::vector<std::string>{"--type", "2", "--oversize-reply", "IOCTL_AD_GET_RESOURCE"});
  ASSERT_TRUE(sim->Ready()) << sim->Output();
  Load(sim->Folder());
  EXPECT_EQ(lib->AdGetCardResource(0, 0, &type, &base, &irq), -10);
  EXPECT_EQ(type, 11);
}

TEST_F(MorlexOnCard, ADriverThatDiedFailsEveryLaterRequest) {
  Start({"--type", "2"});
  SetUpCard(2, {0, 1, 2, 3});
  sim->Kill();
  int16_t type = 0, base = 0, irq = 0;
  EXPECT_EQ(lib->AdGetCardResource(0, 0, &type, &base, &irq), -10);
  EXPECT_EQ(lib->AdSetParam(0, 2, 0, 0x300, 5), -10);
  EXPECT_EQ(lib->AdSetTrigger(0, 1), -10);
  EXPECT_EQ(lib->AdSetFreq(0, 80, 2), -10);
  EXPECT_EQ(lib->AdSetXXX(0, 0), -10);
  EXPECT_EQ(lib->AdAllocDataMem(0, 1000), 0);
  EXPECT_EQ(lib->AdAllocTrgBuf(100, 1, 2, 5, 20), -10);
  EXPECT_EQ(lib->GetRingBufNum(), 0);
  EXPECT_EQ(lib->AdSetChannel(2, Channels({0, 1}).data()), -10);
}

}  // namespace
}  // namespace morlex_test

namespace morlex_test {
namespace {

// The dynamic symbol table lists every export under its name (the two
// decorated ones as version "8") and nothing of the library's insides.
TEST(MorlexExports, DynamicSymbolTableListsExactlyTheApi) {
  const auto nm = RunProgram("/usr/bin/nm", {"-D", "--defined-only", (BinDir() / "libMorlex.so").string()}, {},
                             std::chrono::seconds(30));
  ASSERT_EQ(nm.status, 0) << nm.output;
  std::set<std::string> names;
  std::istringstream lines(nm.output);
  for (std::string line; std::getline(lines, line);) {
    const auto space = line.rfind(' ');
    if (space != std::string::npos) names.insert(line.substr(space + 1));
  }
  const std::set<std::string> api = {
      "AdGetCardResource", "AdSetParam", "AdSetParamAuto", "AdSetOneParam", "AdSetChannel", "AdSetTrigger",
      "AdSetFreq", "AdSetInternalClock", "AdSetExternalClock", "AdSetDataCount", "AdSetLimitTrg", "_AdSetXXX@8",
      "AdAllocDataMem", "AdFreeDataMem", "AdAllocMem", "AdFreeMem", "VbMemCopy", "AdStartPolModeThread",
      "AdStartIrqVxdMode", "_AdStartIrq@8", "AdStopIrqMode", "AdAllocRingBuf", "AdFreeRingBuf",
      "AdStartIrqRingMode", "GetRingBufNum", "AdGetRingBuf", "VbGetRingBuf", "AdGetRingBufConst",
      "VbGetRingBufConst", "AdAllocTrgBuf", "AdFreeTrgBuf", "AdStartLimitTrgMode", "AdReStartLimitTrgMode",
      "AdStopLimitTrgMode", "AdGetTrgData", "AdOneShot", "AdStopOneshotModeThread", "testAdStartPol",
      "testAdStopPol", "AdCreateSystemThread", "AdGetParamBlock"};
  // What the linker adds by itself: the version node's name and section bounds.
  const std::set<std::string> linker = {"8", "__bss_start", "_edata", "_end"};
  for (const auto& name : api) EXPECT_EQ(names.count(name), 1u) << name;
  for (const auto& name : names) EXPECT_TRUE(api.count(name) != 0 || linker.count(name) != 0) << name;
}

}  // namespace
}  // namespace morlex_test
