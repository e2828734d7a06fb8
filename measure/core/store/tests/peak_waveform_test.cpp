#include "store/peak_waveform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "analysis/sweep.h"
#include "analysis/tests/blocks.h"
#include "child_process.h"
#include "fakes/fakes.h"
#include "files.h"

namespace varnel::store {
namespace {

using analysis::testing::ConstantBlock;
using analysis::testing::RawBlock;

using lw::testing::I16At;
using lw::testing::ReadFile;
using lw::testing::TempDir;

std::vector<std::string> NamesIn(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
  return names;
}

struct WrittenFile {
  std::string path;
  int channels;
};

// A sweep whose end runs the peak-triggered save, as the program wires them.
class PeakWaveformSaveTest : public ::testing::Test {
 protected:
  PeakWaveformSaveTest() : sweep(form, state), save(form, state, clock) {}
  void SetUp() override {
    form = MakeDesignForm();
    form.Check3.checked = false;
    analysis::BuildFrequencyTables(form, state.tables);
    clock.now = text::LocalDateTime{2004, 2, 4, 15, 30, 5, 0};
    sweep.peakSave = [this] { save.Save(); };
  }
  // Records the files the save would write, without writing.
  void RecordWrites() {
    save.writeWaveform = [this](const std::string& path, const WaveStore&, int channels) {
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
  fakes::ManualClock clock;
  analysis::Sweep sweep;
  PeakWaveformSave save;
  std::vector<WrittenFile> written;
};

TEST_F(PeakWaveformSaveTest, WaveStoreSmallerThanTheSweepTakesOnlyItsChannels) {
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

TEST_F(PeakWaveformSaveTest, HigherOfTwoTriggeredChannelsIsSaved) {
  TempDir dir;
  form.Text4.text = dir.File("気象・電流data.csv");
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
  ASSERT_EQ(NamesIn(dir.Path()), (std::vector<std::string>{"ch2Peak4.88mA20040204-1530Wev.dat"}));
  const std::string bytes = ReadFile(dir.Path() / "ch2Peak4.88mA20040204-1530Wev.dat");
  ASSERT_EQ(bytes.size(), 10052u);
  EXPECT_EQ(I16At(bytes, 0), 1255);
  EXPECT_EQ(I16At(bytes, 2), 3);
  // Sample k of channel index n is at 4 + 2 (1256 n + k).
  EXPECT_EQ(I16At(bytes, 4 + 2 * (1256 * 1 + 600)), 512);
  EXPECT_EQ(I16At(bytes, 4 + 2 * (1256 * 2 + 600)), 2048);
  EXPECT_EQ(I16At(bytes, 4 + 2 * (1256 * 1 + 599)), 0);
}

TEST_F(PeakWaveformSaveTest, PeakExactlyAtItsTriggerWritesNoFile) {
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

TEST_F(PeakWaveformSaveTest, TriggerCheckOnlyAtTheEndOfASweepAndOnlyWhenTicked) {
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

TEST_F(PeakWaveformSaveTest, FileNameForChannelThreeAt1234Milliamps) {
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

TEST_F(PeakWaveformSaveTest, DataPathWithoutAFolderNamesAFileInTheWorkingFolder) {
  RecordWrites();
  form.Text4.text = "気象・電流data.csv";
  form.Check3.checked = true;
  state.groupCount = 1;
  Run(ConstantBlock(500));  // 3.699 mA at 330 ohm, on all four channels
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].path, "ch4Peak3.7mA20040204-1530Wev.dat");
}

TEST_F(PeakWaveformSaveTest, NoUsableShuntCountsNothingAndSavesNothing) {
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

TEST_F(PeakWaveformSaveTest, FileThatCannotBeWrittenIsSkippedQuietly) {
  form.Text4.text = "/nonexistent-folder-of-varnel/data.csv";
  form.Check3.checked = true;
  state.groupCount = 1;
  Run(ConstantBlock(1000));
  Run(ConstantBlock(1000));
  EXPECT_EQ(state.groupCounter, 0);
  EXPECT_FALSE(std::filesystem::exists("/nonexistent-folder-of-varnel"));
}

}  // namespace
}  // namespace varnel::store
