// Replacing the head of a small file without ever leaving half of it.
#include "settings/file_write.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "child_process.h"
#include "files.h"

namespace varnel {
namespace {

using lw::testing::FileCount;
using lw::testing::ReadFileBytes;
using lw::testing::TempDir;
using lw::testing::WriteFile;

std::vector<uint8_t> V(std::string_view s) { return {s.begin(), s.end()}; }

TEST(OverwriteFileHead, CreatesAMissingFile) {
  TempDir dir;
  ASSERT_TRUE(OverwriteFileHead(dir / "f", V("abc")));
  EXPECT_EQ(ReadFileBytes(dir / "f"), V("abc"));
  EXPECT_EQ(FileCount(dir.Path()), 1u);
}

TEST(OverwriteFileHead, KeepsTheOldBytesBeyondTheNewHead) {
  TempDir dir;
  WriteFile(dir / "f", V("0123456789"));
  ASSERT_TRUE(OverwriteFileHead(dir / "f", V("abc")));
  EXPECT_EQ(ReadFileBytes(dir / "f"), V("abc3456789"));
  ASSERT_TRUE(OverwriteFileHead(dir / "f", V("ABCDEFGHIJKL")));
  EXPECT_EQ(ReadFileBytes(dir / "f"), V("ABCDEFGHIJKL"));
  EXPECT_EQ(FileCount(dir.Path()), 1u);
}

TEST(OverwriteFileHead, KeepsTheFilesPermissionsAndASymbolicLink) {
  TempDir dir;
  WriteFile(dir / "target", V("0123"));
  std::filesystem::permissions(dir / "target", std::filesystem::perms::owner_read |
                                                   std::filesystem::perms::owner_write |
                                                   std::filesystem::perms::group_read);
  std::filesystem::create_symlink(dir / "target", dir / "link");
  ASSERT_TRUE(OverwriteFileHead(dir / "link", V("ab")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link"));
  EXPECT_EQ(ReadFileBytes(dir / "target"), V("ab23"));
  EXPECT_EQ(std::filesystem::status(dir / "target").permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read);
}

TEST(AppendToFile, AppendsAndCreates) {
  TempDir dir;
  ASSERT_TRUE(AppendToFile(dir / "log", "a\r\n"));
  ASSERT_TRUE(AppendToFile(dir / "log", "b\r\n"));
  EXPECT_EQ(ReadFileBytes(dir / "log"), V("a\r\nb\r\n"));
}

}  // namespace
}  // namespace varnel

namespace varnel {
namespace {

TEST(AppendToFile, AFullDiskIsReported) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const WriteResult r = AppendToFile("/dev/full", "line\r\n");
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("full"), std::string::npos) << r.error;
}

}  // namespace
}  // namespace varnel
