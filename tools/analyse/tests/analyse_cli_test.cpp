#include "analyse_cli.h"

#include "child_process.h"
#include "files.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace varnel::tools {
namespace {

using lw::testing::TempDir;

void PutInt16(std::string& out, int v) {
  const auto u = static_cast<uint16_t>(static_cast<int16_t>(v));
  out.push_back(static_cast<char>(u & 0xFF));
  out.push_back(static_cast<char>(u >> 8));
}

// Raw codes of one block of `samples` entries in frames of four; `counts(k,
// ch)` is sample k of A/D channel ch as a signed count (code = count + 2048).
std::string RawBlockBytes(const std::function<int(int, int)>& counts, int samples = 5040) {
  std::string out;
  for (int i = 0; i < samples; ++i) PutInt16(out, counts(i / 4, i % 4) + 2048);
  return out;
}

// A snapshot file: 1255, channels - 1, then 1256 signed counts per channel.
std::string SnapshotBytes(int channels, const std::function<int(int, int)>& counts) {
  std::string out;
  PutInt16(out, 1255);
  PutInt16(out, channels - 1);
  for (int n = 0; n < channels; ++n)
    for (int k = 0; k < 1256; ++k) PutInt16(out, counts(k, n));
  return out;
}

using lw::testing::WriteFile;

int Sine(double amplitude, double period, int k) {
  return static_cast<int>(std::lround(amplitude * std::sin(2.0 * M_PI * k / period)));
}

// The four test signals of one block, per A/D channel.
int Signal(int k, int ch) {
  switch (ch) {
    case 0: return 1024;                          // 7.5758 mA of DC at 330 ohm
    case 1: return Sine(1000, 250, k);            // 50 Hz, 1000 counts
    case 2: return k % 2 == 0 ? 660 : -660;       // 6.25 kHz, 4.8828 mA
    default: return 0;
  }
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<std::vector<std::string>> rows;  // after the header
  std::string header;
};

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> cells;
  std::stringstream s(line);
  std::string cell;
  while (std::getline(s, cell, ',')) cells.push_back(cell);
  if (!line.empty() && line.back() == ',') cells.emplace_back();
  return cells;
}

Outcome Analyse(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  Outcome r;
  r.status = RunAnalyse(args, out, err);
  r.out = out.str();
  r.err = err.str();
  std::stringstream lines(r.out);
  std::string line;
  if (std::getline(lines, line)) r.header = line;
  while (std::getline(lines, line)) r.rows.push_back(Split(line));
  return r;
}

double Cell(const std::vector<std::string>& row, std::size_t column) { return std::stod(row.at(column)); }

// Column numbers of the CSV.
enum Col { kBlock, kChannel, kFhc, kF1c, kFlc, kDCc, kALLc, kRms, kPeak, kTime0, kHalf0 = kTime0 + 4 };

// Samples x[2]..x[1251] of `signal` at or above `levelCounts`, from its definition.
int CountAtOrAbove(int (*signal)(int, int), int ch, double levelCounts) {
  int n = 0;
  for (int k = 2; k < 1252; ++k) n += std::abs(signal(k, ch)) >= levelCounts ? 1 : 0;
  return n;
}

TEST(ParseArguments, DefaultsAndEveryOption) {
  std::string error;
  auto o = ParseArguments({"blocks.raw"}, &error);
  ASSERT_TRUE(o.has_value()) << error;
  EXPECT_EQ(o->frequency, 50);
  EXPECT_EQ(o->shunt, 330.0);
  EXPECT_EQ(o->thresholds, (std::array<double, 4>{0.5, 1, 2, 5}));
  EXPECT_EQ(o->groups, 1);
  EXPECT_EQ(o->blockSamples, 5040u);
  EXPECT_FALSE(o->snapshot);

  o = ParseArguments({"--freq", "60", "--shunt=100.5", "--thresholds", "0,1,2.5,10", "--groups", "4", "--block=6000",
                      "--snapshot", "--jobs", "3", "x.bin"},
                     &error);
  ASSERT_TRUE(o.has_value()) << error;
  EXPECT_EQ(o->frequency, 60);
  EXPECT_EQ(o->shunt, 100.5);
  EXPECT_EQ(o->thresholds, (std::array<double, 4>{0, 1, 2.5, 10}));
  EXPECT_EQ(o->groups, 4);
  EXPECT_EQ(o->blockSamples, 6000u);
  EXPECT_TRUE(o->snapshot);
  EXPECT_EQ(o->input, "x.bin");
  EXPECT_EQ(o->jobs, 3);

  // Several inputs: an archive, in the order given; a snapshot name among
  // them does not make the others snapshots.
  o = ParseArguments({"b.raw", "ch1Peak1.0mA20050601-1530Wev.dat", "a"}, &error);
  ASSERT_TRUE(o.has_value()) << error;
  EXPECT_EQ(o->inputs, (std::vector<std::string>{"b.raw", "ch1Peak1.0mA20050601-1530Wev.dat", "a"}));
  EXPECT_FALSE(o->snapshot);

  o = ParseArguments({"/var/tmp/ch3Peak12.34mA20040204-1530Wev.dat"}, &error);
  ASSERT_TRUE(o.has_value());
  EXPECT_TRUE(o->snapshot);
}

TEST(ParseArguments, BadArgumentsAreNamed) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"--frequency", "50", "f"}, "unknown option \"--frequency\""},
      {{"--freq", "55", "f"}, "--freq must be 50 or 60"},
      {{"--freq"}, "--freq needs a value"},
      {{"--shunt", "0", "f"}, "--shunt must be a number of ohm above 0"},
      {{"--shunt", "330x", "f"}, "--shunt must be"},
      {{"--shunt", "nan", "f"}, "--shunt must be"},
      {{"--thresholds", "1,2,3", "f"}, "--thresholds must be four numbers"},
      {{"--thresholds", "1,2,3,4,5", "f"}, "--thresholds must be four numbers"},
      {{"--thresholds", "1,2,,4", "f"}, "--thresholds must be four numbers"},
      {{"--thresholds", "1,-2,3,4", "f"}, "--thresholds must be four numbers"},
      {{"--groups", "3", "f"}, "--groups must be 1, 2 or 4"},
      {{"--block", "5024", "f"}, "--block must be a whole number of samples from 5025"},
      {{"--block", "5040.5", "f"}, "--block must be"},
      {{"--snapshot=yes", "f"}, "--snapshot takes no value"},
      {{"--jobs", "0", "f"}, "--jobs must be a whole number from 1"},
      {{}, "no input file given"},
  };
  for (const auto& [args, message] : bad) {
    std::string error;
    EXPECT_FALSE(ParseArguments(args, &error).has_value()) << message;
    EXPECT_NE(error.find(message), std::string::npos) << error;
    const Outcome r = Analyse(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
  }
}

TEST(RunAnalyse, RawBlockGivesTheValuesOfItsSignals) {
  TempDir dir{"varnel-analyse"};
  const std::string file = dir.File("blocks.raw");
  WriteFile(file, RawBlockBytes(Signal));
  const Outcome r = Analyse({file});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.header, kCsvHeader);
  ASSERT_EQ(r.rows.size(), 4u);
  for (int ch = 0; ch < 4; ++ch) {
    EXPECT_EQ(r.rows[static_cast<std::size_t>(ch)][kBlock], "0");
    EXPECT_EQ(r.rows[static_cast<std::size_t>(ch)][kChannel], std::to_string(ch));
    EXPECT_EQ(r.rows[static_cast<std::size_t>(ch)].size(), 17u);
  }
  const double perCount = 10.0 / 4096.0 / 330.0 * 1000.0;

  // DC of 1024 counts: 7.5758 mA in DC, ALL, RMS and peak, printed to 9 digits.
  const auto& dc = r.rows[0];
  EXPECT_NEAR(Cell(dc, kDCc), 1024 * perCount, 1e-4);
  EXPECT_NEAR(Cell(dc, kALLc), 1024 * perCount, 1e-4);
  EXPECT_NEAR(Cell(dc, kRms), 1024 * perCount, 1e-4);
  EXPECT_EQ(dc[kPeak], "7.57575758");
  EXPECT_NEAR(Cell(dc, kFhc), 0.0, 1e-4);
  // 7.58 mA reaches every level (0.5, 1, 2, 5 mA) in every sample and half cycle.
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(dc[kTime0 + static_cast<std::size_t>(j)], "1250");
    EXPECT_EQ(dc[kHalf0 + static_cast<std::size_t>(j)], "10");
  }

  // 50 Hz sine of 1000 counts.
  const auto& sine = r.rows[1];
  EXPECT_NEAR(Cell(sine, kF1c), 4.707, 0.001);
  EXPECT_NEAR(Cell(sine, kALLc), 4.710, 0.001);
  EXPECT_NEAR(Cell(sine, kRms), 5.231, 0.001);
  EXPECT_NEAR(Cell(sine, kPeak), 7.398, 0.001);
  EXPECT_NEAR(Cell(sine, kDCc), 0.0, 1e-4);
  EXPECT_LT(Cell(sine, kFhc), 0.01);
  EXPECT_LT(Cell(sine, kFlc), 0.01);
  // Level j in counts is 4096 x (mA x 330 / 10) / 1000 = 135.168 x mA.
  const double mA[4] = {0.5, 1, 2, 5};
  for (int j = 0; j < 4; ++j) {
    const auto level = static_cast<float>(135.168 * mA[j]);
    EXPECT_EQ(Cell(sine, kTime0 + static_cast<std::size_t>(j)), CountAtOrAbove(Signal, 1, level)) << j;
    EXPECT_EQ(sine[kHalf0 + static_cast<std::size_t>(j)], "10") << j;
  }

  // Alternating +-660 counts: Fhc = 0.8 d, Flc = 0.2 d, ALL = RMS = d = 4.8828 mA.
  const auto& alt = r.rows[2];
  EXPECT_NEAR(Cell(alt, kFhc), 0.8 * 4.8828125, 1e-4);
  EXPECT_NEAR(Cell(alt, kFlc), 0.2 * 4.8828125, 1e-3);
  EXPECT_NEAR(Cell(alt, kALLc), 4.8828125, 1e-4);

  // Silence: zeros everywhere, no counts.
  const auto& zero = r.rows[3];
  for (std::size_t c = kFhc; c < zero.size(); ++c) EXPECT_EQ(zero[c], "0") << c;
}

TEST(RunAnalyse, BlocksCycleThroughTheGroups) {
  TempDir dir{"varnel-analyse"};
  const std::string file = dir.File("blocks.raw");
  std::string bytes;
  for (int b = 0; b < 3; ++b) bytes += RawBlockBytes([b](int, int ch) { return 100 * (b + 1) + ch; }, 5100);
  WriteFile(file, bytes);
  const Outcome r = Analyse({"--groups", "2", "--block", "5100", "--shunt", "256", file});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.rows.size(), 12u);
  // Block 0 is group 0 (channels 0..3), block 1 group 1 (4..7), block 2 group 0.
  const int channels[12] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3};
  for (std::size_t i = 0; i < 12; ++i) {
    EXPECT_EQ(r.rows[i][kBlock], std::to_string(i / 4));
    EXPECT_EQ(r.rows[i][kChannel], std::to_string(channels[i]));
    // At 256 ohm a count is 10 / 4096 / 256 x 1000 mA, exactly.
    const int counts = 100 * static_cast<int>(i / 4 + 1) + static_cast<int>(i % 4);
    const double expected = counts * 10.0 / 4096.0 / 256.0 * 1000.0;
    EXPECT_NEAR(Cell(r.rows[i], kPeak), expected, expected * 1e-8);  // 9 significant digits
  }
}

TEST(RunAnalyse, SixtyHertzHasTwelveHalfCycles) {
  TempDir dir{"varnel-analyse"};
  const std::string file = dir.File("blocks.raw");
  // 60 Hz is 208.33 frames per period: six periods in the window.
  WriteFile(file, RawBlockBytes([](int k, int) { return Sine(1000, 1250.0 / 6, k); }));
  const Outcome r = Analyse({"--freq", "60", "--thresholds", "0.5,1,2,100", file});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NEAR(Cell(r.rows[0], kF1c), 2000.0 / M_PI * 0.99909 * 10.0 / 4096.0 / 330.0 * 1000.0, 0.001);
  EXPECT_EQ(r.rows[0][kHalf0], "12");
  EXPECT_EQ(r.rows[0][kHalf0 + 3], "0");  // 100 mA is never reached
  EXPECT_EQ(r.rows[0][kTime0 + 3], "0");
}

TEST(RunAnalyse, SnapshotChannelsAreAnalysedAsCounts) {
  TempDir dir{"varnel-analyse"};
  const std::string file = dir.File("20050601-1530Wev.dat");
  WriteFile(file, SnapshotBytes(8, [](int k, int n) { return n == 5 ? Sine(1000, 250, k) : 100 * n; }));
  const Outcome r = Analyse({file});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.rows.size(), 8u);
  const double perCount = 10.0 / 4096.0 / 330.0 * 1000.0;
  for (int n = 0; n < 8; ++n) {
    const auto& row = r.rows[static_cast<std::size_t>(n)];
    EXPECT_EQ(row[kBlock], "0");
    EXPECT_EQ(row[kChannel], std::to_string(n));
    if (n != 5) {
      EXPECT_NEAR(Cell(row, kDCc), 100 * n * perCount, 1e-4) << n;
    }
  }
  EXPECT_NEAR(Cell(r.rows[5], kF1c), 4.707, 0.001);
  EXPECT_NEAR(Cell(r.rows[5], kRms), 5.231, 0.001);

  // Any name, read as a snapshot on request; negative counts stay negative.
  const std::string other = dir.File("snap.bin");
  WriteFile(other, SnapshotBytes(4, [](int, int) { return -2048; }));
  const Outcome s = Analyse({"--snapshot", other});
  ASSERT_EQ(s.status, 0) << s.err;
  EXPECT_NEAR(Cell(s.rows[0], kDCc), -2048 * perCount, 1e-3);
}

TEST(RunAnalyse, InputThatDoesNotFitItsLayoutIsRefused) {
  TempDir dir{"varnel-analyse"};
  struct Case {
    std::string name;
    std::string bytes;
    std::vector<std::string> options;
    std::string message;
  };
  std::string badSample = SnapshotBytes(4, [](int, int) { return 0; });
  badSample[0] = 0;  // first word 1024 + ... instead of 1255
  std::string badChannels = SnapshotBytes(4, [](int, int) { return 0; });
  badChannels[2] = 5;  // last channel index 5
  const std::vector<Case> cases = {
      {"part.raw", RawBlockBytes(Signal) + "\x01\x02", {}, "not a whole number of blocks of 5040 samples"},
      {"empty.raw", "", {}, "holds no block"},
      {"short.raw", RawBlockBytes(Signal), {"--block", "5000"}, "--block must be"},
      {"hdr1Wev.dat", badSample, {}, "expected 1255"},
      {"hdr2Wev.dat", badChannels, {}, "expected 3, 7 or 15"},
      {"sizeWev.dat", SnapshotBytes(4, [](int, int) { return 0; }) + "xx", {}, "does not fit 4 channels"},
      {"tinyWev.dat", "ab", {}, "shorter than the 4-byte header"},
      {"hugeWev.dat", std::string(50000, '\0'), {}, "at most 40196 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File(c.name);
    WriteFile(path, c.bytes);
    std::vector<std::string> args = c.options;
    args.push_back(path);
    const Outcome r = Analyse(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  const Outcome missing = Analyse({dir.File("none.raw")});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("none.raw"), std::string::npos);
}

// The lines of `text`, each without its line end.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream s(text);
  std::string line;
  while (std::getline(s, line)) lines.push_back(line);
  return lines;
}

// An archive's rows as the one-file runs give them: for each file in turn,
// the file in a first column, then the file's own rows as they stand.
std::vector<std::string> RowsFileByFile(const std::vector<std::string>& files,
                                        const std::vector<std::string>& options) {
  std::vector<std::string> rows = {kArchiveCsvHeader};
  for (const std::string& file : files) {
    std::vector<std::string> args = options;
    args.push_back(file);
    const Outcome one = Analyse(args);
    EXPECT_EQ(one.status, 0) << file << ": " << one.err;
    const std::vector<std::string> lines = Lines(one.out);
    for (std::size_t i = 1; i < lines.size(); ++i) rows.push_back(CsvCell(file) + "," + lines[i]);
  }
  return rows;
}

// Block files with different signals in every block, so that no two files
// or blocks give the same rows.
std::string VaryingBlocks(int blocks, int seed) {
  std::string bytes;
  for (int b = 0; b < blocks; ++b)
    bytes += RawBlockBytes(
        [b, seed](int k, int ch) { return Sine(200.0 * (ch + 1) + 37 * b + seed, 250 - 3 * seed, k) + 11 * b; });
  return bytes;
}

TEST(RunArchive, FolderGivesEveryFilesOwnRowsInTheOrderOfTheirNames) {
  TempDir dir{"varnel-archive"};
  WriteFile(dir.File("b.raw"), VaryingBlocks(3, 1));
  WriteFile(dir.File("a.raw"), VaryingBlocks(2, 2));
  WriteFile(dir.File("ch3Peak12.34mA20040204-1530Wev.dat"),
            SnapshotBytes(16, [](int k, int n) { return Sine(50.0 * (n + 1), 250, k + n); }));
  WriteFile(dir.File("20040204-1500Wev.dat"), SnapshotBytes(4, [](int k, int n) { return n * 100 + k % 7; }));
  WriteFile(dir.File("notes.txt"), "not a recording");  // other files of the folder are left out
  std::filesystem::create_directory(dir.Path() / "older");
  WriteFile((dir.Path() / "older" / "c.raw").string(), VaryingBlocks(1, 3));

  const std::vector<std::string> files = {dir.File("20040204-1500Wev.dat"), dir.File("a.raw"), dir.File("b.raw"),
                                          dir.File("ch3Peak12.34mA20040204-1530Wev.dat")};
  EXPECT_EQ(ArchiveFiles(dir.Path().string(), nullptr), files);
  const std::vector<std::string> options = {"--groups", "2", "--freq", "60"};
  const std::vector<std::string> expected = RowsFileByFile(files, options);
  ASSERT_EQ(expected.size(), 1u + 4 + 8 + 12 + 16);

  for (const char* jobs : {"1", "3", "8"}) {
    SCOPED_TRACE(std::string("--jobs ") + jobs);
    std::vector<std::string> args = options;
    args.insert(args.end(), {"--jobs", jobs, dir.Path().string()});
    const Outcome r = Analyse(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.out), expected);
    EXPECT_NE(r.err.find("4 files (0 not analysed)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("files per second"), std::string::npos) << r.err;
  }
}

TEST(RunArchive, FilesComeOutInTheOrderGivenAndABadOneIsNamedWhileTheOthersGoOn) {
  TempDir dir{"varnel-archive"};
  const std::vector<std::string> good = {dir.File("z.raw"), dir.File("with,comma.raw"), dir.File("a.raw")};
  for (std::size_t i = 0; i < good.size(); ++i) WriteFile(good[i], VaryingBlocks(2, static_cast<int>(i)));
  const std::string part = dir.File("part.raw");
  WriteFile(part, VaryingBlocks(1, 5) + "xy");
  const std::string missing = dir.File("missing.raw");

  const Outcome r = Analyse({good[0], part, good[1], missing, good[2]});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(Lines(r.out), RowsFileByFile(good, {}));
  EXPECT_NE(r.err.find("part.raw: 10082 bytes are not a whole number of blocks"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("missing.raw"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("5 files (2 not analysed)"), std::string::npos) << r.err;
  // A name with a comma is one quoted cell.
  EXPECT_NE(r.out.find("\n\"" + good[1] + "\",0,0,"), std::string::npos);

  const Outcome empty = Analyse({(dir.Path() / "nothing").string()});
  EXPECT_EQ(empty.status, 2);
  std::filesystem::create_directory(dir.Path() / "empty");
  const Outcome none = Analyse({(dir.Path() / "empty").string()});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("holds no waveform snapshots"), std::string::npos) << none.err;
  EXPECT_TRUE(none.out.empty());
}

TEST(VarnelAnalyseProgram, PrintsTheTableAndRefusesBadInput) {
  const std::string program = (lw::testing::BinDir() / "varnel-analyse").string();
  ASSERT_TRUE(std::filesystem::exists(program)) << program;
  TempDir dir{"varnel-analyse"};
  const std::string file = dir.File("blocks.raw");
  WriteFile(file, RawBlockBytes(Signal));

  // Its standard output alone: the table, or nothing when it refuses.
  auto run = [&program](const std::vector<std::string>& args, std::string* out) {
    const auto r = lw::testing::RunProgram(program, args, {.workingDir = {}, .environment = {}, .separateErrors = true});
    *out = r.output;
    return r.status;
  };
  std::string out;
  ASSERT_EQ(run({file}, &out), 0);
  std::stringstream lines(out);
  std::string header, first;
  std::getline(lines, header);
  std::getline(lines, first);
  EXPECT_EQ(header, kCsvHeader);
  const auto row = Split(first);
  ASSERT_EQ(row.size(), 17u);
  EXPECT_NEAR(Cell(row, kDCc), 7.5758, 1e-4);
  EXPECT_EQ(row[kPeak], "7.57575758");

  std::string none;
  EXPECT_EQ(run({"--freq", "55", file}, &none), 2);
  EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace varnel::tools
