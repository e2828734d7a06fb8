// A fleet server that spreads its reads: varnel-collect writes to a
// PostgreSQL primary, and varnel-web serves a streaming hot standby of it
// (made with pg_basebackup).  The test starts both servers itself (Unix
// sockets only), writes a site's data file, runs the real collector on the
// primary and the real dashboard on the standby, and follows the site's
// newest record from the file to the standby's pages.
#include <gtest/gtest.h>
#include <signal.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <thread>

#include "collect_test_support.h"
#include "postgres_server.h"
#include "store/record_format.h"
#include "web_test_support.h"

namespace varnel::fleet::web {
namespace {

using namespace std::chrono_literals;
using namespace testing;
using lw::testing::BinDir;
using lw::testing::ChildProcess;
using lw::testing::PostgresServer;

constexpr const char* kSite = "ridge-3";

// Record r of the test's site: 2005-06-01 12:00 plus r minutes in Tokyo,
// element e of it (1000 r + e) / 8 (fleet::testing::RecordValuesOf).
int64_t TimeOf(int r) { return kBase + r * kMinute; }
double Element(int r, std::size_t e) { return (1000.0 * r + static_cast<double>(e)) / 8; }
double Peak(int r, int channel) { return Element(r, store::PeakIndex(channel - 1, 0)); }

QJsonObject JsonOf(const HttpResult& r) { return QJsonDocument::fromJson(QByteArray::fromStdString(r.body)).object(); }

// The site's entry of /api/fleet (empty while the page cannot tell).
QJsonObject FleetEntry(const std::string& base) {
  const HttpResult r = HttpGet(base + "api/fleet", {}, 10s);
  if (r.status != 200) return {};
  for (const QJsonValue& s : JsonOf(r)["sites"].toArray())
    if (s.toObject()["name"].toString() == kSite) return s.toObject();
  return {};
}

// What the standby's pages must say once record `newest` is the site's
// newest, from the records the test wrote.
void ExpectPagesShow(const std::string& base, int newest) {
  const QJsonObject site = FleetEntry(base);
  EXPECT_EQ(site["lastRecord"].toInteger(), TimeOf(newest));
  char local[40];
  std::snprintf(local, sizeof local, "2005-06-01 %02d:%02d:00+09:00", 12 + newest / 60, newest % 60);
  EXPECT_EQ(site["lastRecordLocal"].toString().toStdString(), local);
  const QJsonObject weather = site["weather"].toObject();
  EXPECT_EQ(weather["wind_speed"].toDouble(), Element(newest, 0));
  EXPECT_EQ(weather["outside_humidity"].toDouble(), Element(newest, 3));
  // Every value grows with the record and the channel: channel 4 of the
  // newest record holds the highest peak.
  const QJsonObject highest = site["highestPeak"].toObject();
  EXPECT_EQ(highest["channel"].toInt(), 4);
  EXPECT_EQ(highest["value"].toDouble(), Peak(newest, 4));
  EXPECT_EQ(highest["time"].toInteger(), TimeOf(newest));

  // The day's trend of channel 1 reaches from record 0 to the newest.
  const HttpResult trend = HttpGet(base + "api/trend?site=" + kSite + "&channels=1&quantities=peak&range=day");
  ASSERT_EQ(trend.status, 200) << trend.body;
  const QJsonArray series = JsonOf(trend)["series"].toArray();
  ASSERT_EQ(series.size(), 1) << trend.body;
  const QJsonArray lows = series[0].toObject()["min"].toArray();
  const QJsonArray highs = series[0].toObject()["max"].toArray();
  ASSERT_FALSE(lows.isEmpty() || highs.isEmpty()) << trend.body;
  EXPECT_EQ(lows.first().toArray()[0].toInteger(), TimeOf(0));
  EXPECT_EQ(lows.first().toArray()[1].toDouble(), Peak(0, 1));
  EXPECT_EQ(highs.last().toArray()[0].toInteger(), TimeOf(newest));
  EXPECT_EQ(highs.last().toArray()[1].toDouble(), Peak(newest, 1));
}

TEST(WebOnAStandby, ThePagesOfAHotStandbyFollowTheRecordsCollectedIntoThePrimaryAndNothingIsWrittenThere) {
  PostgresServer primary;
  std::string why;
  ASSERT_TRUE(primary.Setup(why)) << why;
  const std::string primaryDb = primary.CreateDatabase("fleet", why);
  ASSERT_FALSE(primaryDb.empty()) << why;
  PostgresServer standby;
  ASSERT_TRUE(standby.SetupStandby(primary, why)) << why;
  const std::string standbyDb = standby.ConnectionString("fleet");

  // Really a standby, streaming from the primary.
  EXPECT_EQ(standby.Value("SELECT pg_is_in_recovery()"), "t");
  EXPECT_EQ(primary.Value("SELECT pg_is_in_recovery()"), "f");
  ASSERT_TRUE(Eventually(
      [&] { return primary.Value("SELECT count(*) FROM pg_stat_replication WHERE state = 'streaming'") == "1"; }, 10s))
      << "the primary sees no streaming standby";

  // The site: records 0..29 collected into the primary (the tables are
  // made there by the collector's first contact).
  fleet::testing::SyntheticSite site(true, 4);
  site.StartRun();
  auto collect = [&](int from, int to) {
    for (int r = from; r < to; ++r) ASSERT_TRUE(site.Append(r));
    const lw::testing::ProgramRun run =
        lw::testing::RunProgram(BinDir() / "varnel-collect", {"--site-dir", site.Dir(), "--site", kSite, "--db",
                                                              primaryDb, "--time-zone", "Asia/Tokyo", "--once"});
    ASSERT_EQ(run.status, 0) << run.output;
  };
  ASSERT_NO_FATAL_FAILURE(collect(0, 30));
  // varnel-web opens the standby once it holds the tables (its first
  // statement would fail there before, and no statement may fail below).
  ASSERT_TRUE(standby.WaitForReplay(primary, 10s, why)) << why;

  lw::testing::TempDir webDir("lw-web-standby");
  ChildProcess web(BinDir() / "varnel-web",
                   {"--site-dir", webDir.Path().string(), "--db", standbyDb, "--port", "0"});
  const std::string base = ServedAddress(web);
  ASSERT_FALSE(base.empty()) << web.Output();

  auto newestShown = [&] { return FleetEntry(base)["lastRecord"].toInteger(); };
  ASSERT_TRUE(Eventually([&] { return newestShown() == TimeOf(29); }, 5s)) << newestShown();
  ASSERT_NO_FATAL_FAILURE(ExpectPagesShow(base, 29));

  // More records, collected again: the standby's pages show the new newest
  // one as soon as it has replayed them.
  ASSERT_NO_FATAL_FAILURE(collect(30, 45));
  const auto collected = std::chrono::steady_clock::now();
  ASSERT_TRUE(Eventually([&] { return newestShown() == TimeOf(44); }, 5s)) << newestShown();
  std::cout << "the standby's pages showed the new newest record "
            << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - collected)
                   .count()
            << " ms after the collector's run ended\n";
  ASSERT_NO_FATAL_FAILURE(ExpectPagesShow(base, 44));

  // varnel-web's session is on the standby, none on the primary; and not
  // one of its statements failed there (the server logs every one that
  // does), on a server that refuses any write: none of them wrote, nor
  // tried to.
  const std::string sessions =
      "SELECT count(*) FROM pg_stat_activity WHERE datname = 'fleet' AND application_name = 'varnel-web'";
  EXPECT_NE(standby.Value(sessions), "0");
  EXPECT_EQ(primary.Value(sessions), "0");
  web.Signal(SIGTERM);
  ASSERT_EQ(web.WaitForExit(20s), 0) << web.Output();
  EXPECT_EQ(standby.Log().find("ERROR:"), std::string::npos) << standby.Log();
  try {
    fleet::testing::DatabaseExec(standbyDb, "DELETE FROM records");
    ADD_FAILURE() << "the standby took a write";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("read-only transaction"), std::string::npos) << e.what();
  }
  // And the log shows such a refusal, as it would have shown varnel-web's.
  EXPECT_NE(standby.Log().find("ERROR:  cannot execute DELETE in a read-only transaction"), std::string::npos)
      << standby.Log();
  EXPECT_EQ(fleet::testing::DatabaseRows(primaryDb, "SELECT count(*) FROM records")[0][0], "45");
}

}  // namespace
}  // namespace varnel::fleet::web
