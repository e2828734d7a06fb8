// The settings loader against random, truncated and mutated files: it must
// never read outside the bytes, never crash, and always leave the window
// with usable values.  Runs under the address and undefined-behaviour
// sanitizers in the sanitizer build.
#include <gtest/gtest.h>

#include <random>

#include "settings/setdt.h"

namespace varnel {
namespace {

std::vector<uint8_t> SampleRecord() {
  MeasureSettings s;
  s.freqIndex = 1;
  s.dataInterval = 5;
  s.waveInterval = -30;
  s.groupCount = 2;
  s.shuntOhm = 330;
  s.dataPath = "/var/tmp/気象・電流data.csv";
  s.peakLevel = -2;
  s.peakThresholds = {0.5f, 1, 2, 5, 10};
  s.binaryFormat = 1;
  s.channelLevels.fill(0.5f);
  return *EncodeSettings(s);
}

// Loads the bytes into a design window and checks that everything the rest
// of the program relies on is usable.
void LoadAndCheck(const std::vector<uint8_t>& bytes) {
  // An exact-size heap copy, so that any read past the end is caught.
  auto exact = std::make_unique<uint8_t[]>(bytes.size() + 1);
  std::copy(bytes.begin(), bytes.end(), exact.get());
  const StoredSettings stored = DecodeSettings(std::span<const uint8_t>(exact.get(), bytes.size()));

  PolModeForm form = MakeDesignForm();
  MeasureState state;
  const MeasureSettings s = ApplyStoredSettings(form, state, stored);
  ASSERT_TRUE(s.groupCount == 1 || s.groupCount == 2 || s.groupCount == 4);
  ASSERT_EQ(state.groupCount, s.groupCount);
  ASSERT_TRUE(s.freqIndex == 0 || s.freqIndex == 1);
  ASSERT_TRUE(state.binaryFormat == 0 || state.binaryFormat == 1);
  ASSERT_EQ(SelectedOption(form.Option3), state.binaryFormat);
  ASSERT_NE(s.dataInterval, 0);
  ASSERT_NE(s.waveInterval, 0);
  ASSERT_TRUE(std::isfinite(s.shuntOhm));
  ASSERT_NE(s.shuntOhm, 0.0f);
  ASSERT_FALSE(s.dataPath.empty());
  for (const auto& c : form.Combo3) ASSERT_FALSE(c.text.empty());
  for (const auto& t : form.Text5) ASSERT_FALSE(t.text.empty());
}

TEST(SettingsLoaderFuzz, EveryTruncationReadsOnlyWhatIsThere) {
  const auto full = SampleRecord();
  const StoredSettings whole = DecodeSettings(full);
  for (std::size_t n = 0; n <= full.size(); ++n) {
    const std::vector<uint8_t> prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    LoadAndCheck(prefix);
    // A prefix never invents a value: each field is the full file's or missing.
    const StoredSettings d = DecodeSettings(prefix);
    if (d.shuntOhm) {
      EXPECT_EQ(d.shuntOhm, whole.shuntOhm) << n;
    }
    if (d.dataPath) {
      EXPECT_EQ(d.dataPath, whole.dataPath) << n;
    }
    if (d.binaryFormat) {
      EXPECT_EQ(d.binaryFormat, whole.binaryFormat) << n;
    }
    for (std::size_t i = 0; i < 16; ++i) {
      if (d.channelLevels[i]) {
        EXPECT_EQ(d.channelLevels[i], whole.channelLevels[i]) << n;
      }
    }
    EXPECT_EQ(d.channelLevels[15].has_value(), n == full.size()) << n;
  }
}

TEST(SettingsLoaderFuzz, RandomBytesNeverCrashTheLoader) {
  std::mt19937 rng(20050601);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<std::size_t> length(0, 400);
  for (int iteration = 0; iteration < 4000; ++iteration) {
    std::vector<uint8_t> bytes(length(rng));
    for (auto& b : bytes) b = static_cast<uint8_t>(byte(rng));
    // Half of the time a plausible path length, so that the later fields
    // are reached too.
    if (iteration % 2 == 0 && bytes.size() >= 14) {
      bytes[12] = static_cast<uint8_t>(byte(rng) % 64);
      bytes[13] = 0;
    }
    LoadAndCheck(bytes);
    if (::testing::Test::HasFatalFailure()) FAIL() << "iteration " << iteration;
  }
}

TEST(SettingsLoaderFuzz, MutatedRecordsNeverCrashTheLoader) {
  std::mt19937 rng(7100);
  const auto base = SampleRecord();
  std::uniform_int_distribution<std::size_t> pos(0, base.size() - 1);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> flips(1, 6);
  for (int iteration = 0; iteration < 4000; ++iteration) {
    auto bytes = base;
    for (int k = flips(rng); k > 0; --k) bytes[pos(rng)] = static_cast<uint8_t>(byte(rng));
    bytes.resize(std::uniform_int_distribution<std::size_t>(0, bytes.size())(rng));
    LoadAndCheck(bytes);
    if (::testing::Test::HasFatalFailure()) FAIL() << "iteration " << iteration;
  }
}

}  // namespace
}  // namespace varnel
