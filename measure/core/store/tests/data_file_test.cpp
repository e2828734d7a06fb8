#include "store/data_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "child_process.h"
#include "files.h"
#include "text/cp932.h"

namespace varnel::store {
namespace {

using lw::testing::F64At;
using lw::testing::ReadFile;
using lw::testing::TempDir;

// The whole header line for 4 channels and the design thresholds, written
// out by hand.
std::string FourChannelHeader() {
  std::string h = "時刻,風速,風向,外気温,外湿度,内気温,内湿度,雨量,最大風速";
  for (const char* ch : {"1", "2", "3", "4"})
    for (const char* c : {"Fhc", "F1c", "Flc", "DCc", "ALLc", "Rms"}) h += std::string(",ch") + ch + c;
  for (const char* ch : {"1", "2", "3", "4"}) {
    h += std::string(",ch") + ch + "Peak(mA)";
    for (const char* t : {"0.5", "1", "2", "5"}) h += std::string(",") + ch + "ch >" + t + "mA(時間%)";
    for (const char* t : {"0.5", "1", "2", "5"}) h += std::string(",") + ch + "ch >" + t + "mA(Sc%)";
  }
  return h + "\r\n";
}

std::string Record(double ole) {
  BinaryRecord r;
  r.oleTime = ole;
  r.values[0] = 1.0f;
  return EncodeBinaryRecord(r);
}

TEST(DataFileText, HeaderIsWrittenInCodePage932AtEveryRunStart) {
  TempDir dir;
  const std::string path = dir.File("気象・電流data.csv");
  DataFile f;
  ASSERT_TRUE(f.OpenForRun(path, false, 1, DesignThresholdTexts()));
  EXPECT_TRUE(f.IsOpen());
  f.Close();
  EXPECT_FALSE(f.IsOpen());
  ASSERT_TRUE(f.OpenForRun(path, false, 1, DesignThresholdTexts()));
  f.Close();
  const std::string raw = ReadFile(path);
  const std::string expected = text::ToCp932(FourChannelHeader());
  EXPECT_EQ(raw, expected + expected);
  // Code page 932 bytes of 時 (0x8E9E) open the file.
  ASSERT_GE(raw.size(), 2u);
  EXPECT_EQ(static_cast<uint8_t>(raw[0]), 0x8E);
  EXPECT_EQ(static_cast<uint8_t>(raw[1]), 0x9E);
}

TEST(DataFileText, HeaderUsesTheThresholdTextsAsTyped) {
  TempDir dir;
  DataFile f;
  ASSERT_TRUE(f.OpenForRun(dir.File("d.csv"), false, 2, {"0.50", "1", "2.5", "abc"}));
  f.Close();
  const std::string h = text::FromCp932(ReadFile(dir.File("d.csv"))).value();
  EXPECT_NE(h.find(",8ch >0.50mA(時間%),8ch >1mA(時間%),8ch >2.5mA(時間%),8ch >abcmA(時間%),"), std::string::npos);
  EXPECT_EQ(std::count(h.begin(), h.end(), ','), 128);
}

TEST(DataFileText, LinesAreAppendedAfterExistingContent) {
  TempDir dir;
  const std::string path = dir.File("d.csv");
  {
    FILE* old = std::fopen(path.c_str(), "wb");
    std::fputs("older line\r\n", old);
    std::fclose(old);
  }
  DataFile f;
  ASSERT_TRUE(f.OpenForRun(path, false, 1, DesignThresholdTexts()));
  std::string why;
  ASSERT_TRUE(f.AppendTextLine("2005/06/01 13:00:00,1\r\n", &why)) << why;
  EXPECT_FALSE(f.AppendBinaryRecord(Record(1.0), &why));
  EXPECT_EQ(ReadFile(path), "older line\r\n" + text::ToCp932(FourChannelHeader()) + "2005/06/01 13:00:00,1\r\n");
}

void WriteFile(const std::string& path, const std::string& bytes) {
  FILE* o = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), o);
  std::fclose(o);
}

// A power cut during the last write leaves a half line at the end, maybe
// followed by the zeros a file system fills an unwritten block with.  The
// next run's header (and then every record) starts on a line of its own.
TEST(DataFileText, TornLineAtTheEndIsMadeWholeBeforeTheHeaderOfTheNextRun) {
  const std::string header = text::ToCp932(FourChannelHeader());
  const std::string whole = header + "2005/06/01 12:00:00,1,2\r\n";
  const std::string longForeign(70 * 1024, 'x');  // longer than any line the program writes
  struct Case {
    const char* what;
    std::string before, after;  // the file before the run and after its header
  };
  const Case cases[] = {
      {"half a record", whole + "2005/06/01 12:01:00,1,", whole + header},
      {"half a record and zeros", whole + "2005/06/01 12:01:00,1" + std::string(600, '\0'), whole + header},
      {"all but the LF", whole + "2005/06/01 12:01:00,1,2\r", whole + "2005/06/01 12:01:00,1,2\r\n" + header},
      {"half a header", header.substr(0, 100), header},
      {"whole lines", whole, whole + header},
      {"a long foreign tail", whole + longForeign, whole + longForeign + "\r\n" + header},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = dir.File("d.csv");
    WriteFile(path, c.before);
    DataFile f;
    std::string why;
    ASSERT_TRUE(f.OpenForRun(path, false, 1, DesignThresholdTexts(), &why)) << why;
    EXPECT_EQ(ReadFile(path), c.after);
    ASSERT_TRUE(f.AppendTextLine("2005/06/01 12:05:00,3,4\r\n", &why)) << why;
    EXPECT_EQ(ReadFile(path), c.after + "2005/06/01 12:05:00,3,4\r\n");
  }
}

// A torn line that appears while the file is open (a write cut short whose
// cut-back failed, another writer) is mended before the next record too.
TEST(DataFileText, TornLineAppearingDuringTheRunIsCutBackBeforeTheNextRecord) {
  TempDir dir;
  const std::string path = dir.File("d.csv");
  DataFile f;
  std::string why;
  ASSERT_TRUE(f.OpenForRun(path, false, 1, DesignThresholdTexts(), &why)) << why;
  ASSERT_TRUE(f.AppendTextLine("2005/06/01 12:00:00,1\r\n", &why)) << why;
  FILE* other = std::fopen(path.c_str(), "ab");
  std::fputs("2005/06/01 12:01:00,", other);
  std::fclose(other);
  ASSERT_TRUE(f.AppendTextLine("2005/06/01 12:02:00,2\r\n", &why)) << why;
  EXPECT_EQ(ReadFile(path), text::ToCp932(FourChannelHeader()) + "2005/06/01 12:00:00,1\r\n2005/06/01 12:02:00,2\r\n");
}

TEST(DataFileBinary, OpenWritesNothingAndNeverShortens) {
  TempDir dir;
  const std::string path = dir.File("d.bdt");
  DataFile f;
  ASSERT_TRUE(f.OpenForRun(path, true, 4, DesignThresholdTexts()));
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
  std::string why;
  ASSERT_TRUE(f.AppendBinaryRecord(Record(38504.5), &why)) << why;
  ASSERT_TRUE(f.AppendBinaryRecord(Record(38504.75), &why)) << why;
  EXPECT_FALSE(f.AppendBinaryRecord(std::string(999, '\0'), &why));
  EXPECT_FALSE(f.AppendTextLine("x\r\n", &why));
  f.Close();
  ASSERT_TRUE(f.OpenForRun(path, true, 4, DesignThresholdTexts()));
  f.Close();
  const std::string b = ReadFile(path);
  ASSERT_EQ(b.size(), 2000u);
  EXPECT_DOUBLE_EQ(F64At(b, 0), 38504.5);
  EXPECT_DOUBLE_EQ(F64At(b, 1000), 38504.75);
}

TEST(DataFileBinary, TornTailLeftByACrashIsOverwrittenByTheNextRecord) {
  TempDir dir;
  const std::string path = dir.File("d.bdt");
  {
    // One whole record and the 8-byte time of a record whose values never came.
    const std::string old = Record(38000.0) + Record(38001.0).substr(0, 8);
    FILE* o = std::fopen(path.c_str(), "wb");
    std::fwrite(old.data(), 1, old.size(), o);
    std::fclose(o);
  }
  DataFile f;
  ASSERT_TRUE(f.OpenForRun(path, true, 1, DesignThresholdTexts()));
  std::string why;
  ASSERT_TRUE(f.AppendBinaryRecord(Record(38504.5), &why)) << why;
  f.Close();
  const std::string b = ReadFile(path);
  ASSERT_EQ(b.size(), 2000u);
  EXPECT_DOUBLE_EQ(F64At(b, 0), 38000.0);
  EXPECT_DOUBLE_EQ(F64At(b, 1000), 38504.5);
}

TEST(DataFileSlot, ClosedSlotRefusesRecordsAndReopen) {
  TempDir dir;
  DataFile f;
  std::string why;
  EXPECT_FALSE(f.IsOpen());
  EXPECT_FALSE(f.AppendTextLine("x\r\n", &why));
  EXPECT_FALSE(f.Reopen(dir.File("d.csv"), &why));
  EXPECT_FALSE(std::filesystem::exists(dir.File("d.csv")));
}

TEST(DataFileSlot, ReopenKeepsTheFormAndAddsNoHeaderToAFileThatHasContent) {
  TempDir dir;
  DataFile f;
  ASSERT_TRUE(f.OpenForRun(dir.File("d.csv"), false, 1, DesignThresholdTexts()));
  std::string why;
  ASSERT_TRUE(f.Reopen(dir.File("d.csv"), &why)) << why;
  ASSERT_TRUE(f.AppendTextLine("r\r\n", &why)) << why;
  EXPECT_FALSE(f.IsBinary());
  f.Close();
  EXPECT_EQ(ReadFile(dir.File("d.csv")), text::ToCp932(FourChannelHeader()) + "r\r\n");
}

}  // namespace
}  // namespace varnel::store
