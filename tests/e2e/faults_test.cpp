// Faults around a running measurement that must not stop it: the weather
// station lost or talking nonsense, and the data file's disk full.  The
// sites run side by side, each scenario in its own thread, so the minutes
// the records need pass only once.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "site.h"
#include "system_expectations.h"

namespace e2e {
namespace {

// Records of a site's text data file, whole lines only.
std::vector<std::vector<std::string>> TextRecords(const Site& site) {
  DataLines lines = ReadTextDataFile(site.DataPath());
  if (!lines.endsWithLineEnd && !lines.records.empty()) lines.records.pop_back();
  return lines.records;
}

// Prepares the site, starts its stand-ins and Varnel, and waits for the
// first cycle (60 s after start-up).
bool StartSite(Site& site, const SiteSettings& settings, const std::vector<std::string>& stationArgs) {
  std::string why;
  if (!site.Prepare(settings, why) || !site.StartCard(why) || !site.StartWeather(stationArgs, why)) {
    ADD_FAILURE() << why;
    return false;
  }
  ChildProcess& varnel = site.StartVarnel();
  if (!varnel.WaitForOutput("status: 指定個数終了", 120s)) {
    ADD_FAILURE() << "no cycle: " << varnel.Output();
    return false;
  }
  return true;
}

bool WaitForRecords(const Site& site, size_t count, std::chrono::seconds deadline) {
  return PollUntil([&] { return StoredRecords(site) >= count; }, deadline);
}

// The weather station goes away after the first record, comes back sending
// line noise before every packet, and finally sends good packets again.
// Every record in between is written; without accepted packets it repeats
// the averages still shown and stores a maximum wind speed of 0.
void WeatherStationLostAndGarbled() {
  SCOPED_TRACE("weather station lost and garbled");
  Site site("weather");
  ASSERT_TRUE(StartSite(site, SystemRunSettings(false), FixedStationArgs()));
  ASSERT_TRUE(WaitForRecords(site, 1, 150s)) << "no first record";

  site.KillWeather();
  ASSERT_TRUE(WaitForRecords(site, 2, 90s)) << "no record after the station was lost";

  std::string why;
  std::vector<std::string> garbled = FixedStationArgs();
  garbled.insert(garbled.end(), {"--garbage", "--verbose"});
  ASSERT_TRUE(site.StartWeather(garbled, why)) << why;
  ASSERT_TRUE(WaitForRecords(site, 3, 90s)) << "no record while the station sends noise";
  // The program opened the port again by itself and asks the new station.
  EXPECT_NE(site.Weather()->Output().find("request"), std::string::npos) << site.Weather()->Output();

  ASSERT_TRUE(site.StartWeather(FixedStationArgs(), why)) << why;
  ASSERT_TRUE(WaitForRecords(site, 4, 90s)) << "no record after the station came back";

  ChildProcess& varnel = *site.Varnel();
  EXPECT_EQ(varnel.WaitForExit(0ms), std::nullopt) << "the measurement program ended";
  const auto records = TextRecords(site);
  ASSERT_GE(records.size(), 4u);
  for (size_t i = 0; i < records.size(); ++i) {
    const std::string name = "record " + std::to_string(i + 1);
    ASSERT_EQ(records[i].size(), 249u) << name;
    // The measurement goes on unchanged through all of it.
    if (i > 0) ExpectRecordMatchesProfile(records[i], SiteReference(), 25, name);
    // The averages shown stay those of the last accepted packets.
    for (size_t k = 0; k < 7; ++k) EXPECT_EQ(records[i][1 + k], kStoredWeather[k]) << name << " field " << k + 2;
  }
  EXPECT_EQ(records[0][8], "4.5");
  // Record 2's minute began with the station still there for a moment.
  EXPECT_TRUE(records[1][8] == "0" || records[1][8] == "4.5") << records[1][8];
  EXPECT_EQ(records[2][8], "0") << "no packet of the noisy station may be accepted";
  EXPECT_EQ(records[3][8], "4.5") << "the station's packets are read again";
}

// A station whose packets all start with the wrong byte from the start: no
// value is ever shown, the weather fields of the records hold 0 (the numeric
// value of an empty display), and the records come all the same.  The same
// site then runs out of room for its data file: RLIMIT_FSIZE on the running
// program below the size the next record needs.  The program keeps running,
// the file keeps its whole records only, and once the limit is lifted the
// next due record is written.
void DataFileRunsOutOfRoom(bool binary) {
  SCOPED_TRACE(binary ? "binary data file full" : "text data file full");
  Site site(binary ? "full-bdt" : "full-csv");
  std::vector<std::string> station = FixedStationArgs();
  station.push_back("--wrong-first-byte");
  ASSERT_TRUE(StartSite(site, SystemRunSettings(binary), station));
  ASSERT_TRUE(WaitForRecords(site, 1, 150s)) << "no first record";
  ChildProcess& varnel = *site.Varnel();

  const auto before = fs::file_size(site.DataPath());
  // Room for part of a record only: it is written up to the limit, then cut
  // back to the record boundary.
  const rlimit tight{static_cast<rlim_t>(before + 300), RLIM_INFINITY};
  ASSERT_EQ(::prlimit(varnel.Pid(), RLIMIT_FSIZE, &tight, nullptr), 0) << std::strerror(errno);
  ASSERT_TRUE(varnel.WaitForOutput("ﾃﾞｰﾀﾌｧｲﾙ書込みｴﾗｰ", 90s)) << "no failed record reported";
  EXPECT_EQ(fs::file_size(site.DataPath()), before) << "a torn record was left";
  EXPECT_EQ(varnel.WaitForExit(0ms), std::nullopt) << "the measurement program ended";

  const rlimit open{RLIM_INFINITY, RLIM_INFINITY};
  ASSERT_EQ(::prlimit(varnel.Pid(), RLIMIT_FSIZE, &open, nullptr), 0) << std::strerror(errno);
  ASSERT_TRUE(WaitForRecords(site, 2, 90s)) << "records did not resume";
  EXPECT_EQ(varnel.WaitForExit(0ms), std::nullopt) << "the measurement program ended";

  // Every waveform snapshot is whole; failed ones left nothing behind.
  for (const auto& entry : fs::directory_iterator(site.Path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << "left behind: " << name;
    if (name.ends_with("Wev.dat")) {
      EXPECT_EQ(entry.file_size(), 40196u) << name;
    }
  }

  std::vector<std::vector<std::string>> records;
  if (binary) {
    const fs::path copy = site.Path() / "copy-of-data.bdt";
    fs::copy_file(site.DataPath(), copy);
    EXPECT_EQ(fs::file_size(copy) % 1000, 0u) << "a torn record";
    const ToolRun run = RunTool("varnel-data", {"records", copy.string()}, site.Path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    std::string out = run.out;
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
    records = SplitDataText(out, "\n").records;
  } else {
    const DataLines lines = ReadTextDataFile(site.DataPath());
    EXPECT_TRUE(lines.endsWithLineEnd) << "a torn record";
    EXPECT_EQ(lines.headers.size(), 1u);
    records = lines.records;
  }
  ASSERT_GE(records.size(), 2u);
  for (size_t i = 0; i < records.size(); ++i) {
    const std::string name = "record " + std::to_string(i + 1);
    ASSERT_EQ(records[i].size(), 249u) << name;
    for (size_t k = 1; k <= 8; ++k) EXPECT_EQ(records[i][k], "0") << name << " weather field " << k + 1;
  }
  // The record after the full disk covers the minute that could not be
  // stored as well: two minutes after the first.
  const auto first = RecordSeconds(records[0][0]);
  const auto second = RecordSeconds(records[1][0]);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(*second / 60 - *first / 60, 2) << records[0][0] << " then " << records[1][0];
  ExpectRecordMatchesProfile(records[1], SiteReference(), 50, "record after the full disk");
}

TEST(SystemFaults, RecordsGoOnThroughWeatherStationFaultsAndAFullDisk) {
  std::thread weather(WeatherStationLostAndGarbled);
  std::thread text([] { DataFileRunsOutOfRoom(false); });
  std::thread binary([] { DataFileRunsOutOfRoom(true); });
  weather.join();
  text.join();
  binary.join();
}

}  // namespace
}  // namespace e2e
