// varnel-collect as a program beside a site written by the measurement
// program's own writer: into a PostgreSQL server that the test starts
// itself (initdb and pg_ctl in a temporary folder, Unix socket only) and
// into SQLite.  The database goes away and comes back, the collector is
// killed and started again: every record lands once.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <thread>

#include "collect_test_support.h"
#include "postgres_server.h"
#include <sqlite3.h>

namespace varnel::fleet {
namespace {

using namespace std::chrono_literals;
using lw::testing::BinDir;
using lw::testing::ChildProcess;
using lw::testing::PostgresServer;
using testing::SqliteValue;
using testing::SyntheticSite;

PostgresServer* Server() { return lw::testing::SharedPostgresServer(); }

// Polls `condition` every 50 ms until it holds; false at the deadline.
bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  return lw::testing::WaitUntil(condition, [] { std::this_thread::sleep_for(50ms); }, deadline);
}

class CollectProgram : public ::testing::TestWithParam<std::string> {
 protected:
  bool Postgres() const { return GetParam() == "postgresql"; }
  void SetUp() override {
    if (Postgres()) {
      ASSERT_NE(Server(), nullptr);
    }
  }
  std::string DatabaseLocation(const SyntheticSite& site) const {
    return Postgres() ? Server()->ConnectionString() : site.File("records.sqlite");
  }
  std::unique_ptr<ChildProcess> StartCollector(const SyntheticSite& site, const std::string& name) {
    return std::make_unique<ChildProcess>(
        BinDir() / "varnel-collect",
        std::vector<std::string>{"--site-dir", site.Dir(), "--site", name, "--db", DatabaseLocation(site), "--time-zone",
                                 "Asia/Tokyo", "--interval", "100"});
  }
  // A query's single value ("" when the database cannot answer yet).
  std::string Value(const SyntheticSite& site, const std::string& sql) const {
    if (Postgres()) return Server()->Value(sql);
    try {
      return SqliteValue(site.File("records.sqlite"), sql);
    } catch (const std::exception&) {
      return "";
    }
  }
  std::string SiteClause(const std::string& name) const {
    return " WHERE site_id = (SELECT site_id FROM sites WHERE name = '" + name + "')";
  }
  int Records(const SyntheticSite& site, const std::string& name) {
    const std::string v = Value(site, "SELECT count(*) FROM records" + SiteClause(name));
    return v.empty() ? -1 : std::stoi(v);
  }
  bool RecordsReach(const SyntheticSite& site, const std::string& name, int n) {
    return Eventually([&] { return Records(site, name) == n; }, 60s);
  }
  // Every record 0..n-1 once, with all its channels.
  void ExpectExactly(const SyntheticSite& site, const std::string& name, int n, int channels) {
    EXPECT_EQ(Records(site, name), n);
    EXPECT_EQ(Value(site, "SELECT count(*) FROM channel_records" + SiteClause(name)), std::to_string(n * channels));
    // Wind speed of record r is r * 1000 / 8 = 125 r: their sum tells a
    // missing record from a doubled one.
    EXPECT_EQ(Value(site, "SELECT CAST(sum(CAST(wind_speed AS double precision)) AS bigint) FROM records" + SiteClause(name)),
              std::to_string(125LL * n * (n - 1) / 2));
    // The summaries of every site in the database agree with its rows.
    EXPECT_EQ(testing::SummaryMismatches(DatabaseLocation(site)), "");
  }
};

TEST_P(CollectProgram, RecordsAppearWhileTheSiteRunsAndAKilledCollectorLosesAndRepeatsNothing) {
  constexpr int kRecords = 6000;
  SyntheticSite site(true, 16);
  const std::string name = "kill-" + GetParam();
  site.StartRun();
  auto collector = StartCollector(site, name);
  for (int r = 0; r < 3; ++r) ASSERT_TRUE(site.Append(r));
  ASSERT_TRUE(RecordsReach(site, name, 3)) << collector->Output();

  // Killed while idle; meanwhile a backlog of several batches (1000
  // records each) piles up in the file.
  collector->Kill();
  site.AppendBacklog(3, kRecords);
  // Started again and killed as soon as its first batch is in.
  collector = StartCollector(site, name);
  ASSERT_TRUE(Eventually([&] { return Records(site, name) > 3; }, 60s)) << collector->Output();
  collector->Kill();
  const int before = Records(site, name);
  EXPECT_LT(before, kRecords) << "the kill came too late to interrupt anything";

  collector = StartCollector(site, name);
  ASSERT_TRUE(RecordsReach(site, name, kRecords)) << collector->Output();
  ExpectExactly(site, name, kRecords, 16);
  EXPECT_NE(collector->Output().find("where the last run stopped"), std::string::npos) << collector->Output();

  // A clean stop on SIGTERM.
  collector->Signal(SIGTERM);
  EXPECT_EQ(collector->WaitForExit(20s), 0);
  EXPECT_NE(collector->Output().find("stopping"), std::string::npos);
}

TEST_P(CollectProgram, ADatabaseThatGoesAwayOnlyDelaysTheRecords) {
  SyntheticSite site(false, 8);
  const std::string name = "outage-" + GetParam();
  site.StartRun();
  auto collector = StartCollector(site, name);
  for (int r = 0; r < 4; ++r) ASSERT_TRUE(site.Append(r));
  ASSERT_TRUE(RecordsReach(site, name, 4)) << collector->Output();

  std::string why;
  sqlite3* blocker = nullptr;
  if (Postgres()) {
    ASSERT_TRUE(Server()->Stop(why)) << why;
  } else {
    // Another program holds the file's write lock longer than the
    // collector waits for it.
    ASSERT_EQ(sqlite3_open(site.File("records.sqlite").c_str(), &blocker), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(blocker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  }
  for (int r = 4; r < 10; ++r) ASSERT_TRUE(site.Append(r));
  ASSERT_TRUE(collector->WaitForOutput("the records wait in the site's files", 60s)) << collector->Output();
  site.Reopen();
  for (int r = 10; r < 12; ++r) ASSERT_TRUE(site.Append(r));
  if (Postgres()) {
    ASSERT_TRUE(Server()->Start(why)) << why;
  } else {
    sqlite3_exec(blocker, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(blocker);
  }
  ASSERT_TRUE(RecordsReach(site, name, 12)) << collector->Output();
  ExpectExactly(site, name, 12, 8);
  if (Postgres()) {
    EXPECT_NE(collector->Output().find("database reachable again"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, CollectProgram, ::testing::Values("postgresql", "sqlite"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

// The maintenance log from the command line: an event at the site's local
// time is entered once; a wrong kind, channel or time is refused with the
// usage status and nothing entered.
TEST(CollectEvents, AnEventIsEnteredOnceAtTheSitesLocalTimeAndAMistakeIsRefused) {
  SyntheticSite site(true, 4);
  const std::string db = site.File("records.sqlite");
  auto run = [&](std::vector<std::string> args) {
    std::vector<std::string> all{"--site-dir", site.Dir(), "--site", "hill 7", "--time-zone", "Asia/Tokyo"};
    all.insert(all.end(), args.begin(), args.end());
    auto p = std::make_unique<ChildProcess>(BinDir() / "varnel-collect", all);
    p->WaitForExit(30s);
    return p;
  };
  const std::vector<std::string> washing{"--event", "washing", "--channel", "3", "--at", "2005-06-01 10:30",
                                         "--note", "crew 2, 40 l"};
  auto first = run(washing);
  EXPECT_EQ(first->WaitForExit(1s), 0) << first->Output();
  EXPECT_NE(first->Output().find("washing of channel 3 at 2005-06-01 10:30:00+09:00 entered"), std::string::npos)
      << first->Output();
  auto again = run(washing);
  EXPECT_EQ(again->WaitForExit(1s), 0);
  EXPECT_NE(again->Output().find("was entered before"), std::string::npos) << again->Output();
  EXPECT_EQ(run({"--event", "scrubbing", "--channel", "3"})->WaitForExit(1s), 2);
  EXPECT_EQ(run({"--event", "washing", "--channel", "17"})->WaitForExit(1s), 2);
  EXPECT_EQ(run({"--event", "washing", "--channel", "all", "--at", "yesterday"})->WaitForExit(1s), 2);
  EXPECT_EQ(run({"--event", "inspection", "--channel", "all"})->WaitForExit(1s), 0);
  // 10:30 in Tokyo is 01:30 UTC.
  EXPECT_EQ(testing::SqliteRows(db, "SELECT channel, time, local_time, kind, note FROM maintenance WHERE "
                                    "kind = 'washing'"),
            (std::vector<std::vector<std::string>>{
                {"3", "1117589400", "2005-06-01 10:30:00+09:00", "washing", "crew 2, 40 l"}}));
  EXPECT_EQ(SqliteValue(db, "SELECT count(*) FROM maintenance WHERE kind = 'inspection' AND channel = 0"), "1");
}

TEST(CollectPostgres, MonthsGetTheirOwnPartitionsAndTimesKeepTheSiteZone) {
  PostgresServer* server = Server();
  ASSERT_NE(server, nullptr);
  SyntheticSite site(true, 4);
  site.StartRun();
  // 2005-07-01 08:58 .. 09:01 in Tokyo: two minutes in June and two in July (UTC).
  for (int r = 43018; r < 43022; ++r) ASSERT_TRUE(site.Append(r));
  ChildProcess collector(BinDir() / "varnel-collect",
                         {"--site-dir", site.Dir(), "--site", "partitions", "--db", server->ConnectionString(),
                          "--time-zone", "Asia/Tokyo", "--once"});
  ASSERT_EQ(collector.WaitForExit(60s), 0) << collector.Output();
  EXPECT_EQ(server->Value("SELECT count(*) FROM records_2005_06 JOIN sites USING (site_id) WHERE name = 'partitions'"),
            "2");
  EXPECT_EQ(server->Value("SELECT count(*) FROM channel_records_2005_07 c JOIN sites s USING (site_id) "
                          "WHERE s.name = 'partitions'"),
            "8");
  EXPECT_EQ(server->Value("SELECT to_char(min(time) AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI') FROM records "
                          "JOIN sites USING (site_id) WHERE name = 'partitions'"),
            "2005-06-30 23:58");
  EXPECT_EQ(server->Value("SELECT to_char(max(r.time AT TIME ZONE s.time_zone), 'YYYY-MM-DD HH24:MI') FROM records r "
                          "JOIN sites s USING (site_id) WHERE s.name = 'partitions'"),
            "2005-07-01 09:01");

  // A file that overlaps the records stored (two before them, three
  // after): only the new ones are added, and the summaries of their hours
  // and days take them in beside the stored ones.
  SyntheticSite overlapping(true, 4);
  overlapping.StartRun();
  for (int r = 43016; r < 43025; ++r) ASSERT_TRUE(overlapping.Append(r));
  overlapping.StopRun();
  ChildProcess import(BinDir() / "varnel-collect",
                      {"--site-dir", site.Dir(), "--site", "partitions", "--db", server->ConnectionString(),
                       "--time-zone", "Asia/Tokyo", "--channels", "4", "--import", overlapping.DataPath()});
  ASSERT_EQ(import.WaitForExit(60s), 0) << import.Output();
  EXPECT_NE(import.Output().find("imported 9 records (5 new)"), std::string::npos) << import.Output();
  EXPECT_EQ(testing::SummaryMismatches(server->ConnectionString()), "");

  // A shared server needs the site's name.
  ChildProcess nameless(BinDir() / "varnel-collect", {"--site-dir", site.Dir(), "--db", server->ConnectionString()});
  EXPECT_EQ(nameless.WaitForExit(30s), 2);
  EXPECT_NE(nameless.Output().find("needs the site's name"), std::string::npos);
}

TEST(CollectPostgres, RetentionDropsWholeMonthlyPartitionsKeepsTheSummariesAndStoresNothingBeforeItsHorizon) {
  PostgresServer* server = Server();
  ASSERT_NE(server, nullptr);
  std::string why;
  const std::string db = server->CreateDatabase("retention", why);
  ASSERT_FALSE(db.empty()) << why;
  SyntheticSite site(true, 4);
  site.StartRun();
  // June and July 2005 (UTC), as in the partitions' test.
  for (int r = 43018; r < 43022; ++r) ASSERT_TRUE(site.Append(r));
  site.StopRun();
  auto collect = [&](std::vector<std::string> extra) {
    std::vector<std::string> args{"--site-dir", site.Dir(), "--site", "kept", "--db", db, "--time-zone", "Asia/Tokyo",
                                  "--channels", "4"};
    args.insert(args.end(), extra.begin(), extra.end());
    ChildProcess collector(BinDir() / "varnel-collect", args);
    EXPECT_EQ(collector.WaitForExit(60s), 0) << collector.Output();
    return collector.Output();
  };
  collect({"--once"});
  auto value = [&](const std::string& sql) { return testing::DatabaseRows(db, sql).at(0).at(0); };
  const std::string summaries = "SELECT count(*), sum(n) FROM summary_days";
  const auto before = testing::DatabaseRows(db, summaries);
  ASSERT_EQ(value("SELECT count(*) FROM records"), "4");

  // One month kept before this one: every month of 2005 goes, as whole
  // partitions, and the summaries stay.
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  const int month = (tm.tm_year + 1900) * 12 + tm.tm_mon - 1;
  char horizon[48];
  std::snprintf(horizon, sizeof horizon, "%04d-%02d-01 09:00:00+09:00", month / 12, month % 12 + 1);
  const std::string said = collect({"--keep-raw-months", "1", "--once"});
  EXPECT_NE(said.find(std::string("raw rows before ") + horizon + " dropped (1 month kept)"), std::string::npos) << said;
  EXPECT_EQ(value("SELECT count(*) FROM pg_class WHERE relname IN ('records_2005_06', 'records_2005_07', "
                  "'channel_records_2005_06', 'channel_records_2005_07')"),
            "0");
  EXPECT_EQ(value("SELECT count(*) FROM records"), "0");
  EXPECT_EQ(testing::DatabaseRows(db, summaries), before);

  // The same records imported again: not stored, not counted again, and
  // their months get no partitions back.
  const std::string imported = collect({"--import", site.DataPath()});
  EXPECT_NE(imported.find("imported 4 records (0 new)"), std::string::npos) << imported;
  EXPECT_NE(imported.find("4 records of " + site.DataPath() + " are older than the raw rows the database keeps"),
            std::string::npos)
      << imported;
  EXPECT_EQ(value("SELECT count(*) FROM pg_class WHERE relname = 'records_2005_06'"), "0");
  EXPECT_EQ(testing::DatabaseRows(db, summaries), before);
}

}  // namespace
}  // namespace varnel::fleet
