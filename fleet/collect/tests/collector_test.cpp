// The collector in-process against SQLite: a site written by the
// measurement program's own writer, the collector polled with a clock of
// the test's own, and the database read back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <filesystem>
#include <fstream>

#include "collect_test_support.h"
#include "collector.h"
#include "import.h"
#include "store/waveform_file.h"
#include "text/cp932.h"

namespace varnel::fleet {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::RecordValuesOf;
using testing::SqliteRows;
using testing::SqliteValue;
using testing::SyntheticSite;

// 2005-06-01 12:00 in Tokyo (UTC+9, no daylight saving) is 03:00 UTC.
constexpr int64_t kFirstRecordEpoch = 1117594800;

// An engine that fails on request: before a commit (nothing stored), or
// after it (stored, but the collector hears of a failure, as when the link
// breaks while the commit's answer is on its way).  Counts the records of
// every batch that really committed.
class FlakyDatabase final : public Database {
 public:
  explicit FlakyDatabase(std::unique_ptr<Database> inner) : inner_(std::move(inner)) {}
  std::string Describe() const override { return inner_->Describe(); }
  void Open() override {
    if (unreachable) throw DbError("unreachable (test)");
    inner_->Open();
  }
  void Close() override { inner_->Close(); }
  bool IsOpen() const override { return inner_->IsOpen(); }
  int64_t RegisterSite(const std::string& n, const std::string& z) override { return inner_->RegisterSite(n, z); }
  std::optional<FilePosition> LoadPosition(int64_t s, const std::string& st) override {
    return inner_->LoadPosition(s, st);
  }
  std::map<std::string, SnapshotStamp> LoadSnapshotStamps(int64_t s) override { return inner_->LoadSnapshotStamps(s); }
  int64_t DropRawBefore(int64_t horizon) override { return inner_->DropRawBefore(horizon); }
  bool AddEvent(int64_t site, const MaintenanceEvent& e) override { return inner_->AddEvent(site, e); }
  CommitResult Commit(int64_t site, const Batch& batch) override {
    if (failBefore > 0) {
      --failBefore;
      throw DbError("commit refused (test)");
    }
    const CommitResult r = inner_->Commit(site, batch);
    recordsCommitted += batch.records.size();
    if (failAfter > 0) {
      --failAfter;
      throw DbError("connection lost after the commit (test)");
    }
    return r;
  }

  bool unreachable = false;
  int failBefore = 0;
  int failAfter = 0;
  std::size_t recordsCommitted = 0;

 private:
  std::unique_ptr<Database> inner_;
};

class CollectorTest : public ::testing::Test {
 protected:
  void Use(SyntheticSite& site, std::size_t batchRecords = 1000) {
    site_ = &site;
    dbPath_ = site.File("records.sqlite");
    db_ = std::make_unique<FlakyDatabase>(MakeSqliteDatabase(dbPath_));
    Restart(batchRecords);
  }
  // A new collector on the same database, as after the program's restart.
  void Restart(std::size_t batchRecords = 1000, int keepRawMonths = 0) {
    CollectorOptions o;
    o.siteName = "north-7";
    o.siteDir = site_->Dir();
    o.batchRecords = batchRecords;
    o.snapshotInterval = 5s;
    o.keepRawMonths = keepRawMonths;
    collector_ = std::make_unique<Collector>(*db_, *SiteZone::Named("Asia/Tokyo"), o);
    collector_->log = [this](const std::string& m) { log_.push_back(m); };
    collector_->wallClock = [this] { return wallNow_; };
  }
  PollReport Poll() {
    now_ += 2s;
    return collector_->Poll(now_);
  }
  int Count(const std::string& table) { return std::stoi(SqliteValue(dbPath_, "SELECT count(*) FROM " + table)); }
  // Record numbers stored, from their times.
  std::vector<int> StoredRecords() {
    std::vector<int> out;
    for (const auto& row : SqliteRows(dbPath_, "SELECT time FROM records ORDER BY time"))
      out.push_back(static_cast<int>((std::stoll(row[0]) - kFirstRecordEpoch) / 60));
    return out;
  }
  std::size_t LogsContaining(const std::string& text) const {
    return static_cast<std::size_t>(
        std::count_if(log_.begin(), log_.end(), [&](const std::string& m) { return m.find(text) != std::string::npos; }));
  }

  SyntheticSite* site_ = nullptr;
  std::string dbPath_;
  std::unique_ptr<FlakyDatabase> db_;
  std::unique_ptr<Collector> collector_;
  SteadyTime now_{};
  int64_t wallNow_ = 0;
  std::vector<std::string> log_;
};

std::vector<int> Range(int from, int to) {
  std::vector<int> v;
  for (int i = from; i < to; ++i) v.push_back(i);
  return v;
}

TEST_F(CollectorTest, TextRecordsLandWithTheirValuesThroughTornLinesReopenAndNewRuns) {
  SyntheticSite site(false, 4);
  Use(site);
  site.StartRun();
  for (int r = 0; r < 3; ++r) ASSERT_TRUE(site.Append(r));
  EXPECT_EQ(Poll().recordsAdded, 3u);

  // Half a line: nothing until its end is there.
  const std::string line = store::DataRecordLine(testing::RecordTime(3), RecordValuesOf(3, 4), 4);
  const std::string cp932 = text::ToCp932(line);
  site.AppendRaw(cp932.substr(0, 50));
  EXPECT_EQ(Poll().recordsAdded, 0u);
  site.AppendRaw(cp932.substr(50) + "\r\n");
  EXPECT_EQ(Poll().recordsAdded, 1u);

  site.Reopen();  // the half-hourly close and reopen
  ASSERT_TRUE(site.Append(4));
  site.StopRun();
  site.StartRun();  // a new run: its header, then records
  ASSERT_TRUE(site.Append(5));
  EXPECT_EQ(Poll().recordsAdded, 2u);
  EXPECT_EQ(StoredRecords(), Range(0, 6));
  EXPECT_EQ(Count("channel_records"), 6 * 4);

  // Values, times and zone as stored.
  const auto rec = SqliteRows(dbPath_, "SELECT time, local_time, channels, wind_speed, max_wind_speed, threshold_1, "
                                       "threshold_4, forced_stop FROM records ORDER BY time LIMIT 1 OFFSET 5");
  ASSERT_EQ(rec.size(), 1u);
  EXPECT_EQ(rec[0], (std::vector<std::string>{std::to_string(kFirstRecordEpoch + 300), "2005-06-01 12:05:00+09:00",
                                              "4", "625.0", "625.875", "0.5", "5.0", "0"}));
  // Channel 3 of record 5: components at elements 20..25, peak values 122..130.
  const auto ch = SqliteRows(dbPath_, "SELECT fhc, rms, peak, time_pct_1, half_cycle_pct_4 FROM channel_records "
                                      "WHERE channel = 3 AND time = " + std::to_string(kFirstRecordEpoch + 300));
  ASSERT_EQ(ch.size(), 1u);
  EXPECT_EQ(ch[0], (std::vector<std::string>{"627.5", "628.125", "640.25", "640.375", "641.25"}));
  EXPECT_EQ(db_->recordsCommitted, 6u);
}

// The dashboard's service may not create files beside the database; SQLite
// opens a WAL database for it only while the log and its index exist.
TEST_F(CollectorTest, TheWriteAheadLogOutlivesTheCollectorForReadersThatCannotCreateFiles) {
  SyntheticSite site(false, 4);
  Use(site);
  site.StartRun();
  ASSERT_TRUE(site.Append(0));
  EXPECT_EQ(Poll().recordsAdded, 1u);
  collector_.reset();
  db_->Close();  // the last connection: SQLite would remove both files
  EXPECT_TRUE(fs::exists(dbPath_ + "-wal"));
  EXPECT_TRUE(fs::exists(dbPath_ + "-shm"));
  EXPECT_EQ(Count("records"), 1);
}

TEST_F(CollectorTest, ARenamedFileIsReadToItsEndAndTheNewFileFromItsStart) {
  SyntheticSite site(true, 8);
  Use(site);
  site.StartRun();
  ASSERT_TRUE(site.Append(0));
  ASSERT_TRUE(site.Append(1));
  Poll();
  ASSERT_TRUE(site.Append(2));  // written, then the file is moved away before the next poll
  fs::rename(site.DataPath(), site.File("archive-june.bdt"));
  Poll();
  Poll();
  EXPECT_EQ(StoredRecords(), Range(0, 3));
  EXPECT_EQ(LogsContaining("is missing"), 1u);  // said once, not at every poll

  // The writer notices and starts a new file under the name.
  ASSERT_TRUE(site.Append(3));
  ASSERT_TRUE(site.Append(4));
  Poll();
  EXPECT_EQ(StoredRecords(), Range(0, 5));
  EXPECT_EQ(Count("channel_records"), 5 * 8);
  EXPECT_EQ(LogsContaining("is a new file"), 1u);

  // Replaced by a file copied over it (another inode, the same path).
  site.StopRun();
  fs::copy_file(site.DataPath(), site.File("copy.bdt"));
  fs::rename(site.File("copy.bdt"), site.DataPath());
  site.StartRun();
  ASSERT_TRUE(site.Append(5));
  Poll();
  EXPECT_EQ(StoredRecords(), Range(0, 6));
  EXPECT_EQ(db_->recordsCommitted, 6u + 2u);  // the copy's two records offered again, stored once
}

TEST_F(CollectorTest, ARestartGoesOnWhereTheLastRunStoppedAlsoInAFileRenamedMeanwhile) {
  SyntheticSite site(true, 16);
  Use(site);
  site.StartRun();
  for (int r = 0; r < 3; ++r) ASSERT_TRUE(site.Append(r));
  Poll();
  collector_.reset();  // the collector stops

  for (int r = 3; r < 5; ++r) ASSERT_TRUE(site.Append(r));
  site.AppendRaw(std::string(300, '\0'));  // a torn record at the end
  fs::rename(site.DataPath(), site.File("old.bdt"));
  site.StopRun();
  site.StartRun();  // a new file; the writer overwrites nothing of the old one
  ASSERT_TRUE(site.Append(5));

  Restart();
  Poll();
  Poll();
  EXPECT_EQ(StoredRecords(), Range(0, 6));
  EXPECT_EQ(db_->recordsCommitted, 6u);

  // And again, with nothing new: nothing offered twice.
  Restart();
  Poll();
  EXPECT_EQ(db_->recordsCommitted, 6u);
  ASSERT_TRUE(site.Append(6));
  Poll();
  EXPECT_EQ(StoredRecords(), Range(0, 7));
  EXPECT_EQ(db_->recordsCommitted, 7u);
}

TEST_F(CollectorTest, DatabaseFailuresDelayRecordsButNeverLoseOrRepeatThem) {
  SyntheticSite site(false, 8);
  Use(site, 2);  // two records per transaction
  site.StartRun();
  int written = 0;
  auto write = [&](int n) {
    for (int i = 0; i < n; ++i) ASSERT_TRUE(site.Append(written++));
  };
  write(3);
  db_->unreachable = true;  // down from the start
  PollReport r = Poll();
  EXPECT_TRUE(r.databaseDown);
  EXPECT_GT(r.wait.count(), 0);
  write(2);
  db_->unreachable = false;
  r = Poll();
  EXPECT_FALSE(r.databaseDown);
  EXPECT_EQ(StoredRecords(), Range(0, 5));

  write(5);
  db_->failBefore = 1;  // the second batch of this round fails before it commits
  Poll();
  Poll();
  write(4);
  db_->failAfter = 2;  // commits land, but the collector hears of failures
  for (int i = 0; i < 6; ++i) Poll();
  EXPECT_EQ(StoredRecords(), Range(0, written));
  EXPECT_EQ(Count("channel_records"), written * 8);
  // Every record went out in exactly one batch that committed.
  EXPECT_EQ(db_->recordsCommitted, static_cast<std::size_t>(written));
  EXPECT_GE(LogsContaining("the records wait in the site's files"), 1u);
  // The summaries went with the rows: none ahead, none behind.
  EXPECT_EQ(testing::SummaryMismatches(dbPath_), "");
}

TEST_F(CollectorTest, AFileCutBelowThePositionIsReadAgainWithoutDoubles) {
  SyntheticSite site(true, 4);
  Use(site);
  site.StartRun();
  for (int r = 0; r < 4; ++r) ASSERT_TRUE(site.Append(r));
  Poll();
  site.StopRun();
  fs::resize_file(site.DataPath(), 2000);  // someone cut the file to two records
  site.StartRun();
  ASSERT_TRUE(site.Append(10));
  Poll();
  EXPECT_EQ(StoredRecords(), (std::vector<int>{0, 1, 2, 3, 10}));
  EXPECT_EQ(LogsContaining("was cut below"), 1u);
  EXPECT_EQ(testing::SummaryMismatches(dbPath_), "");
}

TEST_F(CollectorTest, RetentionDropsWholeMonthsOfRawRowsKeepsTheirSummariesAndNeverCountsThemAgain) {
  SyntheticSite site(true, 4);
  Use(site);
  site.StartRun();
  // June 1 and 30, July 1 (local 12:00 is 03:00 UTC: all in their UTC
  // months), August 2.
  const std::vector<int> june{0, 1, 29 * 1440}, later{30 * 1440, 30 * 1440 + 1, 62 * 1440};
  for (const auto* list : {&june, &later})
    for (int r : *list) ASSERT_TRUE(site.Append(r));
  Poll();
  ASSERT_EQ(Count("records"), 6);
  const std::string summaries = "SELECT * FROM summary_days ORDER BY site_id, quantity, channel, day";
  const auto before = SqliteRows(dbPath_, summaries);

  // Mid-August, keeping one month before the current one: June goes.
  wallNow_ = 1124064000;  // 2005-08-15 00:00 UTC
  Restart(1000, 1);
  Poll();
  EXPECT_EQ(StoredRecords(), later);
  EXPECT_EQ(Count("channel_records"), 3 * 4);
  EXPECT_EQ(SqliteValue(dbPath_, "SELECT horizon FROM raw_horizon"), "1120176000");  // 2005-07-01 00:00 UTC
  EXPECT_EQ(LogsContaining("raw rows before 2005-07-01 09:00:00+09:00 dropped (1 month kept)"), 1u);
  EXPECT_EQ(SqliteRows(dbPath_, summaries), before) << "June's summaries stay as they were";

  // June's records offered again (an import of a copy of the file): the
  // rows before the horizon are not stored, so their summaries do not
  // count them twice; July's are stored once as before.
  site.StopRun();
  fs::copy_file(site.DataPath(), site.File("copy.bdt"));
  const ImportSummary copy =
      ImportFiles(*db_, db_->RegisterSite("north-7", "Asia/Tokyo"), *SiteZone::Named("Asia/Tokyo"),
                  {site.File("copy.bdt")}, ImportOptions{.binaryChannels = 4}, [](auto&) {},
                  [this](const std::string& m) { log_.push_back(m); });
  EXPECT_EQ(copy.totals.recordsAdded, 0u);
  EXPECT_EQ(copy.totals.recordsBeforeHorizon, 3u);
  EXPECT_EQ(StoredRecords(), later);
  EXPECT_EQ(SqliteRows(dbPath_, summaries), before);
  EXPECT_EQ(LogsContaining("3 records of " + site.File("copy.bdt") + " are older than the raw rows the database keeps"),
            1u);

  // A later start with a longer setting never brings the horizon back.
  Restart(1000, 6);
  Poll();
  EXPECT_EQ(SqliteValue(dbPath_, "SELECT horizon FROM raw_horizon"), "1120176000");
}

TEST_F(CollectorTest, SnapshotsAreRegisteredWithKindTimeAndPeaksAndAReplacedFileAgain) {
  SyntheticSite site(true, 4);
  Use(site);
  WaveStore waves(4);
  waves.Set(100, 0, -500);
  waves.Set(200, 3, 1234);
  ASSERT_TRUE(store::WriteWaveformFile(site.File("20050601-1530Wev.dat"), waves));
  waves.Set(300, 1, 2000);
  ASSERT_TRUE(store::WriteWaveformFile(site.File("ch2Peak14.80mA20050601-1531Wev.dat"), waves));
  std::ofstream(site.File("notesWev.dat")) << "not a snapshot";
  EXPECT_EQ(Poll().snapshotsAdded, 2u);

  const auto rows = SqliteRows(dbPath_, "SELECT name, time, local_time, kind, trigger_channel, trigger_peak_ma, "
                                        "channels, peak_counts, data IS NULL FROM snapshots ORDER BY time");
  ASSERT_EQ(rows.size(), 2u);
  // 15:30 in Tokyo is 06:30 UTC.
  EXPECT_EQ(rows[0], (std::vector<std::string>{"20050601-1530Wev.dat", "1117607400", "2005-06-01 15:30:00+09:00",
                                               "scheduled", "", "", "4", "[500,0,0,1234]", "1"}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"ch2Peak14.80mA20050601-1531Wev.dat", "1117607460",
                                               "2005-06-01 15:31:00+09:00", "peak", "2", "14.8", "4",
                                               "[500,2000,0,1234]", "1"}));
  // 2000 counts through 330 ohm.
  EXPECT_NEAR(std::stod(SqliteValue(dbPath_, "SELECT json_extract(peaks_ma, '$[1]') FROM snapshots "
                                             "WHERE kind = 'peak'")),
              2000 / 330.0 * 10 / 4096 * 1000, 1e-4);
  EXPECT_EQ(LogsContaining("notesWev.dat"), 1u);

  // Polls before the snapshot interval do not look again; after it, a
  // replaced file is registered anew and nothing else twice.
  waves.Set(10, 2, 77);
  ASSERT_TRUE(store::WriteWaveformFile(site.File("20050601-1530Wev.dat"), waves));
  EXPECT_EQ(Poll().snapshotsAdded, 0u);
  EXPECT_EQ(Poll().snapshotsAdded + Poll().snapshotsAdded, 1u);
  EXPECT_EQ(SqliteValue(dbPath_, "SELECT peak_counts FROM snapshots WHERE kind = 'scheduled'"), "[500,2000,77,1234]");
  EXPECT_EQ(Count("snapshots"), 2);
  EXPECT_EQ(LogsContaining("notesWev.dat"), 1u);
}

// The site's SETDT.DAT says 50 Hz: a scheduled snapshot's channels get
// the amplitudes of the harmonics they were made of.
TEST_F(CollectorTest, SnapshotHarmonicsAreThoseTheWaveformWasMadeOf) {
  SyntheticSite site(true, 4);
  Use(site);
  WaveStore waves(4);
  // 300 counts of 50 Hz with 60, 30 and 15 counts of the 3rd, 5th and 7th
  // harmonic on channel 1; channel 2 silent.
  const std::array<std::pair<int, double>, 4> parts{{{1, 300}, {3, 60}, {5, 30}, {7, 15}}};
  for (int n = 0; n < WaveStore::kSamples; ++n) {
    double x = 0;
    for (const auto& [order, counts] : parts) x += counts * std::sin(2 * std::numbers::pi * 50.0 * order * n * 80e-6 + 0.3 * order);
    waves.Set(n, 0, static_cast<int16_t>(std::lround(x)));
  }
  ASSERT_TRUE(store::WriteWaveformFile(site.File("20050601-1530Wev.dat"), waves));
  EXPECT_EQ(Poll().snapshotsAdded, 1u);
  const std::string stored = SqliteValue(dbPath_, "SELECT harmonics_ma FROM snapshots");
  std::vector<double> ma;
  for (std::size_t at = 1; at < stored.size();) {
    std::size_t used = 0;
    ma.push_back(std::stod(stored.substr(at), &used));
    at += used + 1;
  }
  ASSERT_EQ(ma.size(), 16u) << stored;
  const double mAPerCount = 10.0 / 4096 / 330 * 1000;
  for (std::size_t h = 0; h < parts.size(); ++h)
    EXPECT_NEAR(ma[h], parts[h].second * mAPerCount, 0.5 * mAPerCount) << "harmonic " << parts[h].first;
  EXPECT_EQ(ma[4], 0.0);
}

// insulators.ini is stored when it appears or changes; a file with a
// mistake is said once and leaves the register stored before; a removed
// file empties it.
TEST_F(CollectorTest, TheRegisterFileIsStoredWhenItChangesAndAFaultyOneLeavesTheStoredRegister) {
  SyntheticSite site(true, 4);
  Use(site);
  const std::string file = site.File("insulators.ini");
  std::ofstream(file) << "[Channel 2]\nName=Line 2, phase T\nType=porcelain\nCriticalPeakMa=150\n"
                         "[Channel 4]\nName=spare\n";
  Poll();
  const auto read = [&] {
    return SqliteRows(dbPath_, "SELECT channel, name, type, critical_peak_ma FROM insulators ORDER BY channel");
  };
  const std::vector<std::vector<std::string>> first{{"2", "Line 2, phase T", "porcelain", "150.0"},
                                                    {"4", "spare", "", ""}};
  EXPECT_EQ(read(), first);
  std::ofstream(file) << "[Channel 2]\nCriticalPeakMa=lots\n[Channel 17]\nName=x\n";
  Poll();
  Poll();
  EXPECT_EQ(read(), first);
  EXPECT_EQ(LogsContaining("CriticalPeakMa must be a current"), 1u);
  EXPECT_EQ(LogsContaining("[Channel 17]"), 1u);
  std::filesystem::remove(file);
  Poll();
  EXPECT_TRUE(read().empty());
}

TEST(CollectorImport, ImportingTwiceAddsNothingAndAnInterruptedImportGoesOn) {
  SyntheticSite site(true, 16);
  site.StartRun();
  for (int r = 0; r < 23; ++r) ASSERT_TRUE(site.Append(r));
  site.StopRun();
  const std::string dbPath = site.File("fleet.sqlite");
  FlakyDatabase db(MakeSqliteDatabase(dbPath));
  db.Open();
  const int64_t siteId = db.RegisterSite("south-2", "Asia/Tokyo");
  const SiteZone zone = *SiteZone::Named("Asia/Tokyo");
  ImportOptions options;
  options.batchRecords = 5;
  std::vector<uint64_t> progress;
  auto onProgress = [&](const ImportProgress& p) { progress.push_back(p.bytesDone); };
  auto ignore = [](const std::string&) {};

  // The database fails at the third batch: two batches (10 records) stay.
  int batches = 0;
  auto countingProgress = [&](const ImportProgress& p) {
    onProgress(p);
    if (++batches == 2) db.failBefore = 1;
  };
  EXPECT_THROW(ImportFiles(db, siteId, zone, {site.DataPath()}, options, countingProgress, ignore), DbError);
  EXPECT_EQ(SqliteValue(dbPath, "SELECT count(*) FROM records"), "10");

  const ImportSummary again = ImportFiles(db, siteId, zone, {site.DataPath()}, options, onProgress, ignore);
  EXPECT_EQ(again.totals.recordsRead, 13u);  // went on after the ten stored
  EXPECT_EQ(again.totals.recordsAdded, 13u);
  EXPECT_EQ(again.totals.bytesDone, 23000u);
  EXPECT_EQ(progress.back(), 23000u);
  EXPECT_TRUE(std::is_sorted(progress.begin() + 2, progress.end()));

  // The same records under another name (a copy): read, but nothing added.
  fs::copy_file(site.DataPath(), site.File("copy.bdt"));
  const ImportSummary copy = ImportFiles(db, siteId, zone, {site.File("copy.bdt")}, options, onProgress, ignore);
  EXPECT_EQ(copy.totals.recordsRead, 23u);
  EXPECT_EQ(copy.totals.recordsAdded, 0u);
  EXPECT_EQ(SqliteValue(dbPath, "SELECT count(*) FROM channel_records"), std::to_string(23 * 16));
  EXPECT_EQ(testing::SummaryMismatches(dbPath), "");

  const ImportSummary missing = ImportFiles(db, siteId, zone, {site.File("nothing.bdt")}, options, onProgress, ignore);
  ASSERT_EQ(missing.failures.size(), 1u);
  EXPECT_NE(missing.failures[0].find("nothing.bdt"), std::string::npos);
}

}  // namespace
}  // namespace varnel::fleet

namespace varnel::fleet {
namespace {

TEST(SiteZoneTimes, TheHourRepeatedWhenClocksGoBackGetsItsLaterInstantsInOrder) {
  // Berlin, 30 October 2005: 03:00 summer time became 02:00 winter time.
  const SiteZone berlin = *SiteZone::Named("Europe/Berlin");
  const int64_t at0058Utc = 1130633880;
  const Instant first = berlin.Resolve({2005, 10, 30, 2, 58, 0, 0});
  EXPECT_EQ(first.epochSeconds, at0058Utc);
  EXPECT_EQ(first.offsetSeconds, 7200);
  EXPECT_EQ(IsoLocalText(first), "2005-10-30 02:58:00+02:00");
  const Instant again = berlin.ResolveAfter({2005, 10, 30, 2, 0, 0, 0}, at0058Utc + 60);
  EXPECT_EQ(again.epochSeconds, at0058Utc + 120);
  EXPECT_EQ(IsoLocalText(again), "2005-10-30 02:00:00+01:00");
  const Instant later = berlin.ResolveAfter({2005, 10, 30, 3, 0, 0, 0}, again.epochSeconds);
  EXPECT_EQ(later.epochSeconds, at0058Utc + 120 + 3600);
  // An ordinary time is not moved, whatever came before.
  EXPECT_EQ(berlin.ResolveAfter({2005, 10, 29, 12, 0, 0, 0}, at0058Utc).epochSeconds,
            berlin.Resolve({2005, 10, 29, 12, 0, 0, 0}).epochSeconds);
  EXPECT_FALSE(SiteZone::Named("Mars/Olympus_Mons"));
}

}  // namespace
}  // namespace varnel::fleet
