#include "analysis/sweep.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "blocks.h"
#include "fakes/fakes.h"

namespace varnel::analysis {
namespace {

using testing::ConstantBlock;
using testing::RawBlock;

class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "varnel-sweep-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string Path() const { return path_.string(); }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path_)) names.push_back(e.path().filename().string());
    return names;
  }

 private:
  std::filesystem::path path_;
};

std::string Slurp(const std::string& path) {
  std::string out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

int16_t Int16At(const std::string& bytes, std::size_t at) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) |
                                                    (static_cast<uint8_t>(bytes[at + 1]) << 8)));
}

struct WrittenFile {
  std::string path;
  int channels;
};

class SweepTest : public ::testing::Test {
 protected:
  SweepTest() : sweep(form, state, port, clock) {}
  void SetUp() override {
    form = MakeDesignForm();
    form.Check3.checked = false;
    BuildFrequencyTables(form, state.tables);
    clock.now = text::LocalDateTime{2004, 2, 4, 15, 30, 5, 0};
    sweep.dtSave = [this] {
      log.push_back("save");
      dcAtSave.push_back(state.results[0].DCc);
    };
    sweep.plotData = [this] { log.push_back("plot"); };
  }
  // Records the files the peak-triggered save would write, without writing.
  void RecordWrites() {
    sweep.writeWaveform = [this](const std::string& path, const WaveStore&, int channels) {
      written.push_back({path, channels});
      return true;
    };
  }
  void Run(SampleBlock raw) {
    state.block = std::move(raw);
    sweep.DTSyori();
  }

  PolModeForm form;
  MeasureState state;
  fakes::FakeSerialPort port;
  fakes::ManualClock clock;
  Sweep sweep;
  std::vector<std::string> log;
  std::vector<float> dcAtSave;
  std::vector<WrittenFile> written;
};

TEST(LinesForGroup, FourCodes) {
  EXPECT_EQ(LinesForGroup(0), (LineCodes{true, false}));
  EXPECT_EQ(LinesForGroup(1), (LineCodes{false, false}));
  EXPECT_EQ(LinesForGroup(2), (LineCodes{false, true}));
  EXPECT_EQ(LinesForGroup(3), (LineCodes{true, true}));
}

TEST_F(SweepTest, FourGroupsSwitchTheLinesAheadAndEndTheSweep) {
  state.groupCount = 4;
  state.groupCounter = 0;
  struct Expect {
    bool rts, dtr;
  };
  // After the block of group g the lines show group g + 1.
  const Expect after[4] = {{false, false}, {false, true}, {true, true}, {true, false}};
  for (int g = 0; g < 4; ++g) {
    SCOPED_TRACE(g);
    Run(ConstantBlock(100 * (g + 1)));
    EXPECT_EQ(state.groupCounter, (g + 1) % 4);
    EXPECT_EQ(port.rts, after[g].rts);
    EXPECT_EQ(port.dtr, after[g].dtr);
    EXPECT_EQ(form.Label21[1].backColor, after[g].rts ? kRed : kNavy);
    EXPECT_EQ(form.Label21[0].backColor, after[g].dtr ? kRed : kNavy);
  }
  EXPECT_EQ(log, (std::vector<std::string>{"save", "plot"}));
  // Group g's block went to channel indexes 4g..4g+3: 100 (g+1) counts each.
  for (int n = 0; n < 16; ++n) {
    const double counts = 100.0 * (n / 4 + 1);
    EXPECT_NEAR(state.results[static_cast<std::size_t>(n)].DCc, testing::Milliamps(counts, 330), 1e-4) << n;
    EXPECT_EQ(state.peaks[static_cast<std::size_t>(n)], counts) << n;
    EXPECT_EQ(state.waves.At(0, n), counts) << n;
    EXPECT_EQ(state.waves.At(1255, n), counts) << n;
  }
  // The next sweep starts with the storage, which sees the whole last sweep
  // and none of the new block.
  Run(ConstantBlock(0));
  EXPECT_EQ(log, (std::vector<std::string>{"save", "plot", "save"}));
  ASSERT_EQ(dcAtSave.size(), 2u);
  EXPECT_EQ(dcAtSave[0], 0.0f);
  EXPECT_NEAR(dcAtSave[1], testing::Milliamps(100, 330), 1e-4);
}

TEST_F(SweepTest, LinesThatCannotBeSetAreSkippedQuietly) {
  port.linesFail = true;  // a pseudo-terminal takes no DTR/RTS
  state.groupCount = 2;
  Run(ConstantBlock(1024));
  EXPECT_EQ(form.Label21[1].backColor, kNavy);  // group 1: RTS released
  EXPECT_EQ(form.Label21[0].backColor, kNavy);
  Run(ConstantBlock(1024));
  EXPECT_EQ(form.Label21[1].backColor, kRed);  // group 0: RTS asserted
  EXPECT_EQ(form.LDC[4].text, "7.576");       // the block was still analysed
  EXPECT_EQ(log, (std::vector<std::string>{"save", "plot"}));
}

TEST_F(SweepTest, SingleGroupStoresAndPlotsEveryBlock) {
  state.groupCount = 1;
  Run(ConstantBlock(0));
  Run(ConstantBlock(0));
  EXPECT_EQ(log, (std::vector<std::string>{"save", "plot", "save", "plot"}));
  EXPECT_EQ(state.groupCounter, 0);
  EXPECT_TRUE(port.rts);
  EXPECT_FALSE(port.dtr);
}

TEST_F(SweepTest, CounterFollowsAChangedGroupCount) {
  state.groupCount = 4;
  state.groupCounter = 3;
  state.groupCount = 2;  // "8ch" chosen while group 3 was being acquired
  Run(ConstantBlock(0));
  // The block counts as group 3, which is not the last of two groups.
  EXPECT_EQ(state.groupCounter, 0);
  EXPECT_TRUE(log.empty());
}

TEST_F(SweepTest, ThrowingHooksEndOnlyTheirOwnCall) {
  state.groupCount = 1;
  sweep.dtSave = [] { throw std::runtime_error("disk full"); };
  sweep.plotData = [] { throw 1; };
  Run(ConstantBlock(1024));
  EXPECT_EQ(form.LDC[0].text, "7.576");
  EXPECT_EQ(state.waves.At(0, 0), 1024);
}

TEST_F(SweepTest, ThresholdCountsAddUpOverBlocks) {
  // 312.5 ohm: 1 mA is 128 counts.  Levels 0.5, 1, 2, 5 mA = 64, 128, 256, 640.
  form.Text1.text = "312.5";
  state.groupCount = 1;
  Run(RawBlock([](int k, int ch) { return ch == 0 && k == 502 ? 300 : 0; }));  // position 500, a boundary
  Run(RawBlock([](int k, int ch) { return ch == 0 && k == 302 ? 128 : 0; }));
  const ChannelTotals& t = state.results[0];
  // The fundamental of a lone spike sets its own phase, so only the time
  // counts and the number of levels reached are fixed by hand here.
  EXPECT_EQ(t.TimeCount, (std::array<int32_t, 4>{2, 2, 1, 0}));
  EXPECT_GE(t.HalfCycleCount[0], 2);
  EXPECT_EQ(t.HalfCycleCount[3], 0);
  EXPECT_EQ(state.results[1].TimeCount, (std::array<int32_t, 4>{}));
  EXPECT_EQ(sweep.LastReport(0).counts.time, (std::array<int32_t, 4>{1, 1, 0, 0}));
}

TEST_F(SweepTest, HalfCyclesFollowThePhaseOfTheFundamental) {
  // A 50 Hz sine delayed by an eighth period has its zero crossings at
  // moving-sum positions 31.25 + 125 n: offset 31.  It reaches 0.5 mA
  // (64 counts at 312.5 ohm) in every half cycle; a spike of -700 at position
  // 156 (the boundary 31 + 125) reaches 5 mA (640) in two half cycles.
  form.Text1.text = "312.5";
  state.groupCount = 1;
  Run(RawBlock([](int k, int ch) {
    if (ch != 0) return 0;
    if (k == 158) return -700;
    return testing::Sine(300, 250, k - 2 - 31.25);
  }));
  const ChannelTotals& t = state.results[0];
  EXPECT_EQ(t.HalfCycleCount, (std::array<int32_t, 4>{10, 10, 10, 2}));
  EXPECT_EQ(t.TimeCount[3], 1);
}

TEST_F(SweepTest, WaveStoreSmallerThanTheSweepTakesOnlyItsChannels) {
  state.waves.Reset(4);  // sized for "4ch", then "16ch" chosen
  state.groupCount = 4;
  form.Check3.checked = true;
  RecordWrites();
  for (int g = 0; g < 4; ++g) Run(ConstantBlock(2000 + g));
  EXPECT_EQ(state.waves.Channels(), 4);
  EXPECT_EQ(state.waves.At(1255, 3), 2000);
  // Channel 15 passed its trigger: the file holds the four channels there are.
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].channels, 4);
  EXPECT_NE(written[0].path.find("ch16Peak"), std::string::npos);
}

TEST_F(SweepTest, HigherOfTwoTriggeredChannelsIsSaved) {
  ScratchDir dir;
  form.Text4.text = dir.Path() + "/気象・電流data.csv";
  form.Text1.text = "256";  // 1024 counts = 9.765625 mA, 512 = 4.8828125 mA
  form.Check3.checked = true;
  state.groupCount = 1;  // the store holds 16 channels; the file takes the sweep's 4
  form.Combo3[2].text = "100";
  Run(RawBlock([](int k, int ch) {
    const int peak[4] = {1024, 512, 2048, 0};
    return k == 600 ? peak[ch] : 0;
  }));
  // Channels 1 and 2 (9.77 and 4.88 mA) pass their 1 mA; channel 3 (19.5 mA)
  // stays under 100 mA.  The file carries channel 2's number and peak.
  ASSERT_EQ(dir.Names(), (std::vector<std::string>{"ch2Peak4.88mA20040204-1530Wev.dat"}));
  const std::string bytes = Slurp(dir.Path() + "/ch2Peak4.88mA20040204-1530Wev.dat");
  ASSERT_EQ(bytes.size(), 10052u);
  EXPECT_EQ(Int16At(bytes, 0), 1255);
  EXPECT_EQ(Int16At(bytes, 2), 3);
  // Sample k of channel index n is at 4 + 2 (1256 n + k).
  EXPECT_EQ(Int16At(bytes, 4 + 2 * (1256 * 1 + 600)), 512);
  EXPECT_EQ(Int16At(bytes, 4 + 2 * (1256 * 2 + 600)), 2048);
  EXPECT_EQ(Int16At(bytes, 4 + 2 * (1256 * 1 + 599)), 0);
}

TEST_F(SweepTest, PeakExactlyAtItsTriggerWritesNoFile) {
  RecordWrites();
  form.Text1.text = "256";
  form.Check3.checked = true;
  state.groupCount = 1;
  for (auto& c : form.Combo3) c.text = "9.765625";  // exactly 1024 counts at 256 ohm
  Run(RawBlock([](int k, int) { return k == 10 ? -1024 : 0; }));
  EXPECT_TRUE(written.empty());
  Run(RawBlock([](int k, int ch) { return k == 10 && ch == 3 ? 1025 : 0; }));
  ASSERT_EQ(written.size(), 1u);
  EXPECT_NE(written[0].path.find("ch4Peak"), std::string::npos);
}

TEST_F(SweepTest, TriggerCheckOnlyAtTheEndOfASweepAndOnlyWhenTicked) {
  RecordWrites();
  state.groupCount = 2;
  state.peaks[12] = 6000;  // left from an earlier "16ch" run: not in this sweep
  Run(ConstantBlock(0));
  form.Check3.checked = true;
  Run(ConstantBlock(0));
  EXPECT_TRUE(written.empty());
  Run(ConstantBlock(1000));  // group 0 over its trigger, but not yet the sweep's end
  EXPECT_TRUE(written.empty());
  form.Check3.checked = false;
  Run(ConstantBlock(0));
  EXPECT_TRUE(written.empty());
  form.Check3.checked = true;
  Run(ConstantBlock(1000));  // 7.398 mA on channels 1..4
  Run(ConstantBlock(0));
  ASSERT_EQ(written.size(), 1u);
  EXPECT_NE(written[0].path.find("ch4Peak7.4mA"), std::string::npos);
  EXPECT_EQ(written[0].channels, 8);
}

TEST_F(SweepTest, FileNameForChannelThreeAt1234Milliamps) {
  RecordWrites();
  form.Text4.text = "/var/tmp/気象・電流data.csv";
  form.Text1.text = "244.140625";  // 1234 counts = 12.34 mA
  form.Check3.checked = true;
  state.groupCount = 1;
  clock.now = text::LocalDateTime{2004, 2, 4, 15, 30, 59, 999};
  Run(RawBlock([](int k, int ch) { return ch == 2 && k == 77 ? 1234 : 0; }));
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].path, "/var/tmp/ch3Peak12.34mA20040204-1530Wev.dat");
  EXPECT_EQ(PeakFileName("/var/tmp/x.csv", 2, 12.34, clock.now), "/var/tmp/ch3Peak12.34mA20040204-1530Wev.dat");
  EXPECT_EQ(PeakFileName("/d/x.csv", 15, 7.0, clock.now), "/d/ch16Peak7.0mA20040204-1530Wev.dat");
}

TEST_F(SweepTest, DataPathWithoutAFolderNamesAFileInTheWorkingFolder) {
  RecordWrites();
  form.Text4.text = "気象・電流data.csv";
  form.Check3.checked = true;
  state.groupCount = 1;
  Run(ConstantBlock(500));  // 3.699 mA at 330 ohm, on all four channels
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].path, "ch4Peak3.7mA20040204-1530Wev.dat");
}

TEST_F(SweepTest, NoUsableShuntCountsNothingAndSavesNothing) {
  RecordWrites();
  form.Text1.text = "0";
  form.Check3.checked = true;
  state.groupCount = 1;
  Run(ConstantBlock(3000));
  EXPECT_TRUE(written.empty());
  EXPECT_EQ(state.results[0].TimeCount, (std::array<int32_t, 4>{}));
  EXPECT_EQ(state.results[0].DCc, 0.0f);
  EXPECT_EQ(state.peaks[0], 3000.0f);
  EXPECT_EQ(state.waves.At(0, 0), 3000);
}

TEST_F(SweepTest, FileThatCannotBeWrittenIsSkippedQuietly) {
  form.Text4.text = "/nonexistent-folder-of-varnel/data.csv";
  form.Check3.checked = true;
  state.groupCount = 1;
  Run(ConstantBlock(1000));
  Run(ConstantBlock(1000));
  EXPECT_EQ(state.groupCounter, 0);
  EXPECT_FALSE(std::filesystem::exists("/nonexistent-folder-of-varnel"));
}

}  // namespace
}  // namespace varnel::analysis
