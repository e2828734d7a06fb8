// The whole system for three minutes and more: two sites side by side, one
// storing text records and one binary records, each with its own card
// stand-in (16 insulators in 4 groups) and a weather station that sends the
// same readings every time.  The stored records, read back as the operator
// would (the text file directly, the binary one through varnel-data), carry
// what the card profile and the station send; the waveform snapshots exist
// and varnel-analyse reads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <regex>

#include "child_process.h"
#include "site.h"
#include "system_expectations.h"

namespace e2e {
namespace {

// A full minute holds far more sweeps than this (a cycle takes about 0.13 s,
// a sweep of four about 0.55 s, so about 110 a minute); the bound leaves room
// for a slow, loaded machine (cycles of up to 0.6 s).
constexpr int kMinSweepsPerMinute = 25;

// The first record of a run covers only the part of a minute after the
// first cycle.
constexpr size_t kRecordsWanted = 3;

struct SnapshotNames {
  std::vector<fs::path> scheduled;
  std::vector<std::pair<fs::path, double>> peak;  // with the peak in its name
  std::vector<fs::path> other;
};

SnapshotNames FindSnapshots(const fs::path& folder) {
  static const std::regex scheduled(R"(\d{8}-\d{4}Wev\.dat)");
  static const std::regex peak(R"(ch(\d+)Peak(\d+\.\d\d?)mA\d{8}-\d{4}Wev\.dat)");
  SnapshotNames names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    std::smatch m;
    if (std::regex_match(name, scheduled)) {
      names.scheduled.push_back(entry.path());
    } else if (std::regex_match(name, m, peak) && m[1] == "16") {
      names.peak.emplace_back(entry.path(), std::stod(m[2]));
    } else if (name.find(".tmp") != std::string::npos) {
      // Varnel may be writing a snapshot right now: a finished write renames
      // its temporary file, so only one that stays is left over.
      const fs::path tmp = entry.path();
      if (!lw::testing::WaitUntil([&] { return !fs::exists(tmp); }, std::chrono::seconds(5)))
        names.other.push_back(tmp);
    } else if (name.find("Wev.dat") != std::string::npos) {
      names.other.push_back(entry.path());
    }
  }
  return names;
}

// varnel-analyse rows of a snapshot: channel index -> fields.
std::map<int, std::vector<double>> AnalyseSnapshot(const fs::path& file, const fs::path& scratch) {
  const ToolRun run = RunTool("varnel-analyse", {file.string()}, scratch);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  std::map<int, std::vector<double>> rows;
  const DataLines lines = SplitDataText(run.out, "\n");
  for (const auto& fields : lines.records) {
    if (fields.size() != 17 || fields[0] == "block") continue;
    std::vector<double> values(fields.size());
    std::transform(fields.begin(), fields.end(), values.begin(),
                   [](const std::string& f) { return std::strtod(f.c_str(), nullptr); });
    rows[std::atoi(fields[1].c_str())] = std::move(values);
  }
  return rows;
}

void CheckRecords(const Site& site, const std::vector<std::string>& headers,
                  const std::vector<std::vector<std::string>>& records) {
  const std::string what = site.Settings().binaryFormat != 0 ? "binary record " : "text record ";
  ASSERT_EQ(headers.size(), 1u);
  EXPECT_EQ(headers[0], ExpectedHeader(16));
  ASSERT_GE(records.size(), kRecordsWanted);
  std::optional<long long> previous;
  for (size_t i = 0; i < records.size(); ++i) {
    const std::string name = what + std::to_string(i + 1);
    ASSERT_EQ(records[i].size(), 249u) << name;
    // Due at every whole minute, written by the first sweep of the minute.
    const auto seconds = RecordSeconds(records[i][0]);
    ASSERT_TRUE(seconds.has_value()) << name << ": " << records[i][0];
    EXPECT_LT(*seconds % 60, 10) << name << ": " << records[i][0];
    if (previous) {
      EXPECT_EQ(*seconds / 60 - *previous / 60, 1) << name << " follows its predecessor by a minute";
    }
    previous = seconds;
    ExpectFixedWeather(records[i], name);
    // The first record averages the part of a minute after the first cycle;
    // its divisor also counts the sweep that was only starting when the run
    // began (one more than it holds), so its values are left out here.
    if (i > 0) ExpectRecordMatchesProfile(records[i], SiteReference(), kMinSweepsPerMinute, name);
  }
}

void CheckSnapshots(const Site& site) {
  SCOPED_TRACE(site.Path().string());
  const SnapshotNames names = FindSnapshots(site.Path());
  EXPECT_TRUE(names.other.empty()) << "unexpected file " << names.other.front();
  ASSERT_FALSE(names.scheduled.empty()) << "no scheduled snapshot";
  ASSERT_FALSE(names.peak.empty()) << "no peak-triggered snapshot of channel 16";
  const double mA = MilliampsPerCount(330);
  const Reference& ref = SiteReference();

  // A scheduled snapshot holds the blocks of one whole sweep: every channel
  // as the profile makes it, within the range of single blocks.
  const fs::path scheduled = names.scheduled.front();
  EXPECT_EQ(fs::file_size(scheduled), 40196u) << scheduled;
  const auto rows = AnalyseSnapshot(scheduled, site.Path());
  ASSERT_EQ(rows.size(), 16u) << scheduled;
  for (const auto& [ch, v] : rows) {
    const ChannelReference& r = ref.channels[static_cast<size_t>(ch)];
    const double slack = 0.002 + 0.01 * r.f1c.mean;
    EXPECT_GE(v[3], r.f1c.min - slack) << "F1c of channel index " << ch << " in " << scheduled;
    EXPECT_LE(v[3], r.f1c.max + slack) << "F1c of channel index " << ch << " in " << scheduled;
    EXPECT_LE(v[8], r.peakCeilingMa) << "peak of channel index " << ch << " in " << scheduled;
  }

  // A peak-triggered snapshot is named after the channel that passed its
  // level and that channel's peak, which is the largest sample of its block.
  for (const auto& [file, namedPeak] : names.peak) {
    SCOPED_TRACE(file.filename().string());
    const auto waves = ReadSnapshot(file);
    ASSERT_EQ(waves.size(), 16u);
    int largest = 0;
    for (size_t k = 2; k <= 1251; ++k) largest = std::max(largest, std::abs(static_cast<int>(waves[15][k])));
    EXPECT_GT(largest * mA, kPeakTriggerMa);
    // The name gives the peak to two decimals at most ("#0.0#").
    EXPECT_NEAR(namedPeak, largest * mA, 0.005 + 1e-9);
  }
  const auto& [file, namedPeak] = names.peak.front();
  const auto peakRows = AnalyseSnapshot(file, site.Path());
  ASSERT_EQ(peakRows.count(15), 1u) << file;
  EXPECT_NEAR(peakRows.at(15)[8], namedPeak, 0.005 + 1e-6) << file;
}

TEST(SystemRun, ThreeMinutesOfRecordsCarryTheProfilesInTextAndBinaryForm) {
  Site text("text"), binary("binary");
  std::string why;
  for (Site* site : {&text, &binary}) {
    ASSERT_TRUE(site->Prepare(SystemRunSettings(site == &binary), why)) << why;
    ASSERT_TRUE(site->StartCard(why)) << why;
    ASSERT_TRUE(site->StartWeather(FixedStationArgs(), why)) << why;
  }
  ChildProcess& textVarnel = text.StartVarnel();
  ChildProcess& binaryVarnel = binary.StartVarnel();

  // The first cycle starts by itself 60 s after start-up.
  ASSERT_TRUE(textVarnel.WaitForOutput("status: 指定個数終了", 120s)) << textVarnel.Output();
  ASSERT_TRUE(binaryVarnel.WaitForOutput("status: 指定個数終了", 120s)) << binaryVarnel.Output();

  // The first record comes at the second whole minute the run sees.
  ASSERT_TRUE(PollUntil([&] { return StoredRecords(text) >= 1; }, 150s)) << textVarnel.Output().substr(0, 2000);

  // A second Varnel in the same site folder ends at once and leaves the
  // running one alone.
  {
    ChildProcess second(text.Path() / "Varnel", {}, {.workingDir = text.Path(), .environment = text.Environment()});
    EXPECT_EQ(second.WaitForExit(30s), 3) << second.Output();
    EXPECT_NE(second.Output().find("別の Varnel が動作中です (pid " + std::to_string(textVarnel.Pid()) + ")"),
              std::string::npos)
        << second.Output();
  }

  ASSERT_TRUE(PollUntil([&] { return StoredRecords(text) >= kRecordsWanted && StoredRecords(binary) >= kRecordsWanted; },
                        210s))
      << "text records " << StoredRecords(text) << ", binary records " << StoredRecords(binary);
  EXPECT_EQ(textVarnel.WaitForExit(0ms), std::nullopt) << "the measurement program ended";
  EXPECT_EQ(binaryVarnel.WaitForExit(0ms), std::nullopt) << "the measurement program ended";

  {
    SCOPED_TRACE("text form");
    const std::string bytes = ReadFile(text.DataPath());
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    const DataLines lines = SplitDataText(FromCp932(bytes), "\r\n");
    CheckRecords(text, lines.headers, lines.records);
  }
  {
    SCOPED_TRACE("binary form");
    // A copy, so that a record written meanwhile cannot come between the
    // size and the reading.
    const fs::path copy = binary.Path() / "copy-of-data.bdt";
    fs::copy_file(binary.DataPath(), copy);
    const auto size = fs::file_size(copy);
    EXPECT_EQ(size % 1000, 0u) << "a torn record";
    const ToolRun run = RunTool("varnel-data", {"records", "--channels", "16", copy.string()}, binary.Path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    std::string out = run.out;
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
    const DataLines lines = SplitDataText(out, "\n");
    EXPECT_EQ(lines.records.size(), size / 1000);
    CheckRecords(binary, lines.headers, lines.records);
  }
  CheckSnapshots(text);
  CheckSnapshots(binary);
}

}  // namespace
}  // namespace e2e
