// The waveform CSV export, with the save dialog answered by the test.
#include "graph/csv_export.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "files.h"
#include "fakes/fakes.h"

namespace varnel::graph {
namespace {

namespace fs = std::filesystem;

using lw::testing::TempDir;

std::size_t Entries(const TempDir& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()));
}

std::string Slurp(const std::string& path) { return lw::testing::ReadFile(path); }

// Splits on CR LF; every line must end with it.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      out.push_back("<no CR LF>" + text.substr(start));
      break;
    }
    out.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return out;
}

class AnsweringDialog : public SaveFileDialog {
 public:
  std::optional<std::string> answer;
  std::vector<SaveDialogRequest> asked;
  std::optional<std::string> AskSavePath(const SaveDialogRequest& request) override {
    asked.push_back(request);
    return answer;
  }
};

// The state after a 4-channel, 1250-sample, 80 us acquisition: entries
// 0..5024 hold signed counts (code - 2048).
MeasureState Acquired(int16_t cardType) {
  MeasureState s;
  s.card.cardType = cardType;
  s.chanCount = 4;
  s.sampCount = 1250;
  s.sampInterval = 80;
  s.sampUnit = 2;
  s.blockCount = 5000;
  s.block.assign(5057, 0);
  return s;
}

struct Fixture {
  TempDir dir;
  AnsweringDialog dialog;
  fakes::RecordingMessageBoxes boxes;
  store::DataFile dataFile;

  void Run(const MeasureState& state) {
    CsvExport exporter(dialog, boxes, state, dataFile, "/opt/varnel/bin");
    exporter.IDB_SAVECSV_Click();
  }
  bool ShowedOnly(const char* text, const char* title) const {
    return boxes.shown.size() == 1 && boxes.shown[0].text == text && boxes.shown[0].title == title;
  }
};

TEST(CsvExportDialog, AsksForACsvOrAnyFileInTheProgramFolderWithOverwritePrompt) {
  Fixture f;
  f.dialog.answer = std::nullopt;
  f.Run(Acquired(2));
  ASSERT_EQ(f.dialog.asked.size(), 1u);
  const SaveDialogRequest& r = f.dialog.asked[0];
  EXPECT_EQ(r.fileName, "");
  EXPECT_EQ(r.filters, (std::vector<FileFilter>{{"CSV files{*.csv}", "*.csv"}, {"All files{*.*}", "*.*"}}));
  EXPECT_EQ(r.initialFolder, "/opt/varnel/bin");
  EXPECT_TRUE(r.overwritePrompt);
  EXPECT_TRUE(r.cancelIsFailure);
  EXPECT_EQ(r.defaultExtension, "");
}

TEST(CsvExportDialog, FilterTextSplitsIntoDescriptionPatternPairs) {
  EXPECT_EQ(ParseDialogFilter("A|*.a|B|*.b|C"), (std::vector<FileFilter>{{"A", "*.a"}, {"B", "*.b"}}));
  EXPECT_TRUE(ParseDialogFilter("").empty());
}

TEST(CsvExportDialog, CancelAsksForAFileAndCreatesNothing) {
  Fixture f;
  f.dialog.answer = std::nullopt;
  f.Run(Acquired(2));
  EXPECT_TRUE(f.ShowedOnly("ﾌｧｲﾙを選択して下さい。", "error"));
  EXPECT_EQ(Entries(f.dir), 0u);
  // An empty answer is no file either.
  Fixture g;
  g.dialog.answer = "";
  g.Run(Acquired(2));
  EXPECT_TRUE(g.ShowedOnly("ﾌｧｲﾙを選択して下さい。", "error"));
}

TEST(CsvExportFile, BeforeTheFirstAcquisitionTheFileIsCreatedEmptyAndReportedSaved) {
  Fixture f;
  f.dialog.answer = f.dir.File("empty.csv");
  MeasureState never;  // every setting 0, BlockCount 0
  f.Run(never);
  EXPECT_TRUE(f.ShowedOnly("ﾌｧｲﾙ保存を終了しました。", "ﾌｧｲﾙ保存"));
  ASSERT_TRUE(fs::exists(f.dir.File("empty.csv")));
  EXPECT_EQ(fs::file_size(f.dir.File("empty.csv")), 0u);
}

TEST(CsvExportFile, BipolarBlockGivesOneLinePerFrameWithTimesAndVolts) {
  Fixture f;
  f.dialog.answer = f.dir.File("wave.csv");
  MeasureState s = Acquired(2);
  s.block[0] = 0;       // code 2048
  s.block[1] = -2048;   // code 0
  s.block[2] = 2047;    // code 4095
  s.block[3] = 4096;    // code 6144: bit 12, out of range
  s.block[4999] = 1;    // code 2049, last value of the last frame
  f.Run(s);
  EXPECT_TRUE(f.ShowedOnly("ﾌｧｲﾙ保存を終了しました。", "ﾌｧｲﾙ保存"));

  const auto lines = Lines(Slurp(f.dir.File("wave.csv")));
  ASSERT_EQ(lines.size(), 1250u);
  EXPECT_EQ(lines[0], "0.000E+0,0.000,-5.000,4.998,-5.000");
  EXPECT_EQ(lines[1], "8.000E-5,0.000,0.000,0.000,0.000");  // zero counts are code 2048
  EXPECT_EQ(lines[2].substr(0, 9), "1.600E-4,");
  EXPECT_EQ(lines[1249], "9.992E-2,0.000,0.000,0.000,0.002");  // 1249 x 80 us
}

TEST(CsvExportFile, UnipolarCardFullScaleIs2499AndOutOfRangeIsZero) {
  Fixture f;
  f.dialog.answer = f.dir.File("u.csv");
  MeasureState s = Acquired(1);
  s.blockCount = 4;
  s.block[0] = 2047;  // code 4095
  s.block[1] = 2048;  // code 4096: bit 12
  s.block[2] = 0;     // code 2048: mid-scale
  s.block[3] = 6143;  // code 8191
  f.Run(s);
  EXPECT_EQ(Slurp(f.dir.File("u.csv")), "0.000E+0,2.499,0.000,1.250,0.000\r\n");
}

TEST(CsvExportFile, EntriesPastTheConvertedRangeAreReadAsRawCodes) {
  MeasureState s = Acquired(2);
  s.sampCount = 1300;
  s.blockCount = 5200;
  s.block.assign(5201, 0);
  // Frame 1256 holds entries 5024 (converted count) .. 5027 (raw codes).
  s.block[5024] = 2047;                            // count: code 4095 -> 4.998
  s.block[5025] = 4095;                            // raw code 4095 -> 4.998
  s.block[5026] = static_cast<int16_t>(0xE800);    // upper bits dropped: code 0x0800 = 2048 -> 0.000
  s.block[5027] = 0x1000;                          // raw bit 12 -> -5.000
  const auto lines = Lines(WaveformCsvText(s));
  ASSERT_EQ(lines.size(), 1300u);
  EXPECT_EQ(lines[1256].substr(lines[1256].find(',')), ",4.998,4.998,0.000,-5.000");
  EXPECT_EQ(lines[1257].substr(lines[1257].find(',')), ",-5.000,-5.000,-5.000,-5.000");  // raw zeros
}

TEST(CsvExportFile, ValueCountIsCappedByTheSettingsAndTheLastLineIsFullWidth) {
  MeasureState s = Acquired(2);
  s.sampCount = 10;  // at most 40 values although 5000 were acquired
  EXPECT_EQ(ExportValueCount(s), 40);
  EXPECT_EQ(Lines(WaveformCsvText(s)).size(), 10u);

  s.sampCount = 1250;
  s.blockCount = 10;  // two and a half frames
  const auto lines = Lines(WaveformCsvText(s));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "1.600E-4,0.000,0.000,0.000,0.000");

  // A block shorter than the frames it is asked for is never read past.
  s.block.assign(8, 0);
  EXPECT_EQ(Lines(WaveformCsvText(s))[2], "1.600E-4,-5.000,-5.000,-5.000,-5.000");
}

TEST(CsvExportFile, NoChannelsOrNoValuesWriteAnEmptyFileWithoutDividingByZero) {
  MeasureState s = Acquired(2);
  s.chanCount = 0;
  EXPECT_EQ(ExportLineCount(s), 0);
  EXPECT_EQ(WaveformCsvText(s), "");
  s = Acquired(2);
  s.blockCount = -1;
  EXPECT_EQ(WaveformCsvText(s), "");
  s = Acquired(2);
  s.sampCount = -5;
  EXPECT_EQ(WaveformCsvText(s), "");
}

TEST(CsvExportFile, TimesAreRepeatedSumsOfTheIntervalInItsUnit) {
  EXPECT_DOUBLE_EQ(IntervalSeconds(80, 2), 8e-5);
  EXPECT_DOUBLE_EQ(IntervalSeconds(5, 1), 0.005);
  EXPECT_DOUBLE_EQ(IntervalSeconds(2, 0), 2.0);
  MeasureState s = Acquired(2);
  s.chanCount = 1;
  s.sampInterval = 1;
  s.sampUnit = 1;  // ms
  s.blockCount = 12;
  const auto lines = Lines(WaveformCsvText(s));
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[1].substr(0, 8), "1.000E-3");
  EXPECT_EQ(lines[11].substr(0, 8), "1.100E-2");
  // The sum of ten 0.001 is not exactly 0.01 in double; the text still is.
  double t = 0;
  for (int i = 0; i < 10; ++i) t += 0.001;
  EXPECT_NE(t, 0.01);
  EXPECT_EQ(lines[10].substr(0, 8), "1.000E-2");
}

TEST(CsvExportFile, VoltagesOfRawCodesByCard) {
  EXPECT_DOUBLE_EQ(RawCodeVolts(2048, 2), 0.0);
  EXPECT_DOUBLE_EQ(RawCodeVolts(0, 2), -5.0);
  EXPECT_DOUBLE_EQ(RawCodeVolts(4095, 2), 4095.0 * 10 / 4096 - 5);
  EXPECT_DOUBLE_EQ(RawCodeVolts(4096, 2), -5.0);
  EXPECT_DOUBLE_EQ(RawCodeVolts(4095, 1), 4095.0 * 2.5 / 4096);
  EXPECT_DOUBLE_EQ(RawCodeVolts(8191, 1), 0.0);
}

TEST(CsvExportFile, AnExistingFileIsReplacedWhole) {
  Fixture f;
  f.dialog.answer = f.dir.File("old.csv");
  std::ofstream(f.dialog.answer->c_str()) << std::string(100000, 'x');
  MeasureState s = Acquired(2);
  s.blockCount = 4;
  f.Run(s);
  EXPECT_EQ(Slurp(f.dir.File("old.csv")), "0.000E+0,0.000,0.000,0.000,0.000\r\n");
}

TEST(CsvExportSlot, WhileTheRunHoldsTheDataFileTheExportFailsToOpenAndWritesNothing) {
  Fixture f;
  ASSERT_TRUE(f.dataFile.OpenForRun(f.dir.File("data.csv"), false, 4, {"0.5", "1", "2", "5"}));
  f.dialog.answer = f.dir.File("wave.csv");
  f.Run(Acquired(2));
  EXPECT_TRUE(f.ShowedOnly("ﾌｧｲﾙｵｰﾌﾟﾝｴﾗｰ", "error"));
  EXPECT_FALSE(fs::exists(f.dir.File("wave.csv")));

  // An existing file chosen then is not even truncated.
  std::ofstream(f.dir.File("keep.csv")) << "kept";
  f.boxes.shown.clear();
  f.dialog.answer = f.dir.File("keep.csv");
  f.Run(Acquired(2));
  EXPECT_TRUE(f.ShowedOnly("ﾌｧｲﾙｵｰﾌﾟﾝｴﾗｰ", "error"));
  EXPECT_EQ(Slurp(f.dir.File("keep.csv")), "kept");

  // Once the run has stopped the export works.
  f.dataFile.Close();
  f.boxes.shown.clear();
  f.Run(Acquired(2));
  EXPECT_TRUE(f.ShowedOnly("ﾌｧｲﾙ保存を終了しました。", "ﾌｧｲﾙ保存"));
  EXPECT_EQ(Lines(Slurp(f.dir.File("keep.csv"))).size(), 1250u);
}

TEST(CsvExportFailure, AFolderThatDoesNotExistIsAnOpenError) {
  Fixture f;
  f.dialog.answer = f.dir.File("missing/wave.csv");
  f.Run(Acquired(2));
  EXPECT_TRUE(f.ShowedOnly("ﾌｧｲﾙｵｰﾌﾟﾝｴﾗｰ", "error"));
}

TEST(CsvExportFailure, AFullDeviceIsASaveError) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  Fixture f;
  f.dialog.answer = "/dev/full";
  f.Run(Acquired(2));
  EXPECT_TRUE(f.ShowedOnly("ﾌｧｲﾙ保存ｴﾗｰ", "error"));
}

TEST(CsvExportFailure, AFileSizeLimitLeavesOnlyWholeLines) {
  // In a child process: the limit would otherwise hit the test runner too.
  TempDir dir;
  const std::string path = dir.File("limited.csv");
  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit lim{1000, 1000};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    AnsweringDialog dialog;
    dialog.answer = path;
    fakes::RecordingMessageBoxes boxes;
    store::DataFile data;
    const MeasureState s = Acquired(2);
    CsvExport(dialog, boxes, s, data, "/").IDB_SAVECSV_Click();
    const bool saveError = boxes.shown.size() == 1 && boxes.shown[0].text == kSaveErrorText;
    ::_exit(saveError ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the export did not report a save error";
  const std::string kept = Slurp(path);
  ASSERT_FALSE(kept.empty());
  EXPECT_LE(kept.size(), 1000u);
  EXPECT_EQ(kept.substr(kept.size() - 2), "\r\n");
  // Every line kept is a whole line of the export.
  const std::string whole = WaveformCsvText(Acquired(2));
  EXPECT_EQ(whole.substr(0, kept.size()), kept);
}

}  // namespace
}  // namespace varnel::graph
