// A running site collected into PostgreSQL: the whole system (card and
// weather stand-ins, Varnel) stores text records, and varnel-collect beside
// it writes each of them into a server that the test starts itself.  The
// rows hold exactly what the data file holds, at the instant of the site's
// local time, and the snapshots are registered.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "postgres_server.h"
#include "site.h"
#include "system_expectations.h"

namespace e2e {
namespace {

constexpr size_t kRecordsWanted = 2;

float AsSingle(const std::string& text) { return static_cast<float>(std::strtod(text.c_str(), nullptr)); }

TEST(CollectSite, RecordsOfARunningSiteAppearInPostgresExactlyAsTheFileHoldsThem) {
  lw::testing::PostgresServer server;
  std::string why;
  ASSERT_TRUE(server.Setup(why)) << why;
  Site site("collect");
  ASSERT_TRUE(site.Prepare(SystemRunSettings(false), why)) << why;
  ASSERT_TRUE(site.StartCard(why)) << why;
  ASSERT_TRUE(site.StartWeather(FixedStationArgs(), why)) << why;
  ChildProcess& varnel = site.StartVarnel();
  // The machine's time zone is the site's: no --time-zone.
  ChildProcess collector(lw::testing::BinDir() / "varnel-collect",
                         {"--site-dir", site.Path().string(), "--site", "live", "--db", server.ConnectionString(),
                          "--interval", "500"});

  const std::string count = "SELECT count(*) FROM records JOIN sites USING (site_id) WHERE name = 'live'";
  ASSERT_TRUE(PollUntil(
      [&] {
        const std::string n = server.Value(count);
        return StoredRecords(site) >= kRecordsWanted && !n.empty() && std::stoul(n) >= kRecordsWanted;
      },
      5min))
      << "Varnel:\n" << varnel.Output() << "\ncollector:\n" << collector.Output();

  const DataLines lines = ReadTextDataFile(site.DataPath());
  ASSERT_GE(lines.records.size(), kRecordsWanted);
  for (size_t i = 0; i < kRecordsWanted; ++i) {
    const std::vector<std::string>& rec = lines.records[i];
    ASSERT_EQ(rec.size(), 249u);
    SCOPED_TRACE("record " + rec[0]);
    // The record's local time text, as the site's zone gives the instant back.
    const std::string where = " FROM records r JOIN sites s USING (site_id) WHERE s.name = 'live' AND "
                              "to_char(r.time AT TIME ZONE s.time_zone, 'YYYY/MM/DD HH24:MI:SS') = '" + rec[0] + "'";
    const auto row = server.Query("SELECT channels, wind_speed, wind_direction, outside_temperature, "
                                  "outside_humidity, inside_temperature, inside_humidity, rain, max_wind_speed, "
                                  "threshold_1, threshold_4, r.time" + where);
    ASSERT_TRUE(row && row->size() == 1) << "no row for the record";
    const std::vector<std::string>& r = row->front();
    EXPECT_EQ(r[0], "16");
    for (int k = 0; k < 8; ++k) EXPECT_EQ(AsSingle(r[1 + k]), AsSingle(rec[1 + k])) << "weather " << k;
    EXPECT_EQ(r[9], "0.5");
    EXPECT_EQ(r[10], "5");
    const auto channels = server.Query(
        "SELECT fhc, f1c, flc, dcc, allc, rms, peak, time_pct_1, time_pct_2, time_pct_3, time_pct_4, "
        "half_cycle_pct_1, half_cycle_pct_2, half_cycle_pct_3, half_cycle_pct_4 FROM channel_records c "
        "JOIN sites s USING (site_id) WHERE s.name = 'live' AND c.time = '" + r[11] + "' ORDER BY channel");
    ASSERT_TRUE(channels && channels->size() == 16);
    for (size_t ch = 0; ch < 16; ++ch) {
      for (size_t k = 0; k < 6; ++k)
        EXPECT_EQ(AsSingle((*channels)[ch][k]), AsSingle(rec[9 + 6 * ch + k])) << "channel " << ch + 1;
      for (size_t k = 0; k < 9; ++k)
        EXPECT_EQ(AsSingle((*channels)[ch][6 + k]), AsSingle(rec[9 + 96 + 9 * ch + k])) << "channel " << ch + 1;
    }
  }

  // Scheduled snapshots every minute: registered with 16 channels' peaks.
  ASSERT_TRUE(PollUntil(
      [&] {
        return server.Value("SELECT count(*) FROM snapshots WHERE kind = 'scheduled' AND channels = 16 AND "
                            "array_length(peak_counts, 1) = 16") != "0";
      },
      1min))
      << collector.Output();
  EXPECT_EQ(collector.Output().find("skipped"), std::string::npos) << collector.Output();
}

}  // namespace
}  // namespace e2e
