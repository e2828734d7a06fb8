// SETDT.DAT: byte layout against vectors built here, the save from the
// window and the load rules back into it.
#include "settings/setdt.h"

#include <gtest/gtest.h>

#include <functional>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "child_process.h"
#include "files.h"

namespace varnel {
namespace {

using lw::testing::ReadFileBytes;
using lw::testing::TempDir;
using lw::testing::WriteFile;

// Little-endian pieces of an expected record.  Singles are given by their
// IEEE bit patterns, worked out by hand.
struct Bytes {
  std::vector<uint8_t> b;
  Bytes& I16(int v) {
    const auto u = static_cast<uint16_t>(v);
    b.push_back(static_cast<uint8_t>(u & 0xFF));
    b.push_back(static_cast<uint8_t>(u >> 8));
    return *this;
  }
  Bytes& U32(uint32_t u) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(u >> (8 * i)));
    return *this;
  }
  Bytes& Raw(std::initializer_list<uint8_t> raw) {
    b.insert(b.end(), raw);
    return *this;
  }
};

constexpr uint32_t kF0 = 0x00000000, kF05 = 0x3F000000, kF1 = 0x3F800000, kF2 = 0x40000000, kF5 = 0x40A00000,
                   kF10 = 0x41200000, kF330 = 0x43A50000, kFm1 = 0xBF800000, kFNaN = 0x7FC00000,
                   kFInf = 0x7F800000, kF025 = 0x3E800000;

const char* kWindowsDesignPath = "D:\\temp\\気象・電流data.csv";

// "D:\temp\気象・電流data.csv" in code page 932: 26 bytes for 21 characters.
const std::initializer_list<uint8_t> kDesignPathBytes = {
    'D', ':', '\\', 't', 'e', 'm', 'p', '\\', 0x8B, 0x43, 0x8F, 0xDB, 0x81,
    0x45, 0x93, 0x64, 0x97, 0xAC, 'd', 'a', 't', 'a', '.', 'c', 's', 'v'};

// The record of the window's design values with the design path.
std::vector<uint8_t> DesignRecord() {
  Bytes r;
  r.I16(0).I16(1).I16(10).I16(4).U32(kF330).I16(21).Raw(kDesignPathBytes);
  r.U32(kF1);                                       // PeakLevel
  r.U32(kF05).U32(kF1).U32(kF2).U32(kF5).U32(kF10);  // PeakThresholds
  r.I16(0);                                         // BinaryFormat
  for (int i = 0; i < 16; ++i) r.U32(kF1);          // ChannelLevels
  return r.b;
}

// The window as start-up leaves it before the settings are read.
PolModeForm LoadForm() {
  PolModeForm f = MakeDesignForm();
  f.Combo1.text = "1";
  f.Combo2.text = "10";
  return f;
}

MeasureSettings DesignSettings() {
  MeasureSettings s;
  s.freqIndex = 0;
  s.dataInterval = 1;
  s.waveInterval = 10;
  s.groupCount = 4;
  s.shuntOhm = 330;
  s.dataPath = kWindowsDesignPath;
  s.peakLevel = 1;
  s.peakThresholds = {0.5f, 1, 2, 5, 10};
  s.binaryFormat = 0;
  s.channelLevels.fill(1.0f);
  return s;
}

StoredSettings Decode(const std::vector<uint8_t>& b) { return DecodeSettings(b); }

TEST(SettingsRecord, DesignPathRecordIsByteExact) {
  const std::vector<uint8_t> expected = DesignRecord();
  ASSERT_EQ(expected.size(), 130u);
  const auto record = EncodeSettings(DesignSettings());
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, expected);
  // Fields after the path start at 14 + 26.
  EXPECT_EQ((*record)[12], 21);
  EXPECT_EQ((*record)[13], 0);
  EXPECT_EQ((*record)[40], 0x00);
  EXPECT_EQ((*record)[43], 0x3F);  // PeakLevel 1.0
  EXPECT_EQ((*record)[63], 0x41);  // PeakThresholds[4] = 10.0 ends at 63
  EXPECT_EQ((*record)[64], 0);     // BinaryFormat at 38 + 26
  EXPECT_EQ((*record)[69], 0x3F);  // ChannelLevels[0] = 1.0 at 40 + 26
}

TEST(SettingsRecord, SaveFromTheDesignWindowWritesTheDesignRecord) {
  TempDir dir;
  PolModeForm form = LoadForm();
  form.Text4.text = kWindowsDesignPath;
  MeasureState state;
  ASSERT_TRUE(STFSave(form, state, dir.Path()));
  EXPECT_EQ(ReadFileBytes(dir / "SETDT.DAT"), DesignRecord());
}

TEST(SettingsRecord, RoundTripKeepsEveryField) {
  MeasureSettings s;
  s.freqIndex = 1;
  s.dataInterval = 30;
  s.waveInterval = -360;
  s.groupCount = 2;
  s.shuntOhm = 1000.5f;
  s.dataPath = "/var/tmp/ｻｲﾄ 気象/電流.bdt";
  s.peakLevel = -12.25f;
  s.peakThresholds = {0.1f, 0.2f, 0.3f, 40, 50000};
  s.binaryFormat = 1;
  for (int i = 0; i < 16; ++i) s.channelLevels[static_cast<std::size_t>(i)] = 0.5f * static_cast<float>(i);
  const auto bytes = EncodeSettings(s);
  ASSERT_TRUE(bytes);
  // "/var/tmp/" 9 + "ｻｲﾄ" 3 + " " 1 + 気象 4 + "/" 1 + 電流 4 + ".bdt" 4 = 26 bytes, 22 characters.
  EXPECT_EQ(bytes->size(), 104u + 26u);
  EXPECT_EQ((*bytes)[12], 22);
  const StoredSettings d = Decode(*bytes);
  EXPECT_EQ(d.freqIndex, 1);
  EXPECT_EQ(d.dataInterval, 30);
  EXPECT_EQ(d.waveInterval, -360);
  EXPECT_EQ(d.groupCount, 2);
  EXPECT_EQ(d.shuntOhm, 1000.5f);
  EXPECT_EQ(d.dataPath, s.dataPath);
  EXPECT_EQ(d.peakLevel, -12.25f);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(d.peakThresholds[i], s.peakThresholds[i]);
  EXPECT_EQ(d.binaryFormat, 1);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(d.channelLevels[i], s.channelLevels[i]);
}

TEST(SettingsRecord, WindowRoundTripThroughTheFile) {
  TempDir dir;
  PolModeForm form = LoadForm();
  MeasureState state;
  form.Text1.text = "470";
  form.Text4.text = "/var/tmp/気象・電流data.bdt";
  SelectOption(form.Option2, 1);
  form.Combo1.text = "15";
  form.Combo2.text = "60";
  form.Text3.text = "3.5";
  form.Text5[0].text = "0.25";
  form.Combo3[7].text = "10";
  state.groupCount = 2;
  state.binaryFormat = 1;
  ASSERT_TRUE(STFSave(form, state, dir.Path()));

  PolModeForm loaded = LoadForm();
  MeasureState loadedState;
  const SettingsLoad load = STFLood(loaded, loadedState, dir.Path());
  EXPECT_TRUE(load.fileRead);
  EXPECT_EQ(load.settings.shuntOhm, 470.0f);
  EXPECT_EQ(load.settings.dataPath, "/var/tmp/気象・電流data.bdt");
  EXPECT_EQ(load.settings.freqIndex, 1);
  EXPECT_EQ(load.settings.dataInterval, 15);
  EXPECT_EQ(load.settings.waveInterval, 60);
  EXPECT_EQ(loadedState.groupCount, 2);
  EXPECT_EQ(loadedState.binaryFormat, 1);
  EXPECT_TRUE(loaded.Option3[1].selected);
  EXPECT_FALSE(loaded.Option3[0].selected);
  EXPECT_EQ(loaded.Text3.text, "3.5");
  EXPECT_EQ(loaded.Text5[0].text, "0.25");
  EXPECT_EQ(loaded.Combo3[7].text, "10");
  EXPECT_EQ(loaded.Combo3[0].text, "1");
  EXPECT_TRUE(loaded.Check3.checked);
}

TEST(SettingsSave, ClearedCheckBoxesAreStoredAsNegativeValues) {
  TempDir dir;
  PolModeForm form = LoadForm();
  form.Check1.checked = false;
  form.Combo2.text = "30";
  form.Check3.checked = false;
  form.Text3.text = "1";
  ASSERT_TRUE(STFSave(form, MeasureState{}, dir.Path()));
  const auto bytes = ReadFileBytes(dir / "SETDT.DAT");
  ASSERT_GE(bytes.size(), 6u);
  EXPECT_EQ(bytes[4], 0xE2);  // -30
  EXPECT_EQ(bytes[5], 0xFF);
  const StoredSettings d = DecodeSettings(bytes);
  EXPECT_EQ(d.peakLevel, -1.0f);

  PolModeForm loaded = LoadForm();
  MeasureState state;
  const SettingsLoad load = STFLood(loaded, state, dir.Path());
  EXPECT_EQ(load.settings.waveInterval, -30);  // start-up shows 30 and clears Check1
  EXPECT_FALSE(loaded.Check3.checked);
  EXPECT_EQ(loaded.Text3.text, "1");
}

TEST(SettingsSave, IntervalsOutsideSixteenBitsAreHeldToTheRange) {
  PolModeForm form = LoadForm();
  form.Combo1.text = "99999";
  form.Combo2.text = "2.5";  // half to even
  MeasureSettings s = CollectSettings(form, MeasureState{});
  EXPECT_EQ(s.dataInterval, 32767);
  EXPECT_EQ(s.waveInterval, 2);
  form.Combo1.text = "-1e9";
  form.Combo2.text = "-32768";
  form.Check1.checked = false;
  s = CollectSettings(form, MeasureState{});
  EXPECT_EQ(s.dataInterval, -32768);
  EXPECT_EQ(s.waveInterval, 32767);  // -(-32768) does not fit; nearest is kept
  form.Combo1.text = "abc";
  EXPECT_EQ(CollectSettings(form, MeasureState{}).dataInterval, 0);
}

TEST(SettingsSave, NumbersAreTheLeadingNumbersOfTheTexts) {
  PolModeForm form = LoadForm();
  form.Text1.text = "330Ω";
  form.Text5[3].text = "x5";
  form.Combo3[15].text = "1e40";  // beyond a single: stored as infinity, loaded as not set
  const MeasureSettings s = CollectSettings(form, MeasureState{});
  EXPECT_EQ(s.shuntOhm, 330.0f);
  EXPECT_EQ(s.peakThresholds[3], 0.0f);
  EXPECT_TRUE(std::isinf(s.channelLevels[15]));
}

// A design record with some fields replaced.
std::vector<uint8_t> RecordWith(const std::function<void(MeasureSettings&)>& edit) {
  MeasureSettings s = DesignSettings();
  edit(s);
  return *EncodeSettings(s);
}

TEST(SettingsLoad, ZeroFieldsGetTheLoadDefaults) {
  const auto bytes = RecordWith([](MeasureSettings& s) {
    s.dataInterval = 0;
    s.waveInterval = 0;
    s.groupCount = 0;
    s.shuntOhm = 0;
    s.freqIndex = 1;
  });
  PolModeForm form = LoadForm();
  MeasureState state;
  state.groupCount = 4;
  const MeasureSettings s = ApplyStoredSettings(form, state, DecodeSettings(bytes));
  EXPECT_EQ(s.shuntOhm, 330.0f);
  EXPECT_EQ(s.dataInterval, 1);
  EXPECT_EQ(s.waveInterval, 10);
  EXPECT_EQ(s.groupCount, 4);
  EXPECT_EQ(state.groupCount, 4);
  EXPECT_EQ(s.freqIndex, 1);  // stored with a path: kept
  EXPECT_EQ(s.dataPath, kWindowsDesignPath);
}

// A damaged file can hold any number: values outside what an operator can
// have chosen count as not set, values at the edges are kept.
TEST(SettingsLoad, ImpossibleIntervalsAndShuntsGetTheLoadDefaults) {
  struct Case {
    int16_t data, wave;
    float ohm;
    int16_t wantData, wantWave;
    float wantOhm;
  };
  const Case cases[] = {
      {61, 1441, 0.001f, 1, 10, 330.0f},   {-1, -1441, 2.0e6f, 1, 10, 330.0f},
      {28274, 27749, 2.66e-6f, 1, 10, 330.0f}, {60, -1440, 0.01f, 60, -1440, 0.01f},
      {1, 1, 1.0e6f, 1, 1, 1.0e6f},        {5, -1, -330.0f, 5, -1, 330.0f},
  };
  for (const Case& c : cases) {
    const auto bytes = RecordWith([&](MeasureSettings& s) {
      s.dataInterval = c.data;
      s.waveInterval = c.wave;
      s.shuntOhm = c.ohm;
    });
    PolModeForm form = LoadForm();
    MeasureState state;
    const MeasureSettings s = ApplyStoredSettings(form, state, DecodeSettings(bytes));
    EXPECT_EQ(s.dataInterval, c.wantData) << c.data;
    EXPECT_EQ(s.waveInterval, c.wantWave) << c.wave;
    EXPECT_EQ(s.shuntOhm, c.wantOhm) << c.ohm;
  }
}

TEST(SettingsLoad, ZeroThresholdKeepsTheDesignTextAndPositiveOnesReplaceIt) {
  const auto bytes = RecordWith([](MeasureSettings& s) { s.peakThresholds = {0.25f, 0, 0, -3, 7.5f}; });
  PolModeForm form = LoadForm();
  MeasureState state;
  ApplyStoredSettings(form, state, DecodeSettings(bytes));
  EXPECT_EQ(form.Text5[0].text, "0.25");
  EXPECT_EQ(form.Text5[1].text, "1");
  EXPECT_EQ(form.Text5[2].text, "2");
  EXPECT_EQ(form.Text5[3].text, "5");  // negative: kept too
  EXPECT_EQ(form.Text5[4].text, "7.5");
}

TEST(SettingsLoad, AllZeroChannelLevelsShowZero) {
  const auto bytes = RecordWith([](MeasureSettings& s) { s.channelLevels.fill(0.0f); });
  PolModeForm form = LoadForm();
  MeasureState state;
  ApplyStoredSettings(form, state, DecodeSettings(bytes));
  for (const auto& c : form.Combo3) EXPECT_EQ(c.text, "0");
}

TEST(SettingsLoad, ChannelLevelsUseThePlainSingleForm) {
  const auto bytes = RecordWith([](MeasureSettings& s) {
    s.channelLevels[0] = 1.0f / 3.0f;
    s.channelLevels[1] = 330;
    s.channelLevels[2] = 0.5f;
  });
  PolModeForm form = LoadForm();
  MeasureState state;
  ApplyStoredSettings(form, state, DecodeSettings(bytes));
  EXPECT_EQ(form.Combo3[0].text, "0.3333333");
  EXPECT_EQ(form.Combo3[1].text, "330");
  EXPECT_EQ(form.Combo3[2].text, "0.5");
}

TEST(SettingsLoad, EmptyPathTakesTheWindowsPathAndFrequency) {
  const auto bytes = RecordWith([](MeasureSettings& s) {
    s.dataPath.clear();
    s.freqIndex = 0;
  });
  ASSERT_EQ(bytes.size(), 104u);
  PolModeForm form = LoadForm();
  SelectOption(form.Option2, 1);
  MeasureState state;
  const MeasureSettings s = ApplyStoredSettings(form, state, DecodeSettings(bytes));
  EXPECT_EQ(s.dataPath, kDesignDataPath);
  EXPECT_EQ(s.freqIndex, 1);
}

TEST(SettingsLoad, BinaryFormatSelectsItsOptionAndExtension) {
  const auto bytes = RecordWith([](MeasureSettings& s) {
    s.dataPath.clear();
    s.binaryFormat = 1;
  });
  PolModeForm form = LoadForm();
  form.Text4.text = "/var/tmp/site.v2/気象・電流data.csv";
  MeasureState state;
  const MeasureSettings s = ApplyStoredSettings(form, state, DecodeSettings(bytes));
  EXPECT_EQ(state.binaryFormat, 1);
  EXPECT_EQ(SelectedOption(form.Option3), 1);
  // The dot of the folder name is left alone.
  EXPECT_EQ(s.dataPath, "/var/tmp/site.v2/気象・電流data.bdt");
}

TEST(SettingsLoad, OptionIndexesThatDoNotExistKeepTheCurrentChoice) {
  const auto bytes = RecordWith([](MeasureSettings& s) {
    s.freqIndex = 7;
    s.binaryFormat = -2;
    s.groupCount = 3;
  });
  PolModeForm form = LoadForm();
  SelectOption(form.Option2, 1);
  MeasureState state;
  const MeasureSettings s = ApplyStoredSettings(form, state, DecodeSettings(bytes));
  EXPECT_EQ(s.freqIndex, 1);
  EXPECT_EQ(s.binaryFormat, 0);
  EXPECT_EQ(SelectedOption(form.Option3), 0);
  EXPECT_EQ(s.groupCount, 4);
  EXPECT_EQ(state.groupCount, 4);
}

TEST(SettingsLoad, GroupCountsOfOneAndTwoAreKept) {
  for (int16_t g : {int16_t{1}, int16_t{2}}) {
    const auto bytes = *EncodeSettings([&] {
      MeasureSettings s = DesignSettings();
      s.groupCount = g;
      return s;
    }());
    PolModeForm form = LoadForm();
    MeasureState state;
    EXPECT_EQ(ApplyStoredSettings(form, state, DecodeSettings(bytes)).groupCount, g);
    EXPECT_EQ(state.groupCount, g);
  }
}

TEST(SettingsLoad, StaleBytesAfterAShorterPathAreIgnored) {
  TempDir dir;
  PolModeForm form = LoadForm();
  MeasureState state;
  form.Text4.text = "/var/tmp/a/very/long/folder/気象・電流data.csv";
  ASSERT_TRUE(STFSave(form, state, dir.Path()));
  const auto longFile = ReadFileBytes(dir / "SETDT.DAT");

  form.Text4.text = "/d.csv";
  form.Combo3[15].text = "5";
  ASSERT_TRUE(STFSave(form, state, dir.Path()));
  const auto shortRecord = *EncodeSettings(CollectSettings(form, state));
  const auto file = ReadFileBytes(dir / "SETDT.DAT");
  ASSERT_EQ(file.size(), longFile.size());
  // New record, then the old file's bytes beyond its end.
  std::vector<uint8_t> expected = shortRecord;
  expected.insert(expected.end(), longFile.begin() + static_cast<std::ptrdiff_t>(shortRecord.size()), longFile.end());
  EXPECT_EQ(file, expected);

  PolModeForm loaded = LoadForm();
  const SettingsLoad load = STFLood(loaded, state, dir.Path());
  EXPECT_EQ(load.settings.dataPath, "/d.csv");
  EXPECT_EQ(loaded.Combo3[15].text, "5");
  EXPECT_EQ(ReadSettingsDataPath(dir / "SETDT.DAT"), "/d.csv");
}

TEST(SettingsLoad, MissingFileGivesTheLoadDefaultsAndLeavesControlsAsDesigned) {
  TempDir dir;
  PolModeForm form = LoadForm();
  MeasureState state;
  const SettingsLoad load = STFLood(form, state, dir.Path());
  EXPECT_FALSE(load.fileRead);
  EXPECT_FALSE(load.problem.empty());
  EXPECT_EQ(load.settings.dataPath, kDesignDataPath);
  EXPECT_EQ(load.settings.shuntOhm, 330.0f);
  EXPECT_EQ(load.settings.dataInterval, 1);
  EXPECT_EQ(load.settings.waveInterval, 10);
  EXPECT_EQ(load.settings.groupCount, 4);
  EXPECT_EQ(load.settings.freqIndex, 0);
  const PolModeForm design = LoadForm();
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(form.Combo3[i].text, design.Combo3[i].text);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(form.Text5[i].text, design.Text5[i].text);
  EXPECT_EQ(form.Text3.text, "1");
  EXPECT_TRUE(form.Check3.checked);
}

TEST(SettingsLoad, TruncatedFileReadsWhatIsThereAndDefaultsTheRest) {
  auto bytes = DesignRecord();
  bytes[8] = 0;  // ShuntOhm 470.0 = 0x43EB0000
  bytes[9] = 0;
  bytes[10] = 0xEB;
  bytes[11] = 0x43;
  // Cut inside ChannelLevels[3]: levels 0..2 are there, the rest are not.
  const std::size_t cut = 14 + 26 + 4 + 20 + 2 + 3 * 4 + 2;
  bytes.resize(cut);
  std::vector<uint8_t> edited = bytes;
  // Level 1 is 0.
  for (std::size_t k = 0; k < 4; ++k) edited[14 + 26 + 26 + 4 + k] = 0;
  PolModeForm form = LoadForm();
  for (auto& c : form.Combo3) c.text = "2";
  MeasureState state;
  const MeasureSettings s = ApplyStoredSettings(form, state, DecodeSettings(edited));
  EXPECT_EQ(s.shuntOhm, 470.0f);
  EXPECT_EQ(s.dataPath, kWindowsDesignPath);
  EXPECT_EQ(form.Combo3[0].text, "1");
  EXPECT_EQ(form.Combo3[1].text, "0");
  EXPECT_EQ(form.Combo3[2].text, "1");
  EXPECT_EQ(form.Combo3[3].text, "2");  // not in the file: unchanged
  EXPECT_EQ(form.Combo3[15].text, "2");

  // Cut inside the path: the path and everything after it are missing.
  const std::vector<uint8_t> design = DesignRecord();
  const StoredSettings d = DecodeSettings(std::span(design).first(30));
  EXPECT_EQ(d.groupCount, 4);
  EXPECT_EQ(d.shuntOhm, 330.0f);
  EXPECT_FALSE(d.dataPath);
  EXPECT_FALSE(d.peakLevel);
  EXPECT_FALSE(d.channelLevels[0]);
  // Cut inside the second byte of a two-byte character (offset 23 = 象's trail).
  EXPECT_FALSE(DecodeSettings(std::span(design).first(23)).dataPath);
}

TEST(SettingsLoad, NegativeOrHugePathLengthLosesOnlyThePathAndWhatFollows) {
  for (int len : {-1, -32768, 32767, 200}) {
    auto bytes = DesignRecord();
    bytes[12] = static_cast<uint8_t>(len & 0xFF);
    bytes[13] = static_cast<uint8_t>((len >> 8) & 0xFF);
    const StoredSettings d = DecodeSettings(bytes);
    EXPECT_EQ(d.waveInterval, 10) << len;
    EXPECT_EQ(d.shuntOhm, 330.0f) << len;
    EXPECT_FALSE(d.dataPath) << len;
    EXPECT_FALSE(d.peakLevel) << len;
    EXPECT_FALSE(d.binaryFormat) << len;
    EXPECT_FALSE(d.channelLevels[15]) << len;
  }
}

TEST(SettingsLoad, InvalidPathBytesLoseOnlyThePath) {
  auto bytes = DesignRecord();
  bytes[23] = 0x20;  // 気 is 8B 43 at offset 22: its trail byte is no longer valid
  const StoredSettings d = DecodeSettings(bytes);
  EXPECT_FALSE(d.dataPath);
  EXPECT_EQ(d.peakLevel, 1.0f);
  EXPECT_EQ(d.channelLevels[15], 1.0f);
  PolModeForm form = LoadForm();
  MeasureState state;
  EXPECT_EQ(ApplyStoredSettings(form, state, d).dataPath, kDesignDataPath);
}

TEST(SettingsLoad, PathWithANulByteIsUnusable) {
  auto bytes = DesignRecord();
  bytes[16] = 0;  // "D:" then NUL instead of the separator
  const StoredSettings d = DecodeSettings(bytes);
  EXPECT_FALSE(d.dataPath);
  EXPECT_EQ(d.peakLevel, 1.0f);
}

TEST(SettingsLoad, NonFiniteSinglesCountAsNotSet) {
  Bytes r;
  r.I16(0).I16(1).I16(10).I16(4).U32(kFNaN).I16(1).Raw({'x'});
  r.U32(kFInf).U32(kFInf).U32(kFNaN).U32(kF025).U32(kF0).U32(kFm1).I16(0);
  r.U32(kFNaN);
  for (int i = 1; i < 16; ++i) r.U32(kF2);
  PolModeForm form = LoadForm();
  MeasureState state;
  const MeasureSettings s = ApplyStoredSettings(form, state, DecodeSettings(r.b));
  EXPECT_EQ(s.shuntOhm, 330.0f);
  EXPECT_EQ(s.dataPath, "x");
  EXPECT_EQ(form.Text3.text, "1");
  EXPECT_TRUE(form.Check3.checked);
  EXPECT_EQ(form.Text5[0].text, "0.5");
  EXPECT_EQ(form.Text5[1].text, "1");
  EXPECT_EQ(form.Text5[2].text, "0.25");
  EXPECT_EQ(form.Combo3[0].text, "1");
  EXPECT_EQ(form.Combo3[1].text, "2");
}

TEST(SettingsFile, DataPathReaderSharedWithTheWatchdog) {
  TempDir dir;
  EXPECT_EQ(ReadSettingsDataPath(dir / "SETDT.DAT"), std::nullopt);
  WriteFile(dir / "SETDT.DAT", DesignRecord());
  EXPECT_EQ(ReadSettingsDataPath(dir / "SETDT.DAT"), kWindowsDesignPath);
  // The watchdog needs only the leading part.
  const std::vector<uint8_t> design = DesignRecord();
  WriteFile(dir / "SETDT.DAT", std::vector<uint8_t>(design.begin(), design.begin() + 40));
  EXPECT_EQ(ReadSettingsDataPath(dir / "SETDT.DAT"), kWindowsDesignPath);
  WriteFile(dir / "SETDT.DAT", *EncodeSettings(MeasureSettings{}));
  EXPECT_EQ(ReadSettingsDataPath(dir / "SETDT.DAT"), std::nullopt);
  WriteFile(dir / "SETDT.DAT", std::vector<uint8_t>{});
  EXPECT_EQ(ReadSettingsDataPath(dir / "SETDT.DAT"), std::nullopt);
  EXPECT_EQ(ReadSettingsDataPath(dir.Path()), std::nullopt);  // a folder
}

TEST(SettingsFile, WriteFailureIsReportedAndChangesNothing) {
  TempDir dir;
  PolModeForm form = LoadForm();
  MeasureState state;
  const WriteResult missingFolder = STFSave(form, state, dir / "no-such-folder");
  EXPECT_FALSE(missingFolder.ok);
  EXPECT_NE(missingFolder.error.find("SETDT.DAT"), std::string::npos);

  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  WriteFile(dir / "SETDT.DAT", DesignRecord());
  std::filesystem::permissions(dir / "SETDT.DAT", std::filesystem::perms::owner_read);
  form.Text4.text = "/x.csv";
  const PolModeForm before = form;
  const WriteResult locked = STFSave(form, state, dir.Path());
  EXPECT_FALSE(locked.ok);
  EXPECT_FALSE(locked.error.empty());
  EXPECT_EQ(ReadFileBytes(dir / "SETDT.DAT"), DesignRecord());
  EXPECT_EQ(lw::testing::FileCount(dir.Path()), 1u);  // no temporary file left
  EXPECT_EQ(form.Text4.text, before.Text4.text);
}

TEST(SettingsFile, PathTooLongToStoreIsRefused) {
  MeasureSettings s = DesignSettings();
  s.dataPath = std::string(32767, 'a');
  EXPECT_TRUE(EncodeSettings(s));
  s.dataPath.push_back('b');
  EXPECT_FALSE(EncodeSettings(s));
  TempDir dir;
  PolModeForm form = LoadForm();
  form.Text4.text = s.dataPath;
  EXPECT_FALSE(STFSave(form, MeasureState{}, dir.Path()).ok);
  EXPECT_FALSE(std::filesystem::exists(dir / "SETDT.DAT"));
}

}  // namespace
}  // namespace varnel
