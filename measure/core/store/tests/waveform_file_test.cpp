#include "store/waveform_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>

#include "child_process.h"
#include "files.h"

namespace varnel::store {
namespace {

using lw::testing::I16At;
using lw::testing::ReadFile;
using lw::testing::TempDir;

WaveStore Pattern(int channels) {
  WaveStore w(channels);
  for (int ch = 0; ch < channels; ++ch)
    for (int k = 0; k < WaveStore::kSamples; ++k) w.Set(k, ch, static_cast<int16_t>(ch * 1000 - k));
  return w;
}

TEST(WaveformFile, FourChannelsGiveTheDocumentedBytes) {
  TempDir dir;
  const std::string path = dir.File("20050601-1300Wev.dat");
  ASSERT_TRUE(WriteWaveformFile(path, Pattern(4)));
  const std::string b = ReadFile(path);
  ASSERT_EQ(b.size(), 10052u);
  EXPECT_EQ(I16At(b, 0), 1255);
  EXPECT_EQ(I16At(b, 2), 3);
  EXPECT_EQ(I16At(b, 4), 0);                    // channel 0, sample 0
  EXPECT_EQ(I16At(b, 4 + 2 * 1255), -1255);     // channel 0, sample 1255
  EXPECT_EQ(I16At(b, 4 + 2 * 1256), 1000);      // channel 1, sample 0
  EXPECT_EQ(I16At(b, 4 + 2 * (3 * 1256 + 7)), 3000 - 7);
  EXPECT_EQ(WaveformFileSize(8), 20100u);
  EXPECT_EQ(WaveformFileSize(16), 40196u);
}

TEST(WaveformFile, NegativeCountsRoundTripAndOnlyTheAskedChannelsAreWritten) {
  TempDir dir;
  const std::string path = dir.File("w.dat");
  WaveStore big = Pattern(16);
  big.Set(5, 2, -32768);
  ASSERT_TRUE(WriteWaveformFile(path, big, 8));
  EXPECT_EQ(std::filesystem::file_size(path), 20100u);
  std::string why;
  auto back = ReadWaveformFile(path, &why);
  ASSERT_TRUE(back.has_value()) << why;
  ASSERT_EQ(back->Channels(), 8);
  EXPECT_EQ(back->At(5, 2), -32768);
  for (int ch = 0; ch < 8; ++ch)
    for (int k = 0; k < WaveStore::kSamples; k += 97) EXPECT_EQ(back->At(k, ch), big.At(k, ch));
}

TEST(WaveformFile, ReplacesAnOlderLongerFileAndLeavesNoTemporary) {
  TempDir dir;
  const std::string path = dir.File("w.dat");
  ASSERT_TRUE(WriteWaveformFile(path, Pattern(16)));
  ASSERT_TRUE(WriteWaveformFile(path, Pattern(4)));
  EXPECT_EQ(std::filesystem::file_size(path), 10052u);
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Path())) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(WaveformFile, RefusesChannelCountsTheLayoutCannotHold) {
  TempDir dir;
  EXPECT_FALSE(WriteWaveformFile(dir.File("a.dat"), Pattern(4), 8));  // more than the store has
  EXPECT_FALSE(WriteWaveformFile(dir.File("b.dat"), WaveStore(5)));
  EXPECT_FALSE(WriteWaveformFile(dir.File("c.dat"), WaveStore(0)));
  EXPECT_FALSE(std::filesystem::exists(dir.File("a.dat")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("b.dat")));
}

TEST(WaveformFile, FailedWriteKeepsTheOlderFileAndLeavesNothingBehind) {
  TempDir dir;
  const std::string path = dir.File("w.dat");
  ASSERT_TRUE(WriteWaveformFile(path, Pattern(4)));
  // A file-size limit below the 16-channel size makes the write fail with
  // EFBIG (the signal is ignored by the writer), even for root.
  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit small = old;
  small.rlim_cur = 15000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool wrote = WriteWaveformFile(path, Pattern(16));
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
  EXPECT_FALSE(wrote);
  EXPECT_EQ(std::filesystem::file_size(path), 10052u);
  EXPECT_EQ(ReadFile(path), EncodeWaveform(Pattern(4), 4));
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Path())) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(WaveformFile, TargetThatIsAFolderIsAFailureWithNoTemporaryLeft) {
  TempDir dir;
  std::filesystem::create_directories(dir.Path() / "w.dat" / "inner");
  EXPECT_FALSE(WriteWaveformFile(dir.File("w.dat"), Pattern(4)));
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Path())) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(WaveformFile, MissingFolderIsAFailureNotACrash) {
  TempDir dir;
  EXPECT_FALSE(WriteWaveformFile(dir.File("no/such/folder/w.dat"), Pattern(4)));
}

TEST(WaveformFileReader, RefusesHeadersAndSizesThatDoNotFit) {
  const std::string good = EncodeWaveform(Pattern(4), 4);
  std::string why;
  EXPECT_TRUE(DecodeWaveform(good, &why).has_value());

  EXPECT_FALSE(DecodeWaveform(good.substr(0, 3), &why).has_value());
  EXPECT_NE(why.find("header"), std::string::npos);

  EXPECT_FALSE(DecodeWaveform(good.substr(0, good.size() - 2), &why).has_value());
  EXPECT_NE(why.find("10050 bytes"), std::string::npos) << why;

  EXPECT_FALSE(DecodeWaveform(good + std::string(2, '\0'), &why).has_value());

  std::string badSample = good;
  badSample[0] = static_cast<char>(0xE6);  // 1254
  EXPECT_FALSE(DecodeWaveform(badSample, &why).has_value());
  EXPECT_NE(why.find("1254"), std::string::npos) << why;

  std::string badChannel = good;
  badChannel[2] = 4;  // 5 channels
  EXPECT_FALSE(DecodeWaveform(badChannel, &why).has_value());
  EXPECT_NE(why.find("3, 7 or 15"), std::string::npos) << why;

  // A 16-channel header on a 4-channel body.
  std::string mixed = good;
  mixed[2] = 15;
  EXPECT_FALSE(DecodeWaveform(mixed, &why).has_value());
  EXPECT_NE(why.find("40196"), std::string::npos) << why;

  TempDir dir;
  EXPECT_FALSE(ReadWaveformFile(dir.File("absent.dat"), &why).has_value());
  EXPECT_NE(why.find("cannot open"), std::string::npos);
}

}  // namespace
}  // namespace varnel::store
