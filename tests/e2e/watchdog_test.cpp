// The watchdog brings the measurement back: once after the measurement
// program was killed, once after the card's driver vanished under it and the
// program ended itself, once after the program hung (SIGSTOP) and kept its
// lock.  The sites run side by side, each in its own thread.
//
// Tessik checks once a minute and restarts Varnel when the data file is
// older than its restart time.  The restart time is mostly 1.25 minutes: more
// than the one minute between records, so a running program is never
// restarted, and as short as that allows.
#include <gtest/gtest.h>
#include <signal.h>

#include <iostream>
#include <thread>

#include "site.h"
#include "system_expectations.h"

namespace e2e {
namespace {

constexpr const char* kRestartMinutes = "1.25";

// Text records of the site's data file: whole lines only, per run (a run
// starts with its header line).
std::vector<std::vector<std::vector<std::string>>> RecordsPerRun(const Site& site) {
  const std::string text = FromCp932(ReadFile(site.DataPath()));
  std::vector<std::vector<std::vector<std::string>>> runs;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = text.substr(start, end - start);
    if (line.starts_with("時刻,")) {
      runs.emplace_back();
    } else if (!runs.empty()) {
      const DataLines one = SplitDataText(line, "\r\n");
      runs.back().push_back(one.records.front());
    }
  }
  return runs;
}

size_t RecordsOfRun(const Site& site, size_t run) {
  const auto runs = RecordsPerRun(site);
  return runs.size() > run ? runs[run].size() : 0;
}

bool StartSite(Site& site, const SiteSettings& settings, const std::string& restartMinutes = kRestartMinutes) {
  std::string why;
  if (!site.Prepare(settings, why) || !site.StartCard(why) || !site.StartWeather(FixedStationArgs(), why)) {
    ADD_FAILURE() << why;
    return false;
  }
  site.StartTessik(restartMinutes);
  ChildProcess& varnel = site.StartVarnel();
  if (!varnel.WaitForOutput("status: 指定個数終了", 120s)) {
    ADD_FAILURE() << "no cycle: " << varnel.Output();
    return false;
  }
  return true;
}

// Peak-triggered snapshots in the site folder.
size_t PeakSnapshots(const Site& site) {
  size_t n = 0;
  for (const auto& entry : fs::directory_iterator(site.Path()))
    if (entry.path().filename().string().starts_with("ch")) ++n;
  return n;
}

// Waits for Tessik to start a Varnel other than `old`.
std::optional<pid_t> WaitForRestart(const Site& site, pid_t old, std::chrono::seconds deadline) {
  std::optional<pid_t> started;
  PollUntil(
      [&] {
        started = site.RunningVarnel();
        return started && *started != old;
      },
      deadline);
  if (started && *started == old) return std::nullopt;
  return started;
}

// Varnel killed after its first record: the data file goes stale, Tessik
// starts Varnel again, and the new run appends its header and records to the
// same file.
void MeasurementProgramKilled() {
  SCOPED_TRACE("measurement program killed");
  Site site("killed");
  ASSERT_TRUE(StartSite(site, SystemRunSettings(false)));
  ASSERT_TRUE(PollUntil([&] { return RecordsOfRun(site, 0) >= 1; }, 150s)) << "no first record";

  ChildProcess& first = *site.Varnel();
  const pid_t killed = first.Pid();
  first.Kill();
  // Stale after 75 s, seen at the next check of the minute.
  const auto restarted = WaitForRestart(site, killed, 180s);
  ASSERT_TRUE(restarted.has_value()) << "Tessik did not start Varnel again: " << site.Tessik()->Output();
  // The new run's first record: 60 s to its first cycle, then the minute it
  // starts in and the next.
  ASSERT_TRUE(PollUntil([&] { return RecordsOfRun(site, 1) >= 1; }, 210s)) << "records did not resume";

  const auto runs = RecordsPerRun(site);
  ASSERT_EQ(runs.size(), 2u) << "one header per run in the one data file";
  for (const auto& run : runs) {
    for (const auto& record : run) {
      ASSERT_EQ(record.size(), 249u);
      ExpectFixedWeather(record, "record " + record[0]);
    }
  }
  const auto lastOfFirst = RecordSeconds(runs[0].back()[0]);
  const auto firstOfSecond = RecordSeconds(runs[1].front()[0]);
  ASSERT_TRUE(lastOfFirst && firstOfSecond);
  EXPECT_GT(*firstOfSecond, *lastOfFirst);
  EXPECT_EQ(site.RunningVarnel(), restarted) << "the restarted program ended";
}

// The card stand-in killed during a run: the next cycle's library call
// fails, Varnel shows the failure, appends its line to ErrLog.csv and ends.
// With the stand-in back, Tessik's restart brings the measurement back, and
// the new run's records carry the profile again.
void CardDriverVanished() {
  SCOPED_TRACE("card driver vanished");
  Site site("card");
  // The last insulator's peak passes a trigger of 1 mA in every sweep, so
  // its snapshots show that sweeps are running.
  SiteSettings settings = SystemRunSettings(false);
  settings.channelLevels[15] = 1;
  ASSERT_TRUE(StartSite(site, settings));
  ChildProcess& first = *site.Varnel();
  // A few sweeps first (each peak differs, so each names a new file).
  ASSERT_TRUE(PollUntil([&] { return PeakSnapshots(site) >= 3; }, 60s)) << first.Output();
  site.KillCard();

  const auto status = first.WaitForExit(30s);
  ASSERT_TRUE(status.has_value()) << "Varnel kept running without its card: " << first.Output().substr(0, 3000);
  EXPECT_EQ(*status, 1) << "exit status of a fatal set-up failure";
  const std::string out = first.Output();
  const size_t lastStatus = out.rfind("status: ");
  ASSERT_NE(lastStatus, std::string::npos);
  const std::string shown = out.substr(lastStatus + 8, out.find('\n', lastStatus) - lastStatus - 8);

  const std::string log = FromCp932(ReadFile(site.Path() / "ErrLog.csv"));
  const DataLines lines = SplitDataText(log, "\r\n");
  ASSERT_EQ(lines.records.size(), 1u) << log;
  ASSERT_TRUE(lines.endsWithLineEnd) << log;
  const auto& line = lines.records.front();
  ASSERT_EQ(line.size(), 4u) << log;
  EXPECT_TRUE(RecordSeconds(line[0]).has_value()) << line[0];
  EXPECT_EQ(line[1], shown) << "the message is the status Varnel ended with";
  EXPECT_TRUE(line[1] == "変換ﾃﾞｰﾀ格納用ﾒﾓﾘﾌﾞﾛｯｸｱﾛｹｰｼｮﾝｴﾗｰ" || line[1].starts_with("ADｶｰﾄﾞﾊﾟﾗﾒｰﾀ設定ｴﾗｰ[CODE:") ||
              line[1].starts_with("AD変換ﾁｬﾝﾈﾙ設定誤り[CODE:"))
      << line[1];
  EXPECT_EQ(line[2], "45") << "the average wind direction shown";
  EXPECT_EQ(line[3], "異常終了");

  std::string why;
  ASSERT_TRUE(site.StartCard(why)) << why;
  const auto restarted = WaitForRestart(site, first.Pid(), 180s);
  ASSERT_TRUE(restarted.has_value()) << "Tessik did not start Varnel again: " << site.Tessik()->Output();
  // Two records of the new run: the second covers a whole minute.
  ASSERT_TRUE(PollUntil([&] { return RecordsOfRun(site, 1) >= 2; }, 270s)) << "records did not resume";
  const auto runs = RecordsPerRun(site);
  ASSERT_EQ(runs.size(), 2u);
  ASSERT_GE(runs[1].size(), 2u);
  // A fresh stand-in starts its group sequence with the new run's first
  // block, so every channel is the one the program names.
  ExpectRecordMatchesProfile(runs[1][1], SiteReference(), 25, "second record after the restart");
  ExpectFixedWeather(runs[1][1], "second record after the restart");
}

// Varnel stopped (SIGSTOP) after its first record: it keeps the site's lock,
// so a new program alone would end at once.  With a restart time of one
// minute, Tessik finds the file stale, ends the stopped program and starts a
// new one, whose records go into the same file.
void MeasurementProgramHung() {
  SCOPED_TRACE("measurement program hung");
  Site site("hung");
  ASSERT_TRUE(StartSite(site, SystemRunSettings(false), "1"));
  ASSERT_TRUE(PollUntil([&] { return RecordsOfRun(site, 0) >= 1; }, 150s)) << "no first record";

  ChildProcess& stopped = *site.Varnel();
  const pid_t hung = stopped.Pid();
  stopped.Signal(SIGSTOP);
  const auto hangTime = std::chrono::steady_clock::now();

  // Stale after 60 s, and silent (its lock file no longer marked alive)
  // after two minutes, seen at the next check of the minute; the stopped
  // program gets SIGTERM (with SIGCONT) and ends.
  const auto status = stopped.WaitForExit(270s);
  ASSERT_TRUE(status.has_value()) << "the stopped Varnel was not ended: " << site.Tessik()->Output();
  EXPECT_EQ(*status, 128 + SIGTERM);
  const auto restarted = WaitForRestart(site, hung, 30s);
  ASSERT_TRUE(restarted.has_value()) << "Tessik did not start Varnel again: " << site.Tessik()->Output();
  ASSERT_TRUE(PollUntil([&] { return RecordsOfRun(site, 1) >= 1; }, 210s)) << "records did not resume";
  const auto hangToRecord =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - hangTime);
  std::cout << "[ hung     ] from SIGSTOP to the first record of the new Varnel: " << hangToRecord.count() << " s\n";
  ::testing::Test::RecordProperty("hang_to_first_new_record_s", static_cast<int>(hangToRecord.count()));

  const std::string tessik = site.Tessik()->Output();
  const std::string pid = std::to_string(hung);
  EXPECT_NE(tessik.find("status: 応答しないプログラムを終了します (pid " + pid + ")"), std::string::npos) << tessik;
  EXPECT_NE(tessik.find("status: 応答しないプログラムを終了して起動しました (pid " + pid + ")"), std::string::npos)
      << tessik;
  EXPECT_NE(tessik.find("(再起動回数 1)"), std::string::npos) << tessik;
  const auto runs = RecordsPerRun(site);
  ASSERT_EQ(runs.size(), 2u) << "one header per run in the one data file";
  for (const auto& record : runs[1]) {
    ASSERT_EQ(record.size(), 249u);
    ExpectFixedWeather(record, "record " + record[0]);
  }
  EXPECT_EQ(site.RunningVarnel(), restarted) << "the new program ended";
}

TEST(SystemRestart, WatchdogBringsTheMeasurementBackAfterTheProgramDiedHungOrLostItsCardDriver) {
  std::thread killed(MeasurementProgramKilled);
  std::thread card(CardDriverVanished);
  std::thread hung(MeasurementProgramHung);
  killed.join();
  card.join();
  hung.join();
}

}  // namespace
}  // namespace e2e
