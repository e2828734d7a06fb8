// The record readers against files written by the measurement program's own
// writer (DataFile): every prefix of a growing file gives exactly the whole
// records in it, across the half-hourly reopen, a new run's header and a
// torn line.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <sstream>

#include "child_process.h"
#include "files.h"
#include "data_records.h"
#include "record_values.h"
#include "store/data_file.h"
#include "text/cp932.h"
#include "store/record_format.h"

namespace varnel::fleet {
namespace {

using lw::testing::TempDir;

using lw::testing::AppendFile;
using lw::testing::ReadFile;

using testing::RecordValuesOf;

text::LocalDateTime Minute(int hour, int minute) { return {2005, 6, 1, hour, minute, 0, 0}; }

void ExpectRecord(const DataRecord& got, int r, int channels, const text::LocalDateTime& time) {
  EXPECT_EQ(got.time, time);
  EXPECT_EQ(got.channels, channels);
  const store::RecordValues want = RecordValuesOf(r, channels);
  for (std::size_t e = 0; e < want.size(); ++e) ASSERT_EQ(got.values[e], want[e]) << "record " << r << " element " << e;
}

std::string Line(int r, int channels, const text::LocalDateTime& time) {
  return store::DataRecordLine(time, RecordValuesOf(r, channels), channels) + "\r\n";
}

TEST(TextRecords, EveryPrefixOfAGrowingFileGivesItsWholeRecordsAcrossReopenAndRunHeaders) {
  TempDir dir;
  const std::string path = dir.File("data.csv");
  store::DataFile file;
  std::string why;
  ASSERT_TRUE(file.OpenForRun(path, false, 1, store::DesignThresholdTexts(), &why)) << why;
  ASSERT_TRUE(file.AppendTextLine(Line(0, 4, Minute(12, 29)), &why)) << why;
  ASSERT_TRUE(file.AppendTextLine(Line(1, 4, Minute(12, 30)), &why)) << why;
  ASSERT_TRUE(file.Reopen(path, &why)) << why;  // the half-hourly close and reopen
  ASSERT_TRUE(file.AppendTextLine(Line(2, 4, Minute(12, 31)), &why)) << why;
  file.Close();
  // The next run writes its header again, with other thresholds and 8 channels.
  ASSERT_TRUE(file.OpenForRun(path, false, 2, {"0.25", "1.5", "3", "7"}, &why)) << why;
  ASSERT_TRUE(file.AppendTextLine(Line(3, 8, Minute(0, 0)), &why)) << why;  // midnight: the date alone
  const std::string forced = store::DataRecordLine(Minute(0, 1), RecordValuesOf(4, 8), 8) +
                             std::string(store::kForcedStopMark) + "\r\n";
  ASSERT_TRUE(file.AppendTextLine(forced, &why)) << why;
  file.Close();

  const std::string bytes = ReadFile(path);
  ASSERT_NE(bytes.find("2005/06/01,"), std::string::npos);  // midnight: the date alone
  // Whole-line ends, counted independently of the parser.
  std::vector<std::size_t> recordEnds;
  for (std::size_t at = bytes.find("\r\n"); at != std::string::npos; at = bytes.find("\r\n", at + 2))
    recordEnds.push_back(at + 2);
  ASSERT_EQ(recordEnds.size(), 7u);  // 2 headers, 5 records

  for (std::size_t prefix = 0; prefix <= bytes.size(); prefix += 7) {
    RecordParser parser(RecordForm::kText, 16);
    const ParseOutcome out = parser.Parse(std::string_view(bytes).substr(0, prefix), 100);
    const std::size_t whole = static_cast<std::size_t>(
        std::upper_bound(recordEnds.begin(), recordEnds.end(), prefix) - recordEnds.begin());
    EXPECT_EQ(out.consumed, whole ? recordEnds[whole - 1] : 0) << "prefix " << prefix;
    EXPECT_EQ(out.records.size(), whole > 4 ? whole - 2 : whole > 0 ? whole - 1 : 0) << "prefix " << prefix;
    EXPECT_TRUE(out.problems.empty()) << out.problems.front();
  }

  RecordParser parser(RecordForm::kText, 16);
  const ParseOutcome all = parser.Parse(bytes, 100);
  ASSERT_EQ(all.records.size(), 5u);
  ExpectRecord(all.records[0], 0, 4, Minute(12, 29));
  ExpectRecord(all.records[1], 1, 4, Minute(12, 30));
  ExpectRecord(all.records[2], 2, 4, Minute(12, 31));
  ExpectRecord(all.records[3], 3, 8, Minute(0, 0));
  ExpectRecord(all.records[4], 4, 8, Minute(0, 1));
  EXPECT_EQ(all.records[2].thresholds, (Thresholds{0.5f, 1, 2, 5}));
  EXPECT_EQ(all.records[3].thresholds, (Thresholds{0.25f, 1.5f, 3, 7}));
  EXPECT_FALSE(all.records[3].forcedStop);
  EXPECT_TRUE(all.records[4].forcedStop);

  // Resuming in the middle: the header kept with the position gives the
  // thresholds of the records after it.
  RecordParser resumed(RecordForm::kText, 16);
  resumed.SetHeader(parser.Header());
  const ParseOutcome tail = resumed.Parse(std::string_view(bytes).substr(recordEnds[5]), 100);
  ASSERT_EQ(tail.records.size(), 1u);
  EXPECT_EQ(tail.records[0].thresholds, (Thresholds{0.25f, 1.5f, 3, 7}));
  // At most the records asked for, and the bytes of just those.
  const ParseOutcome two = RecordParser(RecordForm::kText, 16).Parse(bytes, 2);
  EXPECT_EQ(two.records.size(), 2u);
  EXPECT_EQ(two.consumed, recordEnds[2]);
}

TEST(TextRecords, ATornLineThatTheNextRunAppendedToIsSkippedAndReported) {
  TempDir dir;
  const std::string path = dir.File("data.csv");
  store::DataFile file;
  std::string why;
  ASSERT_TRUE(file.OpenForRun(path, false, 1, store::DesignThresholdTexts(), &why)) << why;
  ASSERT_TRUE(file.AppendTextLine(Line(0, 4, Minute(9, 0)), &why)) << why;
  file.Close();
  const std::string torn = Line(1, 4, Minute(9, 1)).substr(0, 40);  // a crash in the middle of the line
  AppendFile(path, torn);
  ASSERT_TRUE(file.OpenForRun(path, false, 1, store::DesignThresholdTexts(), &why)) << why;
  ASSERT_TRUE(file.AppendTextLine(Line(2, 4, Minute(9, 5)), &why)) << why;
  file.Close();

  // The writer cuts the half line back before the next run's header.
  const std::string whole = ReadFile(path);
  const ParseOutcome out = RecordParser(RecordForm::kText, 16).Parse(whole, 100);
  ASSERT_EQ(out.records.size(), 2u);
  ExpectRecord(out.records[0], 0, 4, Minute(9, 0));
  ExpectRecord(out.records[1], 2, 4, Minute(9, 5));
  EXPECT_TRUE(out.problems.empty());

  // A file from a writer that appended to the half line: the header line
  // that ran on from it is skipped and reported, and the records on both
  // sides are read.
  const std::size_t afterFirstRecord = whole.find("\r\n", whole.find("\r\n") + 2) + 2;
  const std::string joined = whole.substr(0, afterFirstRecord) + torn + whole.substr(afterFirstRecord);
  const ParseOutcome old = RecordParser(RecordForm::kText, 16).Parse(joined, 100);
  ASSERT_EQ(old.records.size(), 2u);
  ExpectRecord(old.records[0], 0, 4, Minute(9, 0));
  ExpectRecord(old.records[1], 2, 4, Minute(9, 5));
  ASSERT_EQ(old.problems.size(), 1u);
  EXPECT_NE(old.problems[0].find("skipped"), std::string::npos) << old.problems[0];
}

TEST(TextRecords, LinesThatDoNotFitTheLayoutAreRefusedWithTheReason) {
  std::string why;
  EXPECT_FALSE(ParseRecordLine("2005/06/01 12:00:00,1,2", &why));
  EXPECT_NE(why.find("3 fields"), std::string::npos) << why;
  std::string line = store::DataRecordLine(Minute(1, 2), RecordValuesOf(0, 4), 4);
  EXPECT_TRUE(ParseRecordLine(line, &why));
  std::string bad = line;
  bad.replace(bad.find(",0.125,") + 1, 5, "x.125");
  EXPECT_FALSE(ParseRecordLine(bad, &why));
  EXPECT_FALSE(ParseRecordLine("2005/13/01 12:00:00" + line.substr(19), &why));
  EXPECT_FALSE(ParseRecordLine("2005/02/29 12:00:00" + line.substr(19), &why));  // not a leap year
  EXPECT_TRUE(ParseRecordLine("2004/02/29 12:00:00" + line.substr(19), &why));
  // Exponent forms as the writer prints very small values.
  auto v = RecordValuesOf(0, 4);
  v[0] = 1e-05f;
  const auto r = ParseRecordLine(store::DataRecordLine(Minute(1, 2), v, 4), &why);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->values[0], 1e-05f);
}

TEST(BinaryRecords, OnlyWhole1000ByteRecordsAreTakenAndATornTailWaits) {
  TempDir dir;
  const std::string path = dir.File("data.bdt");
  store::DataFile file;
  std::string why;
  ASSERT_TRUE(file.OpenForRun(path, true, 2, store::DesignThresholdTexts(), &why)) << why;
  for (int r = 0; r < 3; ++r) {
    store::BinaryRecord b;
    b.oleTime = text::ToOleDate(Minute(13, r));
    b.values = RecordValuesOf(r, 8);
    ASSERT_TRUE(file.AppendBinaryRecord(store::EncodeBinaryRecord(b), &why)) << why;
  }
  file.Close();
  AppendFile(path, std::string(999, '\x11'));

  const std::string bytes = ReadFile(path);
  ASSERT_EQ(bytes.size(), 3999u);
  RecordParser parser(RecordForm::kBinary, 8);
  const ParseOutcome out = parser.Parse(bytes, 100);
  EXPECT_EQ(out.consumed, 3000u);
  ASSERT_EQ(out.records.size(), 3u);
  for (int r = 0; r < 3; ++r) ExpectRecord(out.records[static_cast<std::size_t>(r)], r, 8, Minute(13, r));
  EXPECT_FALSE(out.records[0].thresholds.has_value());

  const auto whole = ReadDataFile(path, std::nullopt, 8, &why);
  ASSERT_TRUE(whole) << why;
  EXPECT_EQ(whole->form, RecordForm::kBinary);
  EXPECT_EQ(whole->records.size(), 3u);
  EXPECT_EQ(whole->tornTail, 999u);

  // A record whose time is no date at all (NaN) is reported, not stored.
  store::BinaryRecord nan;
  nan.oleTime = std::numeric_limits<double>::quiet_NaN();
  const ParseOutcome bad = parser.Parse(store::EncodeBinaryRecord(nan), 10);
  EXPECT_EQ(bad.consumed, 1000u);
  EXPECT_TRUE(bad.records.empty());
  EXPECT_EQ(bad.problems.size(), 1u);
}

TEST(RecordForms, TheFirstBytesTellTextFromBinary) {
  const std::string header = text::ToCp932(store::DataHeaderLine(4, store::DesignThresholdTexts()));
  EXPECT_EQ(SniffForm(header), RecordForm::kText);
  EXPECT_EQ(SniffForm(header.substr(0, 3)), std::nullopt);  // a header only begun
  EXPECT_EQ(SniffForm(""), std::nullopt);
  store::BinaryRecord b;
  b.oleTime = 38504.5;
  EXPECT_EQ(SniffForm(store::EncodeBinaryRecord(b)), RecordForm::kBinary);
  EXPECT_EQ(SniffForm(store::EncodeBinaryRecord(b).substr(0, 2)), RecordForm::kBinary);
}

}  // namespace
}  // namespace varnel::fleet
