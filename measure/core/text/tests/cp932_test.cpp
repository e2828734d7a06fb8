// Code page 932 at file boundaries: byte vectors written out by hand from
// the code page's table.
#include "text/cp932.h"

#include <gtest/gtest.h>

#include <string>

namespace varnel::text {
namespace {

std::string Bytes(std::initializer_list<unsigned char> b) { return std::string(b.begin(), b.end()); }

TEST(Cp932, DesignDataPathHasTwoBytesPerKanjiAndOneForAscii) {
  // 気 8B43, 象 8FDB, ・ 8145, 電 9364, 流 97AC.
  const std::string name = Bytes({0x8B, 0x43, 0x8F, 0xDB, 0x81, 0x45, 0x93, 0x64, 0x97, 0xAC,
                                  'd', 'a', 't', 'a', '.', 'c', 's', 'v'});
  EXPECT_EQ(ToCp932("気象・電流data.csv"), name);
  EXPECT_EQ(name.size(), 18u);
  const std::string path = "D:\\temp\\" + name;
  EXPECT_EQ(ToCp932("D:\\temp\\気象・電流data.csv"), path);
  EXPECT_EQ(path.size(), 26u);
  EXPECT_EQ(CharCount("D:\\temp\\気象・電流data.csv"), 21u);
  EXPECT_EQ(FromCp932(path), "D:\\temp\\気象・電流data.csv");
}

TEST(Cp932, HalfWidthKatakanaIsOneByteEach) {
  EXPECT_EQ(ToCp932("ｽﾃｰﾀｽ"), Bytes({0xBD, 0xC3, 0xB0, 0xC0, 0xBD}));
  EXPECT_EQ(FromCp932(Bytes({0xBD, 0xC3, 0xB0, 0xC0, 0xBD})), "ｽﾃｰﾀｽ");
  EXPECT_EQ(CharCount("ｽﾃｰﾀｽ"), 5u);
}

TEST(Cp932, ErrorLogTextsRoundTrip) {
  const char* texts[] = {"AD変換ﾁｬﾝﾈﾙ設定誤り[CODE:-1]", "ADｶｰﾄﾞﾊﾟﾗﾒｰﾀ設定ｴﾗｰ[CODE: 5]", ",異常終了",
                         "変換ﾃﾞｰﾀ格納用ﾒﾓﾘﾌﾞﾛｯｸｱﾛｹｰｼｮﾝｴﾗｰ", "北北東", ""};
  for (const char* t : texts) EXPECT_EQ(FromCp932(ToCp932(t)), t) << t;
  EXPECT_EQ(ToCp932(",異常終了"), Bytes({',', 0x88, 0xD9, 0x8F, 0xED, 0x8F, 0x49, 0x97, 0xB9}));
}

TEST(Cp932, UnmappableCharactersBecomeOneQuestionMarkEach) {
  EXPECT_EQ(ToCp932("a\xF0\x9D\x84\x9E" "b"), "a?b");   // U+1D11E has no CP932 form
  EXPECT_EQ(ToCp932("x\xC3\xA9y"), "x?y");            // é
  EXPECT_EQ(ToCp932("\xFF\xFE" "z"), "??z");          // not UTF-8 at all
  EXPECT_EQ(ToCp932("\xE6\xB0"), "?");                // cut-off sequence at the end
}

TEST(Cp932, InvalidBytesAreReportedNotGuessed) {
  EXPECT_EQ(FromCp932(Bytes({0x81})), std::nullopt);              // lead byte at the end
  EXPECT_EQ(FromCp932(Bytes({0x8B, 0x20})), std::nullopt);        // bad trail byte
  EXPECT_EQ(FromCp932(Bytes({'o', 'k', 0x81, 0x7F})), std::nullopt);
  EXPECT_EQ(FromCp932(""), std::string());
}

TEST(CharCount, CountsCodePointsNotBytes) {
  EXPECT_EQ(CharCount(""), 0u);
  EXPECT_EQ(CharCount("abc"), 3u);
  EXPECT_EQ(CharCount("異常終了"), 4u);
  EXPECT_EQ(CharCount("\xF0\x9D\x84\x9E"), 1u);
}

}  // namespace
}  // namespace varnel::text
