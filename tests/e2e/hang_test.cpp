// A card driver that accepts acquisitions and stops completing them for a
// while.  The measurement program gives each such block up after its time
// limit and carries on; a short hang it rides out by itself, a long one ends
// it after the third time-out in a row, and the watchdog's restart brings the
// measurement back once the card answers again.  Both sites run side by
// side, each in its own thread, and report the time from the hang's end to
// the first record after it.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "site.h"
#include "system_expectations.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kHangOver = "qda7100-sim: hang over";
const std::string kTimeout1 = "AD変換ﾀｲﾑｱｳﾄ[連続 1回]";
const std::string kTimeout2 = "AD変換ﾀｲﾑｱｳﾄ[連続 2回]";
const std::string kTimeoutEnd = "AD変換ﾀｲﾑｱｳﾄ[連続 3回] ﾌﾟﾛｸﾞﾗﾑ終了";

// The messages of the site's ErrLog.csv, in order; each line checked for
// its form on the way (date-time, message, the wind direction shown, the
// closing word).
std::vector<std::string> LoggedMessages(const Site& site) {
  const DataLines lines = SplitDataText(FromCp932(ReadFile(site.Path() / "ErrLog.csv")), "\r\n");
  std::vector<std::string> messages;
  for (const auto& line : lines.records) {
    EXPECT_EQ(line.size(), 4u);
    if (line.size() != 4) continue;
    EXPECT_TRUE(RecordSeconds(line[0]).has_value()) << line[0];
    EXPECT_EQ(line[2], "45") << "the average wind direction shown";
    EXPECT_EQ(line[3], "異常終了");
    messages.push_back(line[1]);
  }
  return messages;
}

// Waits for the card stand-in to say that its hang is over; the moment it did.
std::optional<Clock::time_point> WaitForHangEnd(Site& site, std::chrono::seconds deadline) {
  if (!site.Card()->WaitForOutput(kHangOver, deadline)) return std::nullopt;
  return Clock::now();
}

// Waits for the record after the first `before` records; seconds from
// `since` until it was there.
std::optional<long long> SecondsToRecord(const Site& site, size_t before, Clock::time_point since,
                                         std::chrono::seconds deadline) {
  if (!PollUntil([&] { return StoredRecords(site) > before; }, deadline)) return std::nullopt;
  return std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - since).count();
}

bool StartStandIns(Site& site, const std::vector<std::string>& cardArgs) {
  std::string why;
  if (!site.Prepare(SystemRunSettings(false), why) || !site.StartCard(why, cardArgs) ||
      !site.StartWeather(FixedStationArgs(), why)) {
    ADD_FAILURE() << why;
    return false;
  }
  return true;
}

// About two minutes of normal cycles (1000 blocks of about 0.13 s after the
// first cycle at 60 s), then an 8 s hang: one or two blocks time out at
// their 5 s limit and the next one completes.  The program never ends, and
// every record after the first (which covers only part of a minute),
// including the one over the hang, matches the card's profile: the given-up
// blocks were not averaged in, and the multiplexer groups stayed in step.
void ShortHangRiddenOut() {
  SCOPED_TRACE("short hang");
  Site site("hang-short");
  ASSERT_TRUE(StartStandIns(site, {"--hang-after", "1000", "--hang-for", "8000"}));
  ChildProcess& varnel = site.StartVarnel();
  ASSERT_TRUE(varnel.WaitForOutput("status: 指定個数終了", 120s)) << "no cycle: " << varnel.Output();

  const auto hangEnd = WaitForHangEnd(site, 420s);
  ASSERT_TRUE(hangEnd.has_value()) << "the card never hung and recovered: " << site.Card()->Output();
  const size_t before = StoredRecords(site);
  ASSERT_TRUE(varnel.WaitForOutput("status: " + kTimeout1, 10s)) << varnel.Output().substr(0, 4000);
  const auto seconds = SecondsToRecord(site, before, *hangEnd, 90s);
  ASSERT_TRUE(seconds.has_value()) << "no record after the hang";
  std::printf("short hang: first record %lld s after the hang's end (%zu records before it)\n", *seconds, before);
  ::testing::Test::RecordProperty("short_hang_to_record_s", std::to_string(*seconds));

  EXPECT_EQ(varnel.WaitForExit(0ms), std::nullopt) << "the measurement program ended";
  const auto logged = LoggedMessages(site);
  ASSERT_GE(logged.size(), 1u);
  ASSERT_LE(logged.size(), 2u) << "an 8 s hang outlasts at most two 5 s limits";
  EXPECT_EQ(logged[0], kTimeout1);
  if (logged.size() == 2) {
    EXPECT_EQ(logged[1], kTimeout2);
  }

  DataLines lines = ReadTextDataFile(site.DataPath());
  if (!lines.endsWithLineEnd && !lines.records.empty()) lines.records.pop_back();
  ASSERT_EQ(lines.headers.size(), 1u) << "one run";
  ASSERT_GE(lines.records.size(), 2u);
  for (size_t i = 1; i < lines.records.size(); ++i) {
    const std::string name = "record " + std::to_string(i + 1);
    ASSERT_EQ(lines.records[i].size(), 249u) << name;
    ExpectRecordMatchesProfile(lines.records[i], SiteReference(), 25, name);
    ExpectFixedWeather(lines.records[i], name);
  }
}

// The card hangs from the first acquisition on for 90 s.  Varnel gives three
// blocks up, logs each, and ends with status 1; Tessik (restart time 1
// minute) finds the data file stale and starts Varnel again, whose blocks
// complete: records resume in the same file.
void LongHangEndsTheProgramAndTheWatchdogRestartsIt() {
  SCOPED_TRACE("long hang");
  Site site("hang-long");
  ASSERT_TRUE(StartStandIns(site, {"--hang-for", "90000"}));
  site.StartTessik("1");
  ChildProcess& first = site.StartVarnel();

  const auto status = first.WaitForExit(150s);
  const auto ended = Clock::now();
  ASSERT_TRUE(status.has_value()) << "Varnel kept running on a hung card: " << first.Output().substr(0, 4000);
  EXPECT_EQ(*status, 1);
  EXPECT_NE(first.Output().find("status: " + kTimeoutEnd), std::string::npos) << first.Output().substr(0, 4000);
  EXPECT_EQ(LoggedMessages(site), (std::vector<std::string>{kTimeout1, kTimeout2, kTimeoutEnd}));
  EXPECT_EQ(StoredRecords(site), 0u);

  const auto hangEnd = WaitForHangEnd(site, 120s);
  ASSERT_TRUE(hangEnd.has_value()) << site.Card()->Output();
  std::optional<pid_t> restarted;
  PollUntil(
      [&] {
        restarted = site.RunningVarnel();
        return restarted && *restarted != first.Pid();
      },
      180s);
  ASSERT_TRUE(restarted && *restarted != first.Pid()) << "Tessik did not start Varnel again: "
                                                      << site.Tessik()->Output();
  const auto restartSeen = Clock::now();
  const auto seconds = SecondsToRecord(site, 0, *hangEnd, 300s);
  ASSERT_TRUE(seconds.has_value()) << "records did not resume";
  using std::chrono::duration_cast;
  std::printf(
      "long hang: Varnel ended %lld s before the hang's end, the restart was seen %lld s after it, the first record "
      "came %lld s after it\n",
      static_cast<long long>(duration_cast<std::chrono::seconds>(*hangEnd - ended).count()),
      static_cast<long long>(duration_cast<std::chrono::seconds>(restartSeen - *hangEnd).count()), *seconds);
  ::testing::Test::RecordProperty("long_hang_to_record_s", std::to_string(*seconds));

  const DataLines lines = ReadTextDataFile(site.DataPath());
  // One header per run, all in the one data file: the hung run's and at
  // least the restarted one's.
  EXPECT_GE(lines.headers.size(), 2u);
  ASSERT_GE(lines.records.size(), 1u);
  EXPECT_EQ(lines.records[0].size(), 249u);
  ExpectFixedWeather(lines.records[0], "first record after the restart");
  EXPECT_EQ(LoggedMessages(site).size(), 3u) << "the restarted program timed nothing out";
}

TEST(CardHang, TheMeasurementRecoversFromADriverThatStopsCompletingAcquisitions) {
  std::thread shortHang(ShortHangRiddenOut);
  std::thread longHang(LongHangEndsTheProgramAndTheWatchdogRestartsIt);
  shortHang.join();
  longHang.join();
}

}  // namespace
}  // namespace e2e
