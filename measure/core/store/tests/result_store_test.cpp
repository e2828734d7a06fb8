#include "store/result_store.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <filesystem>
#include <vector>

#include "fakes/fakes.h"
#include "child_process.h"
#include "files.h"
#include "store/waveform_file.h"
#include "text/cp932.h"

namespace varnel::store {
namespace {

using lw::testing::F32At;
using lw::testing::F64At;
using lw::testing::I16At;
using lw::testing::ReadFile;
using lw::testing::TempDir;

// A moment of 1 June 2005, given as seconds since midnight.
text::LocalDateTime At(int secondsOfDay) {
  text::LocalDateTime t;
  t.year = 2005;
  t.month = 6;
  t.day = 1;
  t.hour = secondsOfDay / 3600;
  t.minute = secondsOfDay / 60 % 60;
  t.second = secondsOfDay % 60;
  return t;
}
constexpr int Hms(int h, int m, int s = 0) { return (h * 60 + m) * 60 + s; }

std::vector<std::string> SplitLines(const std::string& utf8) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t at; (at = utf8.find("\r\n", start)) != std::string::npos; start = at + 2)
    lines.push_back(utf8.substr(start, at - start));
  EXPECT_EQ(start, utf8.size()) << "text after the last CR LF";
  return lines;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> f;
  std::size_t start = 0;
  for (std::size_t at; (at = line.find(',', start)) != std::string::npos; start = at + 1)
    f.push_back(line.substr(start, at - start));
  f.push_back(line.substr(start));
  return f;
}

class Rig {
 public:
  explicit Rig(bool binary, int groupCount = 1) {
    form.Combo1.text = "10";
    form.Combo2.text = "60";
    form.Check1.checked = false;
    form.Text4.text = dir.File("data.csv");
    state.groupCount = static_cast<int16_t>(groupCount);
    state.binaryFormat = binary ? 1 : 0;
    store.onForcedStop = [this] { ++forcedStops; };
    store.onWriteError = [this](const std::string& m) { errors.push_back(m); };
    store.onWriteRecovered = [this] { ++recoveries; };
    EXPECT_TRUE(OpenDataFileForRun(file, form, state));
  }

  void CallAt(int secondsOfDay) {
    clock.now = At(secondsOfDay);
    store.DTSave();
  }
  // Calls every `step` seconds from `from` up to and including `to`.
  void Sweeps(int from, int to, int step) {
    for (int t = from; t <= to; t += step) CallAt(t);
  }
  std::string Text() const {
    return text::FromCp932(ReadFile(file.Path())).value_or("(not code page 932)");
  }
  // Record lines of the text file, header lines left out.
  std::vector<std::string> Records() const {
    std::vector<std::string> out;
    for (const std::string& l : SplitLines(Text()))
      if (l.rfind("時刻,", 0) != 0) out.push_back(l);
    return out;
  }

  TempDir dir;
  PolModeForm form = MakeDesignForm();
  MeasureState state;
  DataFile file;
  fakes::ManualClock clock;
  ResultStore store{form, state, file, clock};
  int forcedStops = 0;
  int recoveries = 0;
  std::vector<std::string> errors;
};

// --- When records are due ---------------------------------------------------

TEST(DTSaveSchedule, IntervalTenWritesOneRecordAtMinutesZeroTenTwentyOnly) {
  Rig rig(false);
  rig.Sweeps(Hms(12, 58), Hms(13, 25), 5);
  const auto records = rig.Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(Fields(records[0])[0], "2005/06/01 13:00:00");
  EXPECT_EQ(Fields(records[1])[0], "2005/06/01 13:10:00");
  EXPECT_EQ(Fields(records[2])[0], "2005/06/01 13:20:00");
  EXPECT_TRUE(rig.errors.empty());
}

TEST(DTSaveSchedule, IntervalSixtyWritesAtMinuteZeroOfEveryHour) {
  Rig rig(false);
  rig.form.Combo1.text = "60";
  rig.Sweeps(Hms(12, 59, 30), Hms(15, 0, 30), 10);
  const auto records = rig.Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(Fields(records[0])[0], "2005/06/01 13:00:00");
  EXPECT_EQ(Fields(records[1])[0], "2005/06/01 14:00:00");
  EXPECT_EQ(Fields(records[2])[0], "2005/06/01 15:00:00");
}

TEST(DTSaveSchedule, FirstDueCallWithNoSweepWritesNothingAndTheNextRecordIsOneIntervalLater) {
  Rig rig(false);
  rig.state.results[0].Fhc = 120.0f;  // one per sweep ended until 13:10
  rig.CallAt(Hms(13, 0));  // the first call: no sweep has ended yet
  EXPECT_TRUE(rig.Records().empty());
  EXPECT_EQ(rig.store.LastRecordMinute(), std::optional<int16_t>(0));
  EXPECT_EQ(rig.store.SweepCount(), 0);
  rig.Sweeps(Hms(13, 0, 5), Hms(13, 10, 5), 5);
  const auto records = rig.Records();
  ASSERT_EQ(records.size(), 1u);
  const auto f = Fields(records[0]);
  EXPECT_EQ(f[0], "2005/06/01 13:10:00");
  // Calls 13:00:05 .. 13:10:00 each end a sweep: 120 / 120.
  EXPECT_EQ(f[9], "1");
  EXPECT_EQ(rig.store.SweepCount(), 1);  // 13:10:05 after the record
}

TEST(DTSaveSchedule, IntervalZeroOrNoNumberWritesNothingButCountsTheSweeps) {
  for (const char* interval : {"0", "abc", "", "0.4"}) {
    Rig rig(false);
    rig.form.Combo1.text = interval;
    rig.form.Check1.checked = true;
    rig.Sweeps(Hms(13, 0), Hms(13, 1), 5);
    // 13 calls; the first has no sweep behind it.
    EXPECT_EQ(rig.store.SweepCount(), 12) << interval;
    EXPECT_FALSE(rig.store.LastRecordMinute().has_value()) << interval;
    EXPECT_FALSE(rig.store.WavePending()) << interval;
    EXPECT_TRUE(rig.Records().empty()) << interval;
  }
}

// The sweeps analysed while the data save interval was 0 or not a number are
// in the totals; the next record divides by them too.  Period from 12:01:00
// (the first call, nothing behind it) to the record at 12:03:00: 24 calls
// every 5 s, each ending one sweep, of which only the last saw a valid
// interval.  Totals of 24 sweeps: Fhc 48 (2 each), Rms 216 (RMS 3 each),
// 3000 samples over threshold 0 (125 a block).
TEST(DTSaveSchedule, SweepsWhileTheIntervalIsNotANumberCountInTheNextRecord) {
  Rig rig(false);
  rig.form.Combo1.text = "1";
  rig.CallAt(Hms(12, 1));
  ASSERT_TRUE(rig.Records().empty());
  rig.state.results[0].Fhc = 48.0f;
  rig.state.results[0].Rms = 216.0f;
  rig.state.results[0].TimeCount[0] = 3000;
  rig.form.Combo1.text = "0";
  rig.Sweeps(Hms(12, 1, 5), Hms(12, 2, 30), 5);  // 18 calls
  rig.form.Combo1.text = "";
  rig.Sweeps(Hms(12, 2, 35), Hms(12, 2, 55), 5);  // 5 calls
  rig.form.Combo1.text = "1";
  rig.CallAt(Hms(12, 3));

  const auto records = rig.Records();
  ASSERT_EQ(records.size(), 1u);
  const auto f = Fields(records[0]);
  EXPECT_EQ(f[0], "2005/06/01 12:03:00");
  EXPECT_EQ(f[9], "2");    // ch1 Fhc: 48 / 24
  EXPECT_EQ(f[14], "3");   // ch1 Rms: sqrt(216 / 24)
  EXPECT_EQ(f[34], "10");  // ch1 >0.5mA time %: 3000 / 24 / 1250 x 100
  EXPECT_EQ(rig.store.SweepCount(), 0);
}

TEST(DTSaveSchedule, WaveIntervalZeroStopsOnlyTheSnapshotStep) {
  Rig rig(false);
  rig.form.Check1.checked = true;
  rig.form.Combo2.text = "0";
  rig.Sweeps(Hms(12, 59, 50), Hms(13, 0, 10), 10);
  EXPECT_EQ(rig.Records().size(), 1u);
  EXPECT_EQ(rig.store.SweepCount(), 1);
  EXPECT_FALSE(rig.store.WavePending());
  EXPECT_FALSE(rig.store.LastWaveTime().has_value());
}

// --- What a record holds ----------------------------------------------------

// Runs a record at 12:01 and then 11 more calls, leaving the next record
// (at 12:02) to divide by 12.
void TwelveSweepsToGo(Rig& rig) {
  rig.form.Combo1.text = "1";
  rig.Sweeps(Hms(12, 0), Hms(12, 1, 55), 5);
  ASSERT_EQ(rig.store.SweepCount(), 11);
}

void FillWeather(Rig& rig) {
  const char* texts[13] = {"", "", "", "2.5", "180", "21.3", "", "", "", "65", "24.1", "40", "1.5"};
  for (std::size_t i = 0; i < 13; ++i) rig.form.Label8[i].text = texts[i];
  rig.state.weather.maxWindSpeed = 6.5f;
  rig.state.weather.windSpeedSum = 30.0f;
  rig.state.weather.packetCount = 12.0f;
}

void FillChannel(ChannelTotals& t) {
  t.Fhc = 24.0f;     // / 12 = 2
  t.F1c = 6.0f;      // 0.5
  t.Flc = 1.0f;      // 1/12
  t.DCc = -3.0f;     // -0.25
  t.ALLc = 30.0f;    // 2.5
  t.Rms = 108.0f;    // 12 blocks of RMS 3: sqrt(108 / 12) = 3
  t.MaxPeak = 7.25f;
  t.TimeCount = {750, 15, 0, 3};       // 5, 0.1, 0, 0.02 %
  t.HalfCycleCount = {60, 12, 0, 1};   // 50 Hz: 50, 10, 0, 0.8333 %
}

TEST(DTSaveRecord, AveragesDivideByTheSweepsOfThePeriodInBinaryForm) {
  Rig rig(true);
  TwelveSweepsToGo(rig);
  FillWeather(rig);
  FillChannel(rig.state.results[0]);
  rig.state.results[3].ALLc = 1.2f;
  rig.state.results[5].Fhc = 99.0f;  // channel 6 is not measured with 4 channels
  rig.CallAt(Hms(12, 2));

  const std::string b = ReadFile(rig.file.Path());
  ASSERT_EQ(b.size(), 2000u);
  const std::size_t r = 1000;  // second record
  EXPECT_DOUBLE_EQ(F64At(b, r), 38504.0 + (12.0 * 60 + 2) / 1440.0);
  auto e = [&](std::size_t index) { return F32At(b, r + 8 + 4 * index); };
  const float weather[8] = {2.5f, 180.0f, 21.3f, 65.0f, 24.1f, 40.0f, 1.5f, 6.5f};
  for (int k = 0; k < 8; ++k) EXPECT_EQ(e(static_cast<std::size_t>(k)), weather[k]) << k;
  EXPECT_EQ(e(8), 2.0f);
  EXPECT_EQ(e(9), 0.5f);
  EXPECT_EQ(e(10), static_cast<float>(1.0 / 12.0));
  EXPECT_EQ(e(11), -0.25f);
  EXPECT_EQ(e(12), 2.5f);
  EXPECT_EQ(e(13), 3.0f);
  EXPECT_EQ(e(8 + 6 * 3 + 4), static_cast<float>(1.2f / 12.0));
  EXPECT_EQ(e(104), 7.25f);
  EXPECT_EQ(e(105), 5.0f);
  EXPECT_EQ(e(106), static_cast<float>(15.0 / 12 / 1250 * 100));
  EXPECT_EQ(e(107), 0.0f);
  EXPECT_EQ(e(108), static_cast<float>(3.0 / 12 / 1250 * 100));
  EXPECT_EQ(e(109), 50.0f);
  EXPECT_EQ(e(110), 10.0f);
  EXPECT_EQ(e(112), static_cast<float>(1.0 / 12 / 10 * 100));
  // Channels 4..15 are zero although channel 6 has totals.
  for (std::size_t index = 8 + 6 * 4; index < 104; ++index) EXPECT_EQ(e(index), 0.0f) << index;
  for (std::size_t index = 104 + 9 * 4; index < 248; ++index) EXPECT_EQ(e(index), 0.0f) << index;

  // The period's totals are cleared, those of unmeasured channels are not.
  EXPECT_EQ(rig.store.SweepCount(), 0);
  EXPECT_EQ(rig.state.results[0].Fhc, 0.0f);
  EXPECT_EQ(rig.state.results[0].Rms, 0.0f);
  EXPECT_EQ(rig.state.results[0].MaxPeak, 0.0f);
  EXPECT_EQ(rig.state.results[0].TimeCount[0], 0);
  EXPECT_EQ(rig.state.results[0].HalfCycleCount[3], 0);
  EXPECT_EQ(rig.state.results[3].ALLc, 0.0f);
  EXPECT_EQ(rig.state.results[5].Fhc, 99.0f);
  EXPECT_EQ(rig.state.weather.maxWindSpeed, 0.0f);
  EXPECT_EQ(rig.state.weather.windSpeedSum, 0.0f);
  EXPECT_EQ(rig.state.weather.packetCount, 0.0f);
}

TEST(DTSaveRecord, HalfCyclePercentagesUseTwelveHalfCyclesAtSixtyHertz) {
  Rig rig(true);
  SelectOption(rig.form.Option2, 1);
  TwelveSweepsToGo(rig);
  rig.state.results[2].HalfCycleCount = {72, 36, 18, 1};
  rig.CallAt(Hms(12, 2));
  const std::string b = ReadFile(rig.file.Path());
  ASSERT_EQ(b.size(), 2000u);
  auto peakPart = [&](int ch, int k) { return F32At(b, 1000 + 8 + 4 * PeakIndex(ch, k)); };
  EXPECT_EQ(peakPart(2, 5), 50.0f);
  EXPECT_EQ(peakPart(2, 6), 25.0f);
  EXPECT_EQ(peakPart(2, 7), 12.5f);
  EXPECT_EQ(peakPart(2, 8), static_cast<float>(1.0 / 12 / 12 * 100));
}

TEST(DTSaveRecord, FourChannelTextLineHasSixtyNineFieldsInTheDocumentedOrder) {
  Rig rig(false);
  TwelveSweepsToGo(rig);
  FillWeather(rig);
  FillChannel(rig.state.results[0]);
  rig.state.results[1].MaxPeak = 0.5f;
  rig.state.results[3].Rms = 12.0f;  // sqrt(1)
  rig.CallAt(Hms(12, 2));

  const auto lines = SplitLines(rig.Text());
  ASSERT_EQ(lines.size(), 3u);  // header, record at 12:01, record at 12:02
  EXPECT_EQ(Fields(lines[0]).size(), 69u);
  EXPECT_EQ(lines[0].substr(0, 130),
            "時刻,風速,風向,外気温,外湿度,内気温,内湿度,雨量,最大風速,ch1Fhc,ch1F1c,ch1Flc,ch1DCc,ch1ALLc,"
            "ch1Rms,ch2Fhc");
  const auto f = Fields(lines[2]);
  ASSERT_EQ(f.size(), 69u);
  const std::vector<std::string> head = {"2005/06/01 12:02:00", "2.5", "180", "21.3", "65", "24.1", "40", "1.5",
                                         "6.5", "2", "0.5", "0.08333334", "-0.25", "2.5", "3"};
  for (std::size_t i = 0; i < head.size(); ++i) EXPECT_EQ(f[i], head[i]) << i;
  EXPECT_EQ(f[9 + 6 * 3 + 5], "1");  // channel 4 Rms
  const std::size_t peaks = 9 + 6 * 4;
  const std::vector<std::string> peak0 = {"7.25", "5", "0.1", "0", "0.02", "50", "10", "0", "0.8333333"};
  for (std::size_t k = 0; k < peak0.size(); ++k) EXPECT_EQ(f[peaks + k], peak0[k]) << k;
  EXPECT_EQ(f[peaks + 9], "0.5");  // channel 2 peak
  EXPECT_EQ(f[68], "0");
}

TEST(DTSaveRecord, SixteenChannelLinesHave249FieldsAndEightChannelLines129) {
  for (int groups : {2, 4}) {
    Rig rig(false, groups);
    rig.Sweeps(Hms(12, 59, 55), Hms(13, 0), 5);
    const auto lines = SplitLines(rig.Text());
    ASSERT_EQ(lines.size(), 2u);
    const std::size_t expected = groups == 2 ? 129u : 249u;
    EXPECT_EQ(Fields(lines[0]).size(), expected);
    EXPECT_EQ(Fields(lines[1]).size(), expected);
  }
}

TEST(DTSaveRecord, EmptyWeatherTextsStoreZeros) {
  Rig rig(false);
  rig.Sweeps(Hms(12, 59, 55), Hms(13, 0), 5);
  const auto f = Fields(rig.Records().at(0));
  for (std::size_t i = 1; i <= 8; ++i) EXPECT_EQ(f[i], "0") << i;
}

TEST(DTSaveRecord, NewBinaryFileHoldsTwoWholeRecordsStartingWithTheFirstRecordTime) {
  Rig rig(true);
  rig.Sweeps(Hms(12, 59, 50), Hms(13, 10), 10);
  const std::string b = ReadFile(rig.file.Path());
  ASSERT_EQ(b.size(), 2000u);
  // 2005-06-01 is day 38504 of the OLE calendar; 13:00 is 13/24 of a day.
  EXPECT_DOUBLE_EQ(F64At(b, 0), 38504.0 + 13.0 / 24.0);
  EXPECT_DOUBLE_EQ(F64At(b, 1000), 38504.0 + (13.0 + 10.0 / 60.0) / 24.0);
}

// --- Half-hour close and reopen ---------------------------------------------

TEST(DTSaveReopen, RecordsAtHalfAndFullHourReopenUnderTheCurrentPathButNotAtTen) {
  for (bool binary : {false, true}) {
    Rig rig(binary);
    const std::string first = rig.file.Path();
    const std::string second = rig.dir.File(binary ? "second.bdt" : "second.csv");
    const std::string third = rig.dir.File(binary ? "third.bdt" : "third.csv");
    rig.Sweeps(Hms(12, 9, 50), Hms(12, 10), 10);  // record at 12:10
    rig.form.Text4.text = second;
    rig.Sweeps(Hms(12, 10, 10), Hms(12, 20), 10);  // 12:20 still goes to the first file
    EXPECT_EQ(rig.file.Path(), first);
    EXPECT_FALSE(std::filesystem::exists(second));
    rig.Sweeps(Hms(12, 20, 10), Hms(12, 30), 10);  // 12:30 goes to the first, then reopens
    EXPECT_EQ(rig.file.Path(), second);
    EXPECT_TRUE(std::filesystem::exists(second));
    EXPECT_TRUE(rig.file.IsBinary() == binary);
    rig.form.Text4.text = third;
    rig.Sweeps(Hms(12, 30, 10), Hms(13, 0), 10);  // 12:40, 12:50, 13:00 to the second
    EXPECT_EQ(rig.file.Path(), third);
    if (binary) {
      EXPECT_EQ(std::filesystem::file_size(first), 3000u);
      EXPECT_EQ(std::filesystem::file_size(second), 3000u);
      EXPECT_EQ(std::filesystem::file_size(third), 0u);
    } else {
      EXPECT_EQ(SplitLines(text::FromCp932(ReadFile(first)).value()).size(), 4u);  // header + 3
      // The reopened file was new, so it was given the header first.
      EXPECT_EQ(SplitLines(text::FromCp932(ReadFile(second)).value()).size(), 4u);
    }
    EXPECT_TRUE(rig.errors.empty());
  }
}

// --- Scheduled waveform snapshot --------------------------------------------

TEST(DTSaveWaveform, SnapshotArmedAtOneOClockIsWrittenAtTheNextSweepWithFourChannels) {
  Rig rig(false);
  rig.form.Check1.checked = true;
  rig.form.Combo2.text = "60";
  rig.CallAt(Hms(12, 59, 50));
  EXPECT_FALSE(rig.store.WavePending());
  rig.CallAt(Hms(13, 0));
  ASSERT_TRUE(rig.store.WavePending());
  EXPECT_EQ(rig.store.LastWaveTime(), std::optional<int16_t>(780));
  ASSERT_EQ(rig.state.waves.Channels(), 4);
  // The sweep after arming fills the store.
  for (int k = 0; k < WaveStore::kSamples; ++k)
    for (int ch = 0; ch < 4; ++ch) rig.state.waves.Set(k, ch, static_cast<int16_t>(k - 600 + ch));
  rig.CallAt(Hms(13, 0, 10));
  EXPECT_FALSE(rig.store.WavePending());
  const std::string name = rig.dir.File("20050601-1300Wev.dat");
  const std::string b = ReadFile(name);
  ASSERT_EQ(b.size(), 10052u);
  EXPECT_EQ(I16At(b, 0), 1255);
  EXPECT_EQ(I16At(b, 2), 3);
  EXPECT_EQ(I16At(b, 4), -600);                        // channel 0, sample 0
  EXPECT_EQ(I16At(b, 4 + 2 * (2 * 1256 + 1000)), 402);  // channel 2, sample 1000
  // Later calls in the same minute neither arm nor write again.
  std::filesystem::remove(name);
  rig.Sweeps(Hms(13, 0, 20), Hms(13, 1, 30), 10);
  EXPECT_FALSE(std::filesystem::exists(name));
  EXPECT_FALSE(rig.store.WavePending());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(rig.dir.Path()), {}), 1);
}

TEST(DTSaveWaveform, UntickedScheduleArmsNothing) {
  Rig rig(false);
  rig.form.Combo2.text = "1";
  rig.Sweeps(Hms(13, 0), Hms(13, 3), 10);
  EXPECT_FALSE(rig.store.LastWaveTime().has_value());
  EXPECT_EQ(rig.state.waves.Channels(), 16);
}

// --- Forced stop on abnormal DC ---------------------------------------------

TEST(DTSaveForcedStop, TextLineCarriesTheMarkAndTheFileIsClosed) {
  Rig rig(false);
  rig.Sweeps(Hms(12, 59, 55), Hms(12, 59, 55), 5);
  // One sweep ended by 13:00, mean DC 250 mA on channel 1:
  // |250 / 4 / 1 x 330 / 5000| = 4.125.
  rig.state.results[0].DCc = 250.0f;
  rig.CallAt(Hms(13, 0));
  EXPECT_EQ(rig.forcedStops, 1);
  EXPECT_FALSE(rig.file.IsOpen());
  const std::string raw = ReadFile(rig.dir.File("data.csv"));
  const std::string mark = text::ToCp932("データ異常により強制終了");
  ASSERT_GE(raw.size(), mark.size() + 3);
  EXPECT_EQ(raw.substr(raw.size() - mark.size() - 3), "," + mark + "\r\n");
  const auto records = rig.Records();
  ASSERT_EQ(records.size(), 1u);
  const auto f = Fields(records[0]);
  ASSERT_EQ(f.size(), 70u);  // 69 values and the mark
  EXPECT_EQ(f[12], "250");
  // The program is ending: nothing more happens.
  const auto before = raw.size();
  rig.Sweeps(Hms(13, 0, 5), Hms(13, 11), 5);
  EXPECT_EQ(ReadFile(rig.dir.File("data.csv")).size(), before);
  EXPECT_EQ(rig.forcedStops, 1);
}

TEST(DTSaveForcedStop, BinaryFileKeepsTheWholeLastRecord) {
  Rig rig(true);
  rig.Sweeps(Hms(12, 59, 50), Hms(13, 10, 50), 10);  // records at 13:00 and 13:10
  // 13:10:10 .. 13:20:00 are 60 sweeps; a mean DC of -260 mA on channel 2
  // gives |-260 / 4 / 1 x 330 / 5000| = 4.29.
  rig.state.results[1].DCc = -15600.0f;
  rig.Sweeps(Hms(13, 11), Hms(13, 20), 10);
  EXPECT_EQ(rig.forcedStops, 1);
  const std::string b = ReadFile(rig.dir.File("data.csv"));
  ASSERT_EQ(b.size(), 3000u);
  EXPECT_DOUBLE_EQ(F64At(b, 2000), 38504.0 + (13.0 + 20.0 / 60.0) / 24.0);
  EXPECT_EQ(F32At(b, 2000 + 8 + 4 * ComponentIndex(1, 3)), -260.0f);
}

TEST(DTSaveForcedStop, LimitIsStrictlyAboveFour) {
  for (float dc : {16.0f, 16.5f}) {  // one sweep ended: mean 16 or 16.5; R 5000 gives x 4.0 or 4.125
    Rig rig(false);
    rig.form.Text1.text = "5000";
    rig.CallAt(Hms(12, 59, 55));
    rig.state.results[2].DCc = dc;
    rig.CallAt(Hms(13, 0));
    EXPECT_EQ(rig.forcedStops, dc > 16.25f ? 1 : 0) << dc;
  }
}

// --- Write errors -----------------------------------------------------------

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    struct rlimit small = old_;
    small.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &small);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &old_); }

 private:
  struct rlimit old_ {};
};

TEST(DTSaveWriteError, BinaryRecordIsWholeOrAbsentAndTheNextRecordCoversBothPeriods) {
  Rig rig(true);
  rig.Sweeps(Hms(12, 59, 50), Hms(13, 0), 10);  // record at 13:00
  ASSERT_EQ(std::filesystem::file_size(rig.file.Path()), 1000u);
  rig.state.results[0].Fhc = 60.0f;
  {
    FileSizeLimit limit(1500);  // half of the next record fits
    rig.Sweeps(Hms(13, 0, 10), Hms(13, 10), 10);
  }
  EXPECT_EQ(std::filesystem::file_size(rig.file.Path()), 1000u);
  ASSERT_EQ(rig.errors.size(), 1u);
  EXPECT_NE(rig.errors[0].find("File too large"), std::string::npos) << rig.errors[0];
  EXPECT_EQ(rig.state.results[0].Fhc, 60.0f);  // kept for the next record
  rig.state.results[0].Fhc += 60.0f;
  rig.Sweeps(Hms(13, 10, 10), Hms(13, 20), 10);
  const std::string b = ReadFile(rig.file.Path());
  ASSERT_EQ(b.size(), 2000u);
  EXPECT_EQ(rig.recoveries, 1);
  EXPECT_DOUBLE_EQ(F64At(b, 1000), 38504.0 + (13.0 + 20.0 / 60.0) / 24.0);
  // 13:00:10 .. 13:20:00 are 120 sweeps, 120 in the sum.
  EXPECT_EQ(F32At(b, 1000 + 8 + 4 * ComponentIndex(0, 0)), 1.0f);
}

TEST(DTSaveWriteError, TextLineIsCutBackAndTheFileRecreatedWhenRemoved) {
  Rig rig(false);
  rig.Sweeps(Hms(12, 59, 50), Hms(13, 0), 10);
  const std::string path = rig.file.Path();
  const auto size = std::filesystem::file_size(path);
  {
    FileSizeLimit limit(size + 40);
    rig.Sweeps(Hms(13, 0, 10), Hms(13, 10), 10);
  }
  EXPECT_EQ(std::filesystem::file_size(path), size);
  EXPECT_EQ(rig.errors.size(), 1u);
  // The file disappears; the next record recreates it with a header.
  std::filesystem::remove(path);
  rig.Sweeps(Hms(13, 10, 10), Hms(13, 20), 10);
  const auto lines = SplitLines(text::FromCp932(ReadFile(path)).value());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(Fields(lines[0])[0], "時刻");
  EXPECT_EQ(Fields(lines[1])[0], "2005/06/01 13:20:00");
  EXPECT_EQ(rig.recoveries, 1);
}

TEST(DTSaveWriteError, MissingFolderIsReportedUntilItExists) {
  Rig rig(false);
  const std::string path = rig.dir.File("later/data.csv");
  rig.form.Text4.text = path;
  std::string why;
  EXPECT_FALSE(OpenDataFileForRun(rig.file, rig.form, rig.state, &why));
  EXPECT_TRUE(rig.file.IsOpen());  // held for the run
  rig.Sweeps(Hms(12, 59, 50), Hms(13, 0), 10);
  ASSERT_EQ(rig.errors.size(), 1u);
  EXPECT_NE(rig.errors[0].find("later/data.csv"), std::string::npos);
  std::filesystem::create_directory(rig.dir.Path() / "later");
  rig.Sweeps(Hms(13, 0, 10), Hms(13, 10), 10);
  const auto lines = SplitLines(text::FromCp932(ReadFile(path)).value());
  ASSERT_EQ(lines.size(), 2u);  // header, then the record
  EXPECT_EQ(Fields(lines[1])[0], "2005/06/01 13:10:00");
}

TEST(DTSaveWriteError, WithoutAHandlerTheStatusLabelShowsTheError) {
  Rig rig(false);
  rig.store.onWriteError = nullptr;
  rig.form.Check1.checked = true;
  rig.form.Text4.text = rig.dir.File("gone/data.csv");
  rig.Sweeps(Hms(12, 59, 50), Hms(13, 0, 10), 10);  // snapshot armed at 13:00, written 13:00:10
  EXPECT_NE(rig.form.IDC_STATUS.text.find("gone/20050601-1300Wev.dat"), std::string::npos)
      << rig.form.IDC_STATUS.text;
}

}  // namespace
}  // namespace varnel::store
