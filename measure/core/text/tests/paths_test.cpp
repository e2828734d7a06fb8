#include "text/paths.h"

#include <gtest/gtest.h>

namespace varnel::text {
namespace {

TEST(FolderPart, UpToAndIncludingTheLastSeparator) {
  EXPECT_EQ(FolderPart("/var/tmp/気象・電流data.csv"), "/var/tmp/");
  EXPECT_EQ(FolderPart("/data.csv"), "/");
  EXPECT_EQ(FolderPart("data.csv"), "");
  EXPECT_EQ(FolderPart(""), "");
  EXPECT_EQ(FolderPart("/var/tmp/"), "/var/tmp/");
}

TEST(ReplaceExtension, ChangesOnlyTheFileNamesExtension) {
  EXPECT_EQ(ReplaceExtension("/var/tmp/気象・電流data.csv", "bdt"), "/var/tmp/気象・電流data.bdt");
  EXPECT_EQ(ReplaceExtension("/var/tmp/data.bdt", "csv"), "/var/tmp/data.csv");
  // A dot in a folder name is not the extension: the whole path stays.
  EXPECT_EQ(ReplaceExtension("/home/op/site.1/data.csv", "bdt"), "/home/op/site.1/data.bdt");
  EXPECT_EQ(ReplaceExtension("/home/op/site.1/data", "bdt"), "/home/op/site.1/data.bdt");
  EXPECT_EQ(ReplaceExtension("data", "csv"), "data.csv");
  EXPECT_EQ(ReplaceExtension("", "csv"), ".csv");
  EXPECT_EQ(ReplaceExtension("a.b.csv", "bdt"), "a.b.bdt");
  EXPECT_EQ(ReplaceExtension("/var/tmp/data.", "csv"), "/var/tmp/data.csv");
}

}  // namespace
}  // namespace varnel::text
