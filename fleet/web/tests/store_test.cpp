// The reader of both engines against rows the test writes through the
// collector's engines: the reduction keeps every bucket's extremes at their
// times, and the episodes of staged alarms begin and end where the
// hand-made profiles say; a database of another schema version is not
// opened.  Run on SQLite and on a PostgreSQL server of the test's own,
// whose SQL differs.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <filesystem>
#include <QDateTime>
#include <QTimeZone>
#include <algorithm>
#include <map>
#include <tuple>

#include "alarms.h"
#include "collect_test_support.h"
#include "files.h"
#include "schema.h"
#include "site_zone.h"
#include "store.h"
#include "web_test_support.h"

namespace varnel::fleet::web {
namespace {

using namespace testing;

// A single as both engines give it back: the double of its shortest text.
double Stored(float v) {
  char buf[32];
  const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  double d = 0;
  std::from_chars(buf, end, d);
  return d;
}

class StoreTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "postgresql") {
      ASSERT_NE(lw::testing::SharedPostgresServer(), nullptr);
      spec_ = lw::testing::SharedPostgresServer()->ConnectionString();
    } else {
      dir_ = std::make_unique<lw::testing::TempDir>("lw-web");
      spec_ = dir_->File("records.sqlite");
    }
    writer_ = std::make_unique<TestDb>(spec_);
    store_ = MakeFleetStore(spec_);
    store_->Open();
  }
  // Site names are unique within the shared server.
  std::string Name(const std::string& base) const {
    return base + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  SiteRow SiteOf(const std::string& name) {
    for (const SiteRow& s : store_->Sites())
      if (s.name == name) return s;
    ADD_FAILURE() << "no site " << name;
    return {};
  }

  std::unique_ptr<lw::testing::TempDir> dir_;
  std::string spec_;
  std::unique_ptr<TestDb> writer_;
  std::unique_ptr<FleetStore> store_;
};

// Smallest and largest of each bucket, earliest time on ties, worked out
// here from the values the test wrote.
std::map<int64_t, Extremes> ExpectedBuckets(const std::vector<std::pair<int64_t, float>>& series, TimeRange range,
                                            int buckets) {
  std::map<int64_t, Extremes> out;
  for (const auto& [t, v] : series) {
    const int64_t k = (t - range.from) * buckets / (range.to - range.from);
    Extremes& e = out[k];
    const double d = Stored(v);
    if (!e.min || d < e.min->value) e.min = TimedValue{t, d};
    if (!e.max || d > e.max->value) e.max = TimedValue{t, d};
  }
  return out;
}

TEST_P(StoreTest, ReductionKeepsEveryBucketsSmallestAndLargestRecordAtItsTimeSoNoSpikeIsLost) {
  constexpr int kRecords = 3 * 1440;
  constexpr int kSpike = 2000, kDip = 3001;
  const std::string name = Name("reduce");
  const int64_t site = writer_->Site(name);
  std::vector<StoredRecord> records;
  std::vector<std::pair<int64_t, float>> peak1, dcc1, peak2, temperature;
  for (int m = 0; m < kRecords; ++m) {
    const int64_t t = kBase + m * kMinute;
    StoredRecord r = Record(t);
    // A slow swing, one spike of a single record, a dip of DC below zero.
    const float p1 = m == kSpike ? 9.5f : 1.0f + 0.5f * static_cast<float>(std::sin(m / 37.0));
    const float d1 = m == kDip ? -3.0f : 0.1f * static_cast<float>(m % 7);
    // Channel 2: a level with ties, so the earliest of equal values counts.
    const float p2 = (m == 10 || m == 20) ? 5.0f : 2.0f;
    const float temp = 20.0f + static_cast<float>(m % 13) - 6.0f;
    SetPeak(r, 1, p1);
    SetChannel(r, 1, 3, d1);
    SetPeak(r, 2, p2);
    SetWeather(r, 2, temp);
    peak1.emplace_back(t, p1);
    dcc1.emplace_back(t, d1);
    peak2.emplace_back(t, p2);
    temperature.emplace_back(t, temp);
    records.push_back(r);
  }
  writer_->Add(site, records);

  const TimeRange range{kBase, kBase + kRecords * kMinute};
  constexpr int kBuckets = 50;
  const auto reduced = store_->Reduce(site, 1, {FindChannelQuantity("peak"), FindChannelQuantity("dcc")}, range, kBuckets);
  const auto wantPeak = ExpectedBuckets(peak1, range, kBuckets);
  const auto wantDcc = ExpectedBuckets(dcc1, range, kBuckets);
  ASSERT_EQ(reduced.size(), static_cast<std::size_t>(kBuckets));
  for (const ReducedBucket& b : reduced) {
    SCOPED_TRACE("bucket " + std::to_string(b.index));
    ASSERT_EQ(b.values.size(), 2u);
    EXPECT_EQ(b.values[0].min, wantPeak.at(b.index).min);
    EXPECT_EQ(b.values[0].max, wantPeak.at(b.index).max);
    EXPECT_EQ(b.values[1].min, wantDcc.at(b.index).min);
    EXPECT_EQ(b.values[1].max, wantDcc.at(b.index).max);
  }
  // The spike and the dip, each a single record among 86 per bucket.
  const int64_t spikeBucket = (kSpike * kMinute) * kBuckets / (range.to - range.from);
  EXPECT_EQ(reduced[static_cast<std::size_t>(spikeBucket)].values[0].max, (TimedValue{kBase + kSpike * kMinute, 9.5}));
  const int64_t dipBucket = (kDip * kMinute) * kBuckets / (range.to - range.from);
  EXPECT_EQ(reduced[static_cast<std::size_t>(dipBucket)].values[1].min, (TimedValue{kBase + kDip * kMinute, -3.0}));

  // Ties: the earliest record of the value.
  const auto ties = store_->Reduce(site, 2, {FindChannelQuantity("peak")}, range, kBuckets);
  ASSERT_EQ(ties.size(), static_cast<std::size_t>(kBuckets));
  EXPECT_EQ(ties[0].values[0].max, (TimedValue{kBase + 10 * kMinute, 5.0}));
  EXPECT_EQ(ties[0].values[0].min, (TimedValue{kBase, 2.0}));
  const int64_t secondBucket = BucketStart(1, range, kBuckets);
  EXPECT_EQ(ties[1].values[0].min->time, kBase + (secondBucket - kBase + kMinute - 1) / kMinute * kMinute);

  // The weather, from `records`.
  const auto weather = store_->Reduce(site, 0, {FindWeatherQuantity("outside_temperature")}, range, 7);
  const auto wantTemp = ExpectedBuckets(temperature, range, 7);
  ASSERT_EQ(weather.size(), 7u);
  for (const ReducedBucket& b : weather) {
    EXPECT_EQ(b.values[0].min, wantTemp.at(b.index).min) << b.index;
    EXPECT_EQ(b.values[0].max, wantTemp.at(b.index).max) << b.index;
  }

  // Every channel together (the fleet page's line): the spike is there.
  const auto any = store_->Reduce(site, -1, {FindChannelQuantity("peak")}, range, kBuckets);
  ASSERT_EQ(any.size(), static_cast<std::size_t>(kBuckets));
  EXPECT_EQ(any[static_cast<std::size_t>(spikeBucket)].values[0].max, (TimedValue{kBase + kSpike * kMinute, 9.5}));
  EXPECT_EQ(any[0].values[0].max, (TimedValue{kBase + 10 * kMinute, 5.0}));

  // More buckets than records: each record is its own bucket, nothing lost.
  const TimeRange hour{kBase, kBase + 60 * kMinute};
  const auto raw = store_->Reduce(site, 1, {FindChannelQuantity("peak")}, hour, 5000);
  ASSERT_EQ(raw.size(), 60u);
  for (int m = 0; m < 60; ++m) EXPECT_EQ(raw[static_cast<std::size_t>(m)].values[0].max->value, Stored(peak1[static_cast<std::size_t>(m)].second));
  // A range without records gives no bucket.
  EXPECT_TRUE(store_->Reduce(site, 1, {FindChannelQuantity("peak")}, {kBase - 7200, kBase}, 10).empty());
}

TEST_P(StoreTest, LatestRecordChannelMaximaRecordsAboveALevelAndSnapshotsAsStored) {
  const std::string name = Name("rows");
  const int64_t site = writer_->Site(name);
  std::vector<StoredRecord> records;
  for (int m = 0; m < 10; ++m) {
    StoredRecord r = Record(kBase + m * kMinute, 8);
    for (int ch = 1; ch <= 8; ++ch) SetPeak(r, ch, static_cast<float>(ch) + 0.25f * static_cast<float>(m % 4));
    for (int k = 0; k < 8; ++k) SetWeather(r, k, static_cast<float>(k) * 1.5f + static_cast<float>(m));
    if (m == 9) r.record.thresholds = Thresholds{0.5f, 1, 2, 5};
    records.push_back(r);
  }
  writer_->Add(site, records);
  const SiteRow row = SiteOf(name);
  EXPECT_EQ(row.timeZone, "Asia/Tokyo");

  const auto latest = store_->Latest(site);
  ASSERT_TRUE(latest);
  EXPECT_EQ(latest->time, kBase + 9 * kMinute);
  EXPECT_EQ(latest->channels, 8);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(latest->weather[static_cast<std::size_t>(k)], k * 1.5 + 9) << k;
  EXPECT_EQ(latest->thresholds[0], 0.5);
  EXPECT_EQ(latest->thresholds[3], 5.0);

  // Peaks m % 4 = 3 at minutes 3 and 7: the earliest counts.
  const auto maxima = store_->ChannelMaxima(site, *FindChannelQuantity("peak"), {kBase, kBase + 10 * kMinute});
  ASSERT_EQ(maxima.size(), 8u);
  for (int ch = 1; ch <= 8; ++ch) {
    EXPECT_EQ(maxima[static_cast<std::size_t>(ch - 1)].channel, ch);
    EXPECT_EQ(maxima[static_cast<std::size_t>(ch - 1)].max, (TimedValue{kBase + 3 * kMinute, ch + 0.75}));
  }
  // A window that leaves minute 3 out finds minute 7.
  const auto later = store_->ChannelMaxima(site, *FindChannelQuantity("peak"), {kBase + 4 * kMinute, kBase + 10 * kMinute});
  EXPECT_EQ(later.at(2).max, (TimedValue{kBase + 7 * kMinute, 3.75}));

  const auto above = store_->AtOrAbove(site, 4, *FindChannelQuantity("peak"), 4.5, {kBase, kBase + 10 * kMinute}, 100);
  const std::vector<TimedValue> wantAbove{{kBase + 2 * kMinute, 4.5}, {kBase + 3 * kMinute, 4.75},
                                          {kBase + 6 * kMinute, 4.5}, {kBase + 7 * kMinute, 4.75}};
  EXPECT_EQ(above, wantAbove);
  EXPECT_EQ(store_->AtOrAbove(site, 4, *FindChannelQuantity("peak"), 4.5, {kBase, kBase + 10 * kMinute}, 3).size(), 3u);
  EXPECT_EQ(store_->NextRecordTime(site, 4, kBase + 3 * kMinute), kBase + 4 * kMinute);
  EXPECT_EQ(store_->NextRecordTime(site, 4, kBase + 9 * kMinute), std::nullopt);
  // Many at once, in the order asked, between records and after the last.
  const std::vector<std::optional<int64_t>> wantNext{kBase + 8 * kMinute, std::nullopt, kBase,
                                                     kBase + 4 * kMinute, kBase + 4 * kMinute};
  EXPECT_EQ(store_->NextRecordTimes(site, 4, {kBase + 7 * kMinute + 30, kBase + 9 * kMinute, kBase - 1,
                                              kBase + 3 * kMinute, kBase + 3 * kMinute}),
            wantNext);
  EXPECT_TRUE(store_->NextRecordTimes(site, 4, {}).empty());

  StoredSnapshot snap;
  snap.name = "ch3Peak12.34mA20050601-1205Wev.dat";
  snap.parsed.kind = SnapshotKind::kPeak;
  snap.parsed.triggerChannel = 3;
  snap.parsed.triggerPeakMa = 12.34;
  snap.time = {kBase + 5 * kMinute, kTokyoOffset};
  snap.channels = 4;
  snap.peakCounts = {10, 20, 1659, 0};
  snap.peaksMa = {0.074, 0.148, 12.27, 0};
  snap.fileSize = 10052;
  snap.bytes = std::string("\x01\x02\x00\xff", 4);
  writer_->AddSnapshot(site, snap);
  const auto list = store_->Snapshots(site, {kBase, kBase + 10 * kMinute}, 10);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, snap.name);
  EXPECT_EQ(list[0].kind, "peak");
  EXPECT_EQ(list[0].triggerChannel, 3);
  EXPECT_NEAR(*list[0].triggerPeakMa, 12.34, 1e-5);
  EXPECT_EQ(list[0].peakCounts, snap.peakCounts);
  ASSERT_EQ(list[0].peaksMa.size(), 4u);
  EXPECT_NEAR(list[0].peaksMa[2], 12.27, 1e-5);
  EXPECT_TRUE(list[0].hasData);
  EXPECT_EQ(store_->SnapshotData(site, snap.time.epochSeconds, snap.name), snap.bytes);
  EXPECT_EQ(store_->SnapshotData(site, snap.time.epochSeconds, "other"), std::nullopt);
  EXPECT_TRUE(store_->Snapshots(site, {kBase + 6 * kMinute, kBase + 10 * kMinute}, 10).empty());
}

// Caution at 2 mA, warning at 5, danger at 10, hold 10 minutes.
AlarmSettings PeakStages() {
  AlarmSettings a;
  AlarmRule rule;
  rule.name = "peak current";
  rule.quantity = FindChannelQuantity("peak");
  rule.channels = {1, 2};
  rule.levels = {2.0, 5.0, 10.0};
  rule.holdSeconds = 10 * kMinute;
  a.rules.push_back(rule);
  return a;
}

TEST_P(StoreTest, StagedEpisodesBeginAndEndAtTheRecordsAndADipShorterThanTheHoldDoesNotEndOne) {
  const std::string name = Name("stages");
  const int64_t site = writer_->Site(name);
  std::vector<StoredRecord> records;
  auto peakAt = [](int m) -> float {
    if (m >= 100 && m <= 104) return 3;    // caution
    if (m == 105) return 6;                // warning, one record
    if (m >= 106 && m <= 110) return 3;    // caution again
    if (m == 150 || m == 155) return 2.5;  // a dip of 4 records between: one episode
    if (m >= 170 && m <= 171) return 2;    // exactly at the level counts
    if (m == 200) return 2.5;              // 11 minutes later: a new episode
    if (m >= 290) return 12;               // danger, still open at the newest record
    return 1;
  };
  for (int m = 0; m < 300; ++m) {
    StoredRecord r = Record(kBase + m * kMinute);
    SetPeak(r, 1, peakAt(m));
    SetPeak(r, 2, 0.5f);
    records.push_back(r);
  }
  writer_->Add(site, records);
  const SiteRow row = SiteOf(name);
  const AlarmSettings alarms = PeakStages();
  const int64_t latest = kBase + 299 * kMinute;
  auto at = [](int m) { return kBase + m * kMinute; };

  const auto episodes = SiteEpisodes(*store_, alarms, row, {kBase, latest + 1}, latest);
  struct Want {
    int stage;
    int began;
    std::optional<int> ended;
    float largest;
  };
  // Caution: 100..110 ends at 111; 150..155 (the dip lies within the hold)
  // ends at 156; 170..171 ends at 172; 200, 29 minutes later, is an episode
  // of its own and ends at 201; 290.. is open.  Warning: 105 ends at 106.
  const std::vector<Want> want{{0, 100, 111, 6},   {1, 105, 106, 6},  {0, 150, 156, 2.5}, {0, 170, 172, 2},
                               {0, 200, 201, 2.5}, {0, 290, {}, 12}, {1, 290, {}, 12},   {2, 290, {}, 12}};
  ASSERT_EQ(episodes.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE("episode " + std::to_string(i));
    EXPECT_EQ(episodes[i].channel, 1);
    EXPECT_EQ(episodes[i].stage, want[i].stage);
    EXPECT_EQ(episodes[i].began, at(want[i].began));
    EXPECT_EQ(episodes[i].ended, want[i].ended ? std::optional(at(*want[i].ended)) : std::nullopt);
    EXPECT_EQ(episodes[i].largest.value, want[i].largest);
  }
  EXPECT_EQ(episodes[0].largest.time, at(105));

  // A range that starts inside nothing and ends inside the first episode:
  // the episode is followed past the range's end to its true end.
  const auto cut = SiteEpisodes(*store_, alarms, row, {at(90), at(103)}, latest);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0].ended, at(111));
  EXPECT_EQ(cut[0].largest.value, 6);

  // Now: danger on channel 1, nothing on channel 2.
  const auto now = CurrentStages(*store_, alarms, row, latest);
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0].channel, 1);
  EXPECT_EQ(now[0].stage, 2);
  EXPECT_EQ(now[0].value, (TimedValue{at(290), 12}));
  // At minute 210 the last caution record (200) lies within the hold: still
  // caution; at 211 it has ended.
  EXPECT_EQ(CurrentStages(*store_, alarms, row, at(210)).at(0).stage, 0);
  EXPECT_TRUE(CurrentStages(*store_, alarms, row, at(211)).empty());
}

TEST_P(StoreTest, OnlyADatabaseOfThisReleasesSchemaVersionIsOpened) {
  // The collector's database of the release before schema versions.
  std::string db;
  if (GetParam() == "postgresql") {
    std::string why;
    db = lw::testing::SharedPostgresServer()->CreateDatabase("v1", why);
    ASSERT_FALSE(db.empty()) << why;
    fleet::testing::DatabaseExec(db, lw::testing::ReadFile(fleet::testing::TestDataFile("records-v1.pg.sql")));
  } else {
    db = dir_->File("v1.sqlite");
    std::filesystem::copy_file(fleet::testing::TestDataFile("records-v1.sqlite"), db);
  }
  auto store = MakeFleetStore(db);
  auto open = [&]() -> std::string {
    try {
      store->Open();
      return "opened";
    } catch (const SchemaVersionError& e) {
      EXPECT_FALSE(store->IsOpen());
      return std::string(e.DatabaseIsNewer() ? "newer: " : "older: ") + e.what();
    }
  };
  const std::string where = store->Describe() + ": the database has schema version ";
  const std::string current = std::to_string(schema::kSchemaVersion);
  EXPECT_EQ(open(), "older: " + where + "0 (it was made before schema versions); this varnel-web reads version " +
                        current + ": run the new varnel-collect once to upgrade it");
  MakeDatabase(db)->Open();  // the new collector's first start
  ASSERT_EQ(open(), "opened");
  EXPECT_EQ(store->Sites().size(), 1u);
  store->Close();
  fleet::testing::StampSchemaVersion(db, schema::kSchemaVersion + 1);
  EXPECT_EQ(open(), "newer: " + where + std::to_string(schema::kSchemaVersion + 1) + "; this varnel-web knows up to " +
                        current + ": upgrade varnel-web");
}

// The daily indicators as both engines merge them over commits, with the
// register, the maintenance log and the snapshots' harmonics as stored.
TEST_P(StoreTest, DailyIndicatorsRegisterMaintenanceAndHarmonicsAsTheCollectorStoredThem) {
  const std::string name = Name("condition");
  const int64_t site = writer_->Site(name);
  // Minutes 0..5 and 15 of 2005-06-01 (Tokyo), in two commits; even
  // minutes wet (90 %), odd ones dry (80 %), all at 20 °C.  Channel 1's
  // peak 1 + m / 2 mA, its mean absolute current 0.5 mA.
  auto record = [](int m) {
    StoredRecord r = Record(kBase + m * kMinute, 4);
    SetPeak(r, 1, 1.0f + 0.5f * static_cast<float>(m));
    SetChannel(r, 1, 4, 0.5f);
    SetWeather(r, 2, 20.0f);
    SetWeather(r, 3, m % 2 == 0 ? 90.0f : 80.0f);
    return r;
  };
  writer_->Add(site, {record(0), record(1), record(2)});
  writer_->Add(site, {record(3), record(4), record(5), record(15)});
  writer_->Add(site, {record(4)});  // stored before: counts nothing again

  const int64_t day = QDate(2005, 6, 1).toJulianDay() - 2440588;
  const auto rows = store_->DailyIndicators(site, day, day + 1);
  ASSERT_EQ(rows.size(), 5u);  // the weather and four channels
  const DailyIndicatorRow& weather = rows[0];
  EXPECT_EQ(weather.channel, 0);
  EXPECT_EQ(weather.day, day);
  EXPECT_EQ(weather.n, 7);
  EXPECT_EQ(weather.wetN, 3);
  // 20 °C at 90 %: the dew point is 18.3 °C (psychrometric tables).
  ASSERT_TRUE(weather.dewDepressionMin);
  EXPECT_NEAR(*weather.dewDepressionMin, 1.7, 0.05);
  const DailyIndicatorRow& ch1 = rows[1];
  EXPECT_EQ(ch1.channel, 1);
  EXPECT_EQ(ch1.n, 7);
  EXPECT_EQ(ch1.wetN, 3);
  EXPECT_EQ(ch1.peakMax, 8.5);     // minute 15, dry
  EXPECT_EQ(ch1.wetPeakMax, 3.0);  // minute 4, the last wet one
  EXPECT_EQ(ch1.wetPeakTime, kBase + 4 * kMinute);
  // Seven records of a minute each (the one after the gap counts one save
  // interval, not ten minutes) at 0.5 mA: 210 mC.
  EXPECT_NEAR(ch1.chargeMc, 210, 1e-6);
  EXPECT_EQ(rows[2].peakMax, 0.0);
  EXPECT_TRUE(store_->DailyIndicators(site, day + 1, day + 5).empty());

  auto db = MakeDatabase(spec_);
  db->Open();
  Batch batch;
  batch.insulators = std::vector<InsulatorEntry>{{2, "Line 2, phase T", "porcelain", 150.0}, {5, "spare", "", {}}};
  db->Commit(site, batch);
  const auto insulators = store_->Insulators();
  const auto mine = std::count_if(insulators.begin(), insulators.end(), [&](auto& r) { return r.site == site; });
  EXPECT_EQ(mine, 2);
  for (const InsulatorRow& r : insulators) {
    if (r.site != site) continue;
    if (r.channel == 2) {
      EXPECT_EQ(r.name, "Line 2, phase T");
      EXPECT_EQ(r.type, "porcelain");
      EXPECT_EQ(r.criticalPeakMa, 150.0);
    } else {
      EXPECT_EQ(r.channel, 5);
      EXPECT_FALSE(r.criticalPeakMa);
    }
  }

  const SiteZone zone = *SiteZone::Named("Asia/Tokyo");
  EXPECT_TRUE(db->AddEvent(site, {2, zone.At(kBase + 3600), MaintenanceKind::kWashing, "washed <by> crew 3"}));
  EXPECT_FALSE(db->AddEvent(site, {2, zone.At(kBase + 3600), MaintenanceKind::kWashing, "again"}));
  EXPECT_TRUE(db->AddEvent(site, {0, zone.At(kBase + 60), MaintenanceKind::kInspection, ""}));
  const auto events = store_->Maintenance(site);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].channel, 0);
  EXPECT_EQ(events[0].time, kBase + 60);
  EXPECT_EQ(events[0].kind, "inspection");
  EXPECT_EQ(events[1].channel, 2);
  EXPECT_EQ(events[1].kind, "washing");
  EXPECT_EQ(events[1].note, "washed <by> crew 3");

  StoredSnapshot snap;
  snap.name = "20050601-1230Wev.dat";
  snap.time = zone.At(kBase + 30 * kMinute);
  snap.channels = 1;
  snap.peakCounts = {10};
  snap.peaksMa = {0.07};
  snap.harmonicsMa = {2.0, 0.5, 0.25, 0.125};
  writer_->AddSnapshot(site, snap);
  snap.name = "ch1Peak9.00mA20050601-1231Wev.dat";
  snap.parsed.kind = SnapshotKind::kPeak;
  writer_->AddSnapshot(site, snap);
  const auto scheduled = store_->ScheduledSnapshots(site, {kBase, kBase + 3600});
  ASSERT_EQ(scheduled.size(), 1u);
  EXPECT_EQ(scheduled[0].harmonicsMa, (std::vector<double>{2.0, 0.5, 0.25, 0.125}));
}

// The bucket of each record when a range is read from summaries of
// `level`, as defined for people reading the charts: runs of whole UTC
// hours or whole local days, the range's uneven ends in the first and the
// last bucket.
int64_t SummaryBucketOf(int64_t t, Level level, TimeRange range, int buckets, const QTimeZone& zone) {
  auto dayStart = [&](QDate d) { return QDateTime(d, QTime(0, 0), zone).toSecsSinceEpoch(); };
  auto dayOf = [&](int64_t s) { return QDateTime::fromSecsSinceEpoch(s, zone).date(); };
  int64_t start = 0, end = 0, first = 0, last = 0, period = 0;
  if (level == Level::kHours) {
    first = (range.from + 3599) / 3600;
    last = range.to / 3600;
    start = first * 3600;
    end = last * 3600;
    period = t / 3600;
  } else {
    QDate d0 = dayOf(range.from), d1 = dayOf(range.to);
    if (dayStart(d0) < range.from) d0 = d0.addDays(1);
    start = dayStart(d0);
    end = dayStart(d1);
    first = d0.toJulianDay();
    last = d1.toJulianDay();
    period = dayOf(t).toJulianDay();
  }
  if (t < start) return 0;
  if (t >= end) return buckets - 1;
  return (period - first) * buckets / (last - first);
}

TEST_P(StoreTest, SummariesGiveTheSameExtremesAtTheSameTimesAsTheRecordsForAMonthAndForYears) {
  // Six weeks of a site in Berlin across the clocks going back (a day of 25
  // hours), a record every two minutes at :30 s; values in steps of 0.5 so
  // that ties are many; one spike of a single record.
  const QTimeZone zone("Europe/Berlin");
  const auto siteZone = SiteZone::Named("Europe/Berlin");
  ASSERT_TRUE(siteZone);
  const std::string name = Name("levels");
  const int64_t site = writer_->Site(name, "Europe/Berlin");
  const int64_t first = QDateTime(QDate(2005, 10, 10), QTime(0, 0, 30), zone).toSecsSinceEpoch();
  constexpr int kRecords = 42 * 720;
  constexpr int kSpike = 17 * 720 + 5;
  std::vector<StoredRecord> records;
  std::vector<std::pair<int64_t, float>> peak1, peak2, rms2, anyPeak, temperature;
  uint32_t noise = 7;
  auto step = [&](int steps) {
    noise = noise * 1664525u + 1013904223u;
    return static_cast<float>((noise >> 24) % static_cast<uint32_t>(steps)) * 0.5f;
  };
  for (int i = 0; i < kRecords; ++i) {
    const int64_t t = first + 120 * i;
    StoredRecord r;
    r.record.channels = 2;
    r.time = siteZone->At(t);
    const float p1 = i == kSpike ? 9.5f : step(8), p2 = step(6), temp = 5.0f + step(20), q2 = 0.1f * step(10);
    SetPeak(r, 1, p1);
    SetPeak(r, 2, p2);
    SetChannel(r, 2, 5, q2);  // its RMS
    SetWeather(r, 2, temp);
    peak1.emplace_back(t, p1);
    peak2.emplace_back(t, p2);
    rms2.emplace_back(t, q2);
    anyPeak.emplace_back(t, p1);
    anyPeak.emplace_back(t, p2);
    temperature.emplace_back(t, temp);
    records.push_back(r);
  }
  writer_->Add(site, records);
  const int64_t last = first + 120 * kRecords;

  struct Case {
    const char* what;
    TimeRange range;
    int buckets;
    Level level;
  };
  const Case cases[] = {
      {"a day", {first + 86400 * 20 + 77, first + 86400 * 21 + 77}, 600, Level::kRecords},
      {"a month", {first + 86400 * 5 + 1234, first + 86400 * 35 + 1234}, 600, Level::kHours},
      {"six weeks in 30 points", {first + 4321, last}, 30, Level::kDays},
      {"the whole in 7 points", {first - 50000, last + 50000}, 7, Level::kDays},
  };
  const Quantity* peak = FindChannelQuantity("peak");
  const Quantity* temp = FindWeatherQuantity("outside_temperature");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(LevelFor(c.range, c.buckets), c.level);
    auto expect = [&](const std::vector<ReducedBucket>& got, const std::vector<std::pair<int64_t, float>>& series,
                      std::size_t quantity = 0) {
      std::map<int64_t, Extremes> want;
      for (const auto& [t, v] : series) {
        if (t < c.range.from || t >= c.range.to) continue;
        const int64_t k = c.level == Level::kRecords ? BucketOf(t, c.range, c.buckets)
                                                     : SummaryBucketOf(t, c.level, c.range, c.buckets, zone);
        Extremes& e = want[k];
        if (!e.min || Stored(v) < e.min->value) e.min = TimedValue{t, Stored(v)};
        if (!e.max || Stored(v) > e.max->value) e.max = TimedValue{t, Stored(v)};
      }
      ASSERT_EQ(got.size(), want.size());
      for (const ReducedBucket& b : got) {
        SCOPED_TRACE("bucket " + std::to_string(b.index));
        ASSERT_TRUE(want.count(b.index));
        EXPECT_EQ(b.values[quantity].min, want[b.index].min);
        EXPECT_EQ(b.values[quantity].max, want[b.index].max);
      }
    };
    for (const auto& [channel, quantity, series] :
         {std::tuple{1, peak, &peak1}, std::tuple{-1, peak, &anyPeak}, std::tuple{0, temp, &temperature}}) {
      SCOPED_TRACE("channel " + std::to_string(channel));
      expect(ReduceSeries(*store_, site, "Europe/Berlin", channel, {quantity}, c.range, c.buckets), *series);
    }
    // Several channels and quantities at once, in the order asked; a
    // channel without records.
    const Quantity* rms = FindChannelQuantity("rms");
    const auto many = ReduceSeriesOf(*store_, site, "Europe/Berlin", {2, 5, 1}, {rms, peak}, c.range, c.buckets);
    ASSERT_EQ(many.size(), 3u);
    expect(many[0], rms2, 0);
    expect(many[0], peak2, 1);
    EXPECT_TRUE(many[1].empty());
    expect(many[2], peak1, 1);
  }
  // The spike stands in the answer of years as of a day.
  const auto years = ReduceSeries(*store_, site, "Europe/Berlin", 1, {peak}, {first, last}, 7);
  EXPECT_TRUE(std::any_of(years.begin(), years.end(), [&](const ReducedBucket& b) {
    return b.values[0].max == TimedValue{first + 120 * kSpike, 9.5};
  }));

  // The highest value of windows of uneven ends, asked all at once: whole
  // hours from the summaries, the ends from the records, the same answers
  // in the order asked.
  const std::vector<SiteRange> windows{{site, {first + 86400 * 3 + 1801, first + 86400 * 4 + 1801}},
                                       {site, {first + 100, first + 3000}},
                                       {site, {first + 86400 * 19, last}},
                                       {site + 1000, {first, last}}};
  const auto fast = ChannelMaximaSeries(*store_, *peak, windows);
  ASSERT_EQ(fast.size(), windows.size());
  for (std::size_t w = 0; w < windows.size(); ++w) {
    SCOPED_TRACE("window " + std::to_string(w));
    const auto raw = store_->ChannelMaxima(windows[w].site, *peak, windows[w].range);
    ASSERT_EQ(fast[w].size(), raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
      EXPECT_EQ(fast[w][i].channel, raw[i].channel);
      EXPECT_EQ(fast[w][i].max, raw[i].max);
    }
  }
  EXPECT_TRUE(fast[3].empty()) << "no such site";

  // Records at or above a level, read only in the hours whose summaries
  // reach it: the same records as all the hours give, also a page at a time.
  const TimeRange uneven{first + 86400 * 2 + 1234, first + 86400 * 30 + 77};
  for (const double level : {3.5, 9.0}) {
    for (const std::size_t limit : {std::size_t{100000}, std::size_t{7}}) {
      const auto raw = store_->AtOrAbove(site, 1, *peak, level, uneven, limit);
      EXPECT_EQ(AtOrAboveSeries(*store_, site, 1, *peak, level, uneven, limit), raw) << level << " " << limit;
      EXPECT_FALSE(raw.empty());
    }
  }
  const auto latest = store_->LatestOf({site + 1000, site});
  ASSERT_EQ(latest.size(), 2u);
  EXPECT_FALSE(latest[0]);
  ASSERT_TRUE(latest[1]);
  EXPECT_EQ(latest[1]->time, last - 120);
}

INSTANTIATE_TEST_SUITE_P(Engines, StoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& p) { return p.param; });

}  // namespace
}  // namespace varnel::fleet::web
