// ErrLog.csv lines, byte for byte in code page 932.
#include "settings/errlog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "child_process.h"
#include "files.h"
#include "text/cp932.h"

namespace varnel {
namespace {

using lw::testing::ReadFileBytes;
using lw::testing::TempDir;

std::string FileText(const std::filesystem::path& file) {
  const auto bytes = ReadFileBytes(file);
  return std::string(bytes.begin(), bytes.end());
}

TEST(ErrorLog, ChannelSettingFailureLine) {
  TempDir dir;
  const text::LocalDateTime t{2004, 2, 4, 15, 30, 5, 0};
  ASSERT_TRUE(LogPR("AD変換ﾁｬﾝﾈﾙ設定誤り[CODE:-1]", "北北東", t, dir.Path()));
  // "AD変換" 41 44 95CF 8AB7, "ﾁｬﾝﾈﾙ" C1 AC DD C8 D9, "設定" 90DD 92E8, "誤り" 8CEB 82E8,
  // "北北東" 966B 966B 938C, "異常終了" 88D9 8FED 8F49 97B9.
  const std::string expected =
      "2004/02/04 15:30:05,AD\x95\xCF\x8A\xB7\xC1\xAC\xDD\xC8\xD9\x90\xDD\x92\xE8\x8C\xEB\x82\xE8"
      "[CODE:-1],\x96\x6B\x96\x6B\x93\x8C,\x88\xD9\x8F\xED\x8F\x49\x97\xB9\r\n";
  EXPECT_EQ(FileText(dir / "ErrLog.csv"), expected);
}

TEST(ErrorLog, ParameterFailureKeepsTheBlankOfTheShortForm) {
  TempDir dir;
  ASSERT_TRUE(LogPR("ADｶｰﾄﾞﾊﾟﾗﾒｰﾀ設定ｴﾗｰ[CODE: 5]", "", {2005, 6, 1, 9, 0, 0, 0}, dir.Path()));
  const auto text = text::FromCp932(FileText(dir / "ErrLog.csv"));
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "2005/06/01 09:00:00,ADｶｰﾄﾞﾊﾟﾗﾒｰﾀ設定ｴﾗｰ[CODE: 5],,異常終了\r\n");
}

TEST(ErrorLog, MidnightWritesOnlyTheDate) {
  EXPECT_EQ(ErrorLogLine("m", "", {2004, 2, 4, 0, 0, 0, 0}), "2004/02/04,m,,異常終了\r\n");
}

TEST(ErrorLog, CommasAreWrittenUnchanged) {
  EXPECT_EQ(ErrorLogLine("a,b", "c,d", {2004, 2, 4, 1, 2, 3, 0}), "2004/02/04 01:02:03,a,b,c,d,異常終了\r\n");
}

TEST(ErrorLog, TwoCallsGiveTwoLinesInOrderAndKeepEarlierLines) {
  TempDir dir;
  {
    std::ofstream old(dir / "ErrLog.csv", std::ios::binary);
    old << "old line\r\n";
  }
  ASSERT_TRUE(LogPR("first", "", {2004, 2, 4, 10, 0, 0, 0}, dir.Path()));
  ASSERT_TRUE(LogPR("second", "NE", {2004, 2, 4, 10, 1, 0, 0}, dir.Path()));
  EXPECT_EQ(FileText(dir / "ErrLog.csv"),
            "old line\r\n"
            "2004/02/04 10:00:00,first,," + text::ToCp932("異常終了") + "\r\n"
            "2004/02/04 10:01:00,second,NE," + text::ToCp932("異常終了") + "\r\n");
}

TEST(ErrorLog, FailureToWriteIsReported) {
  TempDir dir;
  const WriteResult noFolder = LogPR("m", "", {2004, 2, 4, 1, 0, 0, 0}, dir / "missing");
  EXPECT_FALSE(noFolder.ok);
  EXPECT_NE(noFolder.error.find("ErrLog.csv"), std::string::npos);
  std::filesystem::create_directory(dir / "ErrLog.csv");  // a folder in the way
  EXPECT_FALSE(LogPR("m", "", {2004, 2, 4, 1, 0, 0, 0}, dir.Path()).ok);
}

TEST(ErrorLog, ReadOnlyLogIsReportedAndLeftAlone) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  TempDir dir;
  ASSERT_TRUE(LogPR("first", "", {2004, 2, 4, 10, 0, 0, 0}, dir.Path()));
  const auto before = ReadFileBytes(dir / "ErrLog.csv");
  std::filesystem::permissions(dir / "ErrLog.csv", std::filesystem::perms::owner_read);
  EXPECT_FALSE(LogPR("second", "", {2004, 2, 4, 10, 1, 0, 0}, dir.Path()).ok);
  EXPECT_EQ(ReadFileBytes(dir / "ErrLog.csv"), before);
}

}  // namespace
}  // namespace varnel
