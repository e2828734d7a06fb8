#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "child_process.h"
#include "files.h"
#include "command.h"
#include "fakes/fakes.h"
#include "store/data_file.h"
#include "store/record_format.h"
#include "store/result_store.h"
#include "store/waveform_file.h"
#include "text/cp932.h"

namespace varnel::tools {
namespace {

using lw::testing::TempDir;

std::string Slurp(const std::string& path) { return lw::testing::ReadFile(path); }

void WriteBytes(const std::string& path, const std::string& bytes) { ASSERT_TRUE(lw::testing::WriteFile(path, bytes)); }

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

Outcome Call(int (*command)(const std::vector<std::string>&, std::ostream&, std::ostream&),
         const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  Outcome r;
  r.code = command(args, out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

// Runs DTSave in one form over a fixed stretch of sweeps with the same
// measured totals, 13:00 and 13:10 records with 4 channels.
std::string RecordWithDtSave(const std::string& path, bool binary) {
  PolModeForm form = MakeDesignForm();
  MeasureState state;
  store::DataFile file;
  fakes::ManualClock clock;
  store::ResultStore rs(form, state, file, clock);
  form.Combo1.text = "10";
  form.Text4.text = path;
  form.Label8[3].text = "3.2";
  form.Label8[12].text = "0.5";
  state.groupCount = 1;
  state.binaryFormat = binary ? 1 : 0;
  EXPECT_TRUE(store::OpenDataFileForRun(file, form, state));
  for (int s = 12 * 3600 + 59 * 60 + 50; s <= 13 * 3600 + 10 * 60; s += 10) {
    clock.now = text::LocalDateTime{2005, 6, 1, s / 3600, s / 60 % 60, s % 60, 0};
    state.results[0].Fhc += 0.3f;
    state.results[1].Rms += 4.0f;
    state.results[2].TimeCount[1] += 7;
    state.results[3].HalfCycleCount[0] += 3;
    state.results[3].MaxPeak = 1.75f;
    state.weather.maxWindSpeed = 9.0f;
    rs.DTSave();
  }
  file.Close();
  return Slurp(path);
}

TEST(VarnelDataRecords, BinaryFilePrintsExactlyAsTheTextFormStoredTheSameRecords) {
  TempDir dir;
  const std::string text = RecordWithDtSave(dir.File("data.csv"), false);
  const std::string binary = RecordWithDtSave(dir.File("data.bdt"), true);
  ASSERT_EQ(binary.size(), 2000u);
  const Outcome r = Call(RunRecords, {"--channels", "4", "--cp932", dir.File("data.bdt")});
  EXPECT_EQ(r.code, kExitOk) << r.err;
  EXPECT_EQ(r.out, text);
  // And the record really carries the values measured: 13:10 averages of 60 sweeps.
  const std::string utf8 = text::FromCp932(text).value();
  EXPECT_NE(utf8.find("\r\n2005/06/01 13:10:00,3.2,0,0,0,0,0,0.5,9,0.3,"), std::string::npos) << utf8;
}

TEST(VarnelDataRecords, ChannelsAndThresholdsShapeTheHeaderAndColumns) {
  TempDir dir;
  store::BinaryRecord rec;
  rec.oleTime = 38504.0 + 0.5;  // 2005/06/01 12:00:00
  rec.values[store::ComponentIndex(7, 0)] = 1.5f;
  rec.values[store::PeakIndex(15, 8)] = 12.0f;
  WriteBytes(dir.File("d.bdt"), store::EncodeBinaryRecord(rec));

  Outcome r = Call(RunRecords, {"--thresholds", "1,2,3,4", dir.File("d.bdt")});
  ASSERT_EQ(r.code, kExitOk) << r.err;
  std::istringstream lines(r.out);
  std::string header, line, extra;
  std::getline(lines, header);
  std::getline(lines, line);
  EXPECT_FALSE(std::getline(lines, extra));
  EXPECT_NE(header.find(",1ch >3mA(時間%),"), std::string::npos);
  EXPECT_EQ(header.substr(header.size() - 15), ",16ch >4mA(Sc%)");
  EXPECT_EQ(std::count(line.begin(), line.end(), ','), 248);
  EXPECT_EQ(line.substr(0, 20), "2005/06/01 12:00:00,");
  EXPECT_EQ(line.substr(line.size() - 3), ",12");

  r = Call(RunRecords, {"--channels", "8", dir.File("d.bdt")});
  ASSERT_EQ(r.code, kExitOk);
  std::istringstream eight(r.out);
  std::getline(eight, header);
  std::getline(eight, line);
  EXPECT_EQ(std::count(line.begin(), line.end(), ','), 128);
  // Channel 8's first component is the 9 + 6 x 7 + 1 = 52nd field.
  std::istringstream fields(line);
  std::string f;
  for (int i = 0; i < 52; ++i) std::getline(fields, f, ',');
  EXPECT_EQ(f, "1.5");
}

TEST(VarnelDataRecords, RefusesFilesAndArgumentsThatDoNotFit) {
  TempDir dir;
  WriteBytes(dir.File("torn.bdt"), std::string(1008, '\0'));
  Outcome r = Call(RunRecords, {dir.File("torn.bdt")});
  EXPECT_EQ(r.code, kExitRefused);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("1008 bytes is not a whole number of 1000-byte records (8 bytes left over)"),
            std::string::npos)
      << r.err;

  WriteBytes(dir.File("ok.bdt"), std::string(1000, '\0'));
  EXPECT_EQ(Call(RunRecords, {"--channels", "5", dir.File("ok.bdt")}).code, kExitRefused);
  EXPECT_EQ(Call(RunRecords, {"--thresholds", "1,2", dir.File("ok.bdt")}).code, kExitRefused);
  EXPECT_EQ(Call(RunRecords, {"--thresholds", "1,2,,4", dir.File("ok.bdt")}).code, kExitRefused);
  EXPECT_EQ(Call(RunRecords, {"--channels"}).code, kExitRefused);
  EXPECT_EQ(Call(RunRecords, {}).code, kExitRefused);
  EXPECT_EQ(Call(RunRecords, {dir.File("absent.bdt")}).code, kExitUnreadable);

  // An empty file is a data file without records: the header only.
  WriteBytes(dir.File("empty.bdt"), "");
  r = Call(RunRecords, {"--channels", "4", dir.File("empty.bdt")});
  EXPECT_EQ(r.code, kExitOk);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
}

TEST(VarnelDataWave, PrintsSampleIndexAndEveryChannelAndRefusesOtherSizes) {
  TempDir dir;
  WaveStore w(8);
  for (int ch = 0; ch < 8; ++ch) w.Set(1255, ch, static_cast<int16_t>(-ch * 100));
  w.Set(5, 7, 2047);
  ASSERT_TRUE(store::WriteWaveformFile(dir.File("20050601-1300Wev.dat"), w));
  Outcome r = Call(RunWave, {dir.File("20050601-1300Wev.dat")});
  ASSERT_EQ(r.code, kExitOk) << r.err;
  std::istringstream lines(r.out);
  std::vector<std::string> all;
  for (std::string l; std::getline(lines, l);) all.push_back(l);
  ASSERT_EQ(all.size(), 1257u);
  EXPECT_EQ(all[0], "sample,ch1,ch2,ch3,ch4,ch5,ch6,ch7,ch8");
  EXPECT_EQ(all[6], "5,0,0,0,0,0,0,0,2047");
  EXPECT_EQ(all[1256], "1255,0,-100,-200,-300,-400,-500,-600,-700");

  const std::string good = Slurp(dir.File("20050601-1300Wev.dat"));
  WriteBytes(dir.File("shortWev.dat"), good.substr(0, good.size() - 1));
  r = Call(RunWave, {dir.File("shortWev.dat")});
  EXPECT_EQ(r.code, kExitRefused);
  EXPECT_NE(r.err.find("is not a waveform file"), std::string::npos) << r.err;
  EXPECT_EQ(Call(RunWave, {dir.File("absentWev.dat")}).code, kExitUnreadable);
}

// The real program, once: what DTSave wrote, read back through the binary.
Outcome RunProgram(const std::vector<std::string>& args) {
  const auto run = lw::testing::RunProgram(lw::testing::BinDir() / "varnel-data", args,
                                           {.workingDir = {}, .environment = {}, .separateErrors = true});
  return {run.status, run.output, run.errors};
}

TEST(VarnelDataProgram, ReadsBackWhatDtSaveWroteAndRefusesATornFile) {
  TempDir dir;
  const std::string text = RecordWithDtSave(dir.File("data.csv"), false);
  RecordWithDtSave(dir.File("data.bdt"), true);
  Outcome r = RunProgram({"--channels", "4", "--cp932", dir.File("data.bdt")});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, text);
  r = RunProgram({"records", "--channels", "4", dir.File("data.bdt")});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out.substr(0, 13), "時刻,風速");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3);

  WriteBytes(dir.File("torn.bdt"), Slurp(dir.File("data.bdt")) + std::string(8, '\x40'));
  EXPECT_EQ(RunProgram({"records", dir.File("torn.bdt")}).code, 2);
  EXPECT_EQ(RunProgram({}).code, 2);
}

// The fields of a settings record, read back by their offsets: freq index,
// data interval, wave interval, group count (16-bit), shunt (single), the
// path's byte count (16-bit) and its code page 932 bytes.
template <typename T>
T At(const std::string& bytes, std::size_t offset) {
  T v{};
  std::memcpy(&v, bytes.data() + offset, sizeof v);
  return v;
}

TEST(VarnelDataSettings, ANewSiteGetsTheDesignSettingsWithItsDataFileInsideAndKeepsOnesItHas) {
  TempDir site;
  const std::string settings = site.File("SETDT.DAT");
  ASSERT_EQ(Call(RunSettings, {site.Path().string()}).code, kExitOk);
  const std::string bytes = Slurp(settings);
  const std::string utf8 = site.File("気象・電流data.csv");
  const std::string path = text::ToCp932(utf8);
  // The stored length counts characters, as the window's text does.
  const auto characters = std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; });
  ASSERT_GE(bytes.size(), 14 + path.size());
  EXPECT_EQ(At<int16_t>(bytes, 0), 0);    // 50 Hz
  EXPECT_EQ(At<int16_t>(bytes, 2), 1);    // a record a minute
  EXPECT_EQ(At<int16_t>(bytes, 4), 10);   // scheduled snapshots every 10 minutes, on
  EXPECT_EQ(At<int16_t>(bytes, 6), 4);    // 16 channels
  EXPECT_EQ(At<float>(bytes, 8), 330.0f);  // shunt, ohms
  EXPECT_EQ(At<int16_t>(bytes, 12), characters);
  EXPECT_EQ(bytes.substr(14, path.size()), path);

  // Settings a site has are never replaced: --keep leaves them quietly.
  EXPECT_EQ(Call(RunSettings, {site.Path().string()}).code, kExitRefused);
  EXPECT_EQ(Call(RunSettings, {"--keep", "--data-path", "/elsewhere/data.csv", site.Path().string()}).code, kExitOk);
  EXPECT_EQ(Slurp(settings), bytes);

  // A path the settings file cannot hold writes nothing.
  TempDir other;
  const Outcome r = Call(RunSettings, {"--data-path", other.File("ä.csv"), other.Path().string()});
  EXPECT_EQ(r.code, kExitRefused);
  EXPECT_FALSE(std::filesystem::exists(other / "SETDT.DAT")) << r.err;
}

}  // namespace
}  // namespace varnel::tools
