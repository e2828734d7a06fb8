// Schema versions on both engines.  The databases of the release before
// versions (data/: made by that release's collector from site-v1.bdt) are
// upgraded in place by today's collector, every row kept, and collecting
// goes on from the stored position; a database of a later release is
// refused and left as it was.
#include <gtest/gtest.h>

#include <filesystem>

#include "collect_test_support.h"
#include "collector.h"
#include "condition.h"
#include "files.h"
#include "import.h"
#include "schema.h"

namespace varnel::fleet {
namespace {

namespace fs = std::filesystem;
using Rows = std::vector<std::vector<std::string>>;
using testing::DatabaseRows;
using testing::TestDataFile;

// site-v1.bdt (make_v1_site.py): site hill-7, records r = 0, 1, 2 at
// 2005-06-01 12:00 + r minutes in Tokyo, 03:00 UTC.
constexpr int64_t kFirstEpoch = 1117594800;
constexpr int kV1Records = 3;
constexpr int kV1Channels = 4;
// A record the site writes after the upgrade, in a month (July) that has no
// partition yet: 2005-07-01 12:00 in Tokyo.
constexpr int kJulyRecord = 30 * 1440;

class SchemaVersions : public ::testing::TestWithParam<std::string> {
 protected:
  bool Postgres() const { return GetParam() == "postgresql"; }
  // An empty database of this test's own.
  std::string Fresh(const std::string& name) {
    if (!Postgres()) return dir_.File(name + ".sqlite");
    lw::testing::PostgresServer* server = lw::testing::SharedPostgresServer();
    std::string why;
    const std::string db = server ? server->CreateDatabase(name, why) : "";
    if (db.empty()) ADD_FAILURE() << "no database " << name << ": " << why;
    return db;
  }
  // The release before versions' database, as it left it.
  std::string V1() {
    if (!Postgres()) {
      fs::copy_file(TestDataFile("records-v1.sqlite"), dir_ / "v1.sqlite");
      return dir_.File("v1.sqlite");
    }
    const std::string db = Fresh("v1");
    if (!db.empty()) testing::DatabaseExec(db, lw::testing::ReadFile(TestDataFile("records-v1.pg.sql")));
    return db;
  }
  std::string Epoch(const std::string& column) const {
    return Postgres() ? "extract(epoch from " + column + ")::bigint" : column;
  }
  Rows Versions(const std::string& db) const {
    return DatabaseRows(db, "SELECT version, description FROM schema_version ORDER BY version");
  }
  std::string UserVersion(const std::string& db) const {
    return Postgres() ? "-" : testing::SqliteValue(db, "PRAGMA user_version");
  }

  lw::testing::TempDir dir_{"lw-schema"};
};

// Every value of the v1 records, from make_v1_site.py's rules.
void ExpectV1Values(const Rows& records, const Rows& channels) {
  ASSERT_EQ(records.size(), std::size_t{kV1Records});
  ASSERT_EQ(channels.size(), std::size_t{kV1Records * kV1Channels});
  for (int r = 0; r < kV1Records; ++r) {
    const auto& row = records[static_cast<std::size_t>(r)];
    EXPECT_EQ(std::stoll(row[0]), kFirstEpoch + 60 * r);
    EXPECT_EQ(row[1], "4");
    for (int k = 0; k < 8; ++k) EXPECT_EQ(std::stod(row[2 + k]), 10 * r + k + 0.5) << "record " << r << " weather " << k;
    EXPECT_EQ(row[10], "") << "a binary record has no thresholds";
    EXPECT_EQ(row[11], "0");
    for (int c = 0; c < kV1Channels; ++c) {
      const auto& ch = channels[static_cast<std::size_t>(r * kV1Channels + c)];
      EXPECT_EQ(std::stoll(ch[0]), kFirstEpoch + 60 * r);
      EXPECT_EQ(ch[1], std::to_string(c + 1));
      for (int k = 0; k < 6; ++k) EXPECT_EQ(std::stod(ch[2 + k]), 100 * (c + 1) + 10 * r + k + 0.25);
      EXPECT_EQ(std::stod(ch[8]), c + 1 + r + 0.75) << "peak";
      for (int k = 1; k <= 8; ++k) EXPECT_EQ(std::stod(ch[8 + k]), 10 * k + c + r);
    }
  }
}

TEST_P(SchemaVersions, TheReleaseBeforeVersionsIsUpgradedInPlaceAndCollectingGoesOnFromItsPosition) {
  const std::string db = V1();
  ASSERT_FALSE(db.empty());
  ASSERT_EQ(UserVersion(db), Postgres() ? "-" : "0");
  auto engine = MakeDatabase(db);
  engine->Open();

  const Rows stamped{{"1", "sites, records, channel_records, snapshots and positions"},
                     {"2", "hourly and daily summaries"},
                     {"3", "daily indicators, insulators, maintenance and snapshot harmonics"}};
  EXPECT_EQ(Versions(db), stamped);
  EXPECT_EQ(UserVersion(db), Postgres() ? "-" : std::to_string(schema::kSchemaVersion));
  EXPECT_EQ(DatabaseRows(db, "SELECT site_id, name, time_zone FROM sites"), (Rows{{"1", "hill-7", "Asia/Tokyo"}}));
  ExpectV1Values(DatabaseRows(db, "SELECT " + Epoch("time") + ", channels, " + schema::Join(schema::kWeatherColumns) +
                                      ", threshold_1, CAST(forced_stop AS integer) FROM records ORDER BY time"),
                 DatabaseRows(db, "SELECT " + Epoch("time") + ", channel, " + schema::Join(schema::kChannelColumns) +
                                      " FROM channel_records ORDER BY time, channel"));
  // Peak counts 150 (c + 1); 150 counts through 330 ohm are 1.10973 mA.
  EXPECT_EQ(DatabaseRows(db, "SELECT " + Epoch("time") + ", name, kind, trigger_channel, trigger_peak_ma, channels, "
                             "peak_counts, peaks_ma, file_size, CAST(data IS NULL AS integer) FROM snapshots"),
            (Rows{{std::to_string(kFirstEpoch + 60), "ch2Peak3.25mA20050601-1201Wev.dat", "peak", "2", "3.25", "4",
                   Postgres() ? "{150,300,450,600}" : "[150,300,450,600]",
                   Postgres() ? "{1.1097301,2.2194602,3.3291903,4.4389205}" : "[1.10973,2.21946,3.32919,4.43892]",
                   "10052", "1"}}));
  EXPECT_EQ(DatabaseRows(db, "SELECT stream, path, byte_offset, header FROM positions"),
            (Rows{{"data", "/tmp/varnel-v1-site/site-v1.bdt", "3000", ""}}));
  // The summaries of the rows already there: channel 2's peak of records
  // 0..2 (2.75, 3.75, 4.75) in one hour and one day.
  for (const char* table : {"summary_hours", "summary_days"})
    EXPECT_EQ(DatabaseRows(db, std::string("SELECT n, min_value, ") + Epoch("min_time") + ", max_value, " +
                                   Epoch("max_time") + ", sum_value FROM " + table +
                                   " WHERE quantity = 'peak' AND channel = 2"),
              (Rows{{"3", "2.75", std::to_string(kFirstEpoch), "4.75", std::to_string(kFirstEpoch + 120), "11.25"}}))
        << table;
  EXPECT_EQ(DatabaseRows(db, "SELECT count(*) FROM summary_days"), (Rows{{std::to_string(4 * 15 + 8)}}));
  // Their daily indicators: channel 2's three records, none wet (humidity
  // 3.5, 13.5, 23.5 %); the first stands for no time (nothing before it),
  // the others for a minute each at their mean absolute currents 214.25
  // and 224.25 mA: 26310 mC.
  const Rows indicators = DatabaseRows(db, "SELECT n, wet_n, peak_max, wet_peak_max, charge_mc FROM daily_indicators "
                                           "WHERE channel = 2");
  ASSERT_EQ(indicators.size(), 1u);
  EXPECT_EQ(indicators[0][0] + " " + indicators[0][1] + " " + indicators[0][3], "3 0 ");
  EXPECT_EQ(std::stod(indicators[0][2]), 4.75);
  EXPECT_NEAR(std::stod(indicators[0][4]), 26310, 0.01);
  // The weather's: the smallest dew-point depression of 2.5, 12.5 and
  // 22.5 °C at those humidities, as the collector works it out.
  const Rows dew = DatabaseRows(db, "SELECT n, dew_depression_min FROM daily_indicators WHERE channel = 0");
  ASSERT_EQ(dew.size(), 1u);
  EXPECT_EQ(dew[0][0], "3");
  EXPECT_NEAR(std::stod(dew[0][1]),
              std::min({*DewPointDepression(2.5, 3.5), *DewPointDepression(12.5, 13.5), *DewPointDepression(22.5, 23.5)}),
              1e-3);

  // The site's file, grown by a July record, is followed from the byte
  // where the old collector stopped: only the new record is added.
  testing::SyntheticSite site(true, kV1Channels, "site-v1.bdt");
  fs::copy_file(TestDataFile("site-v1.bdt"), site.DataPath());
  site.AppendBacklog(kJulyRecord, kJulyRecord + 1);
  CollectorOptions options;
  options.siteName = "hill-7";
  options.siteDir = site.Dir();
  std::string said;
  Collector collector(*engine, *SiteZone::Named("Asia/Tokyo"), options);
  collector.log = [&](const std::string& m) { said += m + "\n"; };
  EXPECT_EQ(collector.Poll(SteadyTime{}).recordsAdded, 1u) << said;
  EXPECT_NE(said.find("from byte 3000, where the last run stopped"), std::string::npos) << said;
  // Imported once more: all four read, nothing added.
  const ImportSummary again = ImportFiles(*engine, 1, *SiteZone::Named("Asia/Tokyo"), {site.DataPath()},
                                          ImportOptions{.binaryChannels = kV1Channels}, [](auto&) {}, [](auto&) {});
  EXPECT_EQ(again.totals.recordsRead, 4u);
  EXPECT_EQ(again.totals.recordsAdded, 0u);

  EXPECT_EQ(DatabaseRows(db, "SELECT count(*) FROM channel_records"), (Rows{{"16"}}));
  // Wind speed of a synthetic record r is 125 r.
  const Rows newest = DatabaseRows(db, "SELECT " + Epoch("time") + ", wind_speed FROM records ORDER BY time DESC");
  ASSERT_EQ(newest.size(), 4u);
  EXPECT_EQ(newest[0][0], std::to_string(kFirstEpoch + 60 * kJulyRecord));
  EXPECT_EQ(std::stod(newest[0][1]), 125.0 * kJulyRecord);
  if (Postgres()) {
    EXPECT_EQ(DatabaseRows(db, "SELECT count(*) FROM records_2005_07"), (Rows{{"1"}})) << "July's partition";
  }
  EXPECT_EQ(Versions(db), stamped) << "opened again, nothing to do";
  EXPECT_EQ(testing::SummaryMismatches(db), "");
}

TEST_P(SchemaVersions, ADatabaseOfALaterReleaseIsRefusedAndLeftAsItWas) {
  const std::string db = Fresh("later");
  ASSERT_FALSE(db.empty());
  auto engine = MakeDatabase(db);
  engine->Open();  // an empty database: made at this release's version
  ASSERT_EQ(Versions(db).size(), static_cast<std::size_t>(schema::kSchemaVersion));
  engine->Close();
  const int later = schema::kSchemaVersion + 1;
  testing::StampSchemaVersion(db, later);
  const Rows before = Versions(db);

  try {
    engine->Open();
    ADD_FAILURE() << "a database of version " << later << " was opened";
  } catch (const SchemaVersionError& e) {
    EXPECT_TRUE(e.DatabaseIsNewer());
    EXPECT_EQ(std::string(e.what()), engine->Describe() + ": the database has schema version " + std::to_string(later) +
                                         "; this varnel-collect knows up to " +
                                         std::to_string(schema::kSchemaVersion) + ": upgrade varnel-collect");
  }
  EXPECT_FALSE(engine->IsOpen());
  EXPECT_EQ(Versions(db), before);
  EXPECT_EQ(UserVersion(db), Postgres() ? "-" : std::to_string(later));

  // The collector says so and keeps the records in the site's files.
  testing::SyntheticSite site(true, 4);
  site.AppendBacklog(0, 2);
  CollectorOptions options;
  options.siteName = "hill-8";
  options.siteDir = site.Dir();
  Collector collector(*engine, *SiteZone::Named("Asia/Tokyo"), options);
  std::string said;
  collector.log = [&](const std::string& m) { said += m + "\n"; };
  EXPECT_TRUE(collector.Poll(SteadyTime{}).databaseDown);
  EXPECT_NE(said.find("upgrade varnel-collect; the records wait in the site's files"), std::string::npos) << said;
  EXPECT_EQ(DatabaseRows(db, "SELECT count(*) FROM sites"), (Rows{{"0"}}));
}

INSTANTIATE_TEST_SUITE_P(Engines, SchemaVersions, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
}  // namespace varnel::fleet
