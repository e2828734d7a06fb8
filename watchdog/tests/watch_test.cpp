// The watch step against a fixed clock and a real temporary data file.
#include "watch.h"

#include <gtest/gtest.h>

#include "form/form.h"
#include "system.h"
#include "test_support.h"

namespace tessik {
namespace {

using testing::At;
using testing::FixedClock;
using testing::RecordingStarter;
using testing::SetModified;
using testing::TempDir;

class WatchStep : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    dataFile_ = (dir_.path() / "気象・電流data.csv").string();
    form_.watchedPath = dataFile_;
    form_.programPath = "/site/Varnel";
    clock_.now = At(2004, 2, 4, 15, 30, 5);
    watchdog_.ToggleWatching();  // "スタート"
  }

  void FileModifiedAt(const LocalDateTime& t) { ASSERT_TRUE(SetModified(dataFile_, t)); }

  TempDir dir_;
  std::string dataFile_;
  Form1 form_;
  FixedClock clock_;
  SystemFileTimes files_;
  RecordingStarter starter_;
  Watchdog watchdog_{form_, clock_, files_, starter_};
};

TEST_F(WatchStep, FileStaleBeyondRestartMinutesStartsOnceAndHoldsForThePeriod) {
  FileModifiedAt(At(2004, 2, 4, 15, 14, 35));  // 15.5 minutes before now
  watchdog_.Tick();
  ASSERT_EQ(starter_.started, std::vector<std::string>{"/site/Varnel"});
  EXPECT_EQ(form_.restartCountLabel, "1");
  EXPECT_EQ(form_.lastStartLabel, "2004/02/04 15:30:05");
  EXPECT_EQ(form_.lastUpdateLabel, "2004/02/04 15:14:35");
  EXPECT_EQ(form_.lastCheckLabel, "2004/02/04 15:30:05");
  EXPECT_EQ(form_.statusLabel, "");

  // One minute later, still stale: the last start is only one minute old.
  clock_.now = At(2004, 2, 4, 15, 31, 5);
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 1u);
  EXPECT_EQ(form_.restartCountLabel, "1");
  EXPECT_EQ(form_.lastStartLabel, "2004/02/04 15:30:05");
  EXPECT_EQ(form_.lastCheckLabel, "2004/02/04 15:31:05");

  // 14:59.999 after the start: still inside the period.
  clock_.now = At(2004, 2, 4, 15, 45, 4, 999);
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 1u);

  // A whole period after the start the program may be started again.
  clock_.now = At(2004, 2, 4, 15, 45, 5);
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 2u);
  EXPECT_EQ(form_.restartCountLabel, "2");
  EXPECT_EQ(form_.lastStartLabel, "2004/02/04 15:45:05");
}

TEST_F(WatchStep, FileExactlyRestartMinutesOldIsNotStale) {
  FileModifiedAt(At(2004, 2, 4, 15, 15, 5));  // exactly 15 minutes
  watchdog_.Tick();
  EXPECT_TRUE(starter_.started.empty());
  EXPECT_EQ(form_.restartCountLabel, "0");
  EXPECT_EQ(form_.lastStartLabel, kTimeLabelFormat);
  EXPECT_EQ(form_.lastUpdateLabel, "2004/02/04 15:15:05");

  // One millisecond older is stale: the age is a fraction, not whole minutes.
  FileModifiedAt(At(2004, 2, 4, 15, 15, 4, 999));
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 1u);
}

TEST_F(WatchStep, ExactBoundaryHoldsAtEveryTimeOfDay) {
  // Day numbers near 38000 carry rounding noise in their fraction; a file
  // exactly 15 minutes old must never count as older, whatever the time.
  for (int minute = 15; minute < 24 * 60; minute += 7) {
    const int second = minute % 60;
    clock_.now = At(2004, 2, 4, minute / 60, minute % 60, second, 123);
    const int m = minute - 15;
    FileModifiedAt(At(2004, 2, 4, m / 60, m % 60, second, 123));
    watchdog_.Tick();
    ASSERT_TRUE(starter_.started.empty()) << "at minute " << minute;
  }
}

TEST_F(WatchStep, RestartMinutesWithoutALeadingNumberStartOnEveryTick) {
  form_.restartMinutes = "abc";
  FileModifiedAt(At(2004, 2, 4, 15, 29, 55));  // ten seconds old
  for (int i = 0; i < 3; ++i) {
    clock_.now = At(2004, 2, 4, 15, 30 + i, 5);
    watchdog_.Tick();
  }
  EXPECT_EQ(starter_.started.size(), 3u);
  EXPECT_EQ(form_.restartCountLabel, "3");
  EXPECT_EQ(form_.lastStartLabel, "2004/02/04 15:32:05");
}

TEST_F(WatchStep, RestartMinutesAreTheLeadingNumberOfTheTextReadAtEveryTick) {
  FileModifiedAt(At(2004, 2, 4, 15, 25, 5));  // 5 minutes old
  form_.restartMinutes = "6分";
  watchdog_.Tick();
  EXPECT_TRUE(starter_.started.empty());
  form_.restartMinutes = "4.5 min";  // edited while watching
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 1u);
  // A fraction of a minute, as small restart times for trials use.
  form_.restartMinutes = "0.05";
  clock_.now = At(2004, 2, 4, 15, 30, 8);
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 2u);
}

TEST_F(WatchStep, ManualCheckUpdatesTheLabelsButNeverStarts) {
  FileModifiedAt(At(2004, 2, 3, 8, 0, 0));  // a day old
  watchdog_.ManualCheck();
  EXPECT_TRUE(starter_.started.empty());
  EXPECT_EQ(form_.lastUpdateLabel, "2004/02/03 08:00:00");
  EXPECT_EQ(form_.lastCheckLabel, "2004/02/04 15:30:05");
  EXPECT_EQ(form_.restartCountLabel, "0");
}

TEST_F(WatchStep, InterruptAndResumeKeepCountAndLastStart) {
  FileModifiedAt(At(2004, 2, 4, 15, 0, 0));
  watchdog_.Tick();
  ASSERT_EQ(form_.restartCountLabel, "1");
  const double lastStart = form_.lastStart;

  watchdog_.ToggleWatching();  // "中断"
  EXPECT_FALSE(form_.timerEnabled);
  EXPECT_EQ(form_.startButtonCaption, kStartCaption);
  watchdog_.ToggleWatching();  // "スタート"
  EXPECT_TRUE(form_.timerEnabled);
  EXPECT_EQ(form_.startButtonCaption, kInterruptCaption);
  EXPECT_EQ(form_.restartCountLabel, "1");
  EXPECT_EQ(form_.lastStartLabel, "2004/02/04 15:30:05");
  EXPECT_EQ(form_.lastStart, lastStart);

  // The kept last start still holds the next start back.
  clock_.now = At(2004, 2, 4, 15, 35, 0);
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 1u);
}

TEST_F(WatchStep, MissingWatchedFileIsReportedAndChangesNothingElse) {
  FileModifiedAt(At(2004, 2, 4, 15, 0, 0));
  watchdog_.Tick();
  ASSERT_EQ(starter_.started.size(), 1u);
  const Form1 before = form_;

  std::filesystem::remove(dataFile_);
  clock_.now = At(2004, 2, 4, 16, 0, 0);  // long past the period
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 1u);  // no age, no start
  EXPECT_EQ(form_.statusLabel, std::string("更新確認ファイルが見つかりません: ") + dataFile_);
  EXPECT_EQ(form_.lastCheckLabel, "2004/02/04 16:00:00");
  EXPECT_EQ(form_.lastUpdateLabel, before.lastUpdateLabel);
  EXPECT_EQ(form_.lastUpdate, before.lastUpdate);
  EXPECT_EQ(form_.lastStart, before.lastStart);
  EXPECT_EQ(form_.restartCountLabel, "1");
  EXPECT_TRUE(form_.timerEnabled);

  // The file is back (and stale): the report clears and watching resumes.
  FileModifiedAt(At(2004, 2, 4, 15, 40, 0));
  clock_.now = At(2004, 2, 4, 16, 1, 0);
  watchdog_.Tick();
  EXPECT_EQ(form_.statusLabel, "");
  EXPECT_EQ(starter_.started.size(), 2u);
}

TEST_F(WatchStep, FolderInPlaceOfTheWatchedFileCountsAsMissing) {
  form_.watchedPath = dir_.path().string();
  watchdog_.Tick();
  EXPECT_TRUE(starter_.started.empty());
  EXPECT_EQ(form_.statusLabel.rfind(kFileMissingStatus, 0), 0u);
}

TEST_F(WatchStep, FailedStartIsReportedCountsNothingAndIsRetriedNextTick) {
  FileModifiedAt(At(2004, 2, 4, 15, 0, 0));
  starter_.succeed = false;
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 1u);
  EXPECT_EQ(form_.statusLabel, "起動できません: /site/Varnel (No such file or directory)");
  EXPECT_EQ(form_.restartCountLabel, "0");
  EXPECT_EQ(form_.lastStartLabel, kTimeLabelFormat);
  EXPECT_EQ(form_.lastStart, 0.0);
  EXPECT_TRUE(form_.timerEnabled);

  starter_.succeed = true;
  clock_.now = At(2004, 2, 4, 15, 31, 5);
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 2u);
  EXPECT_EQ(form_.statusLabel, "");
  EXPECT_EQ(form_.restartCountLabel, "1");
  EXPECT_EQ(form_.lastStartLabel, "2004/02/04 15:31:05");
}

TEST_F(WatchStep, ClockSetBackBehindTheLastStartDelaysTheNextStartByOnePeriodOnly) {
  FileModifiedAt(At(2004, 2, 4, 12, 0, 0));
  watchdog_.Tick();  // start at 15:30:05
  ASSERT_EQ(starter_.started.size(), 1u);

  clock_.now = At(2004, 2, 4, 14, 0, 0);  // clock corrected by 1.5 hours
  watchdog_.Tick();
  clock_.now = At(2004, 2, 4, 14, 14, 59);
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 1u);
  clock_.now = At(2004, 2, 4, 14, 15, 0);
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 2u);
}

TEST_F(WatchStep, ExitStopsWatching) {
  watchdog_.Exit();
  EXPECT_FALSE(form_.timerEnabled);
  EXPECT_TRUE(form_.exitRequested);
}

TEST(MinutesBetween, IsTheFractionalMinuteDifferenceOfDayNumbers) {
  // Hand-worked: 2004-02-04 is day 38021; 15:30:05 is 55805 s into the day.
  const double now = 38021.0 + 55805.0 / 86400.0;
  EXPECT_EQ(MinutesBetween(now - 930.0 / 86400.0, now), 15.5);
  EXPECT_EQ(MinutesBetween(now - 900.0 / 86400.0, now), 15.0);
  EXPECT_EQ(MinutesBetween(now, now - 60.0 / 86400.0), -1.0);
  // From the zero of the scale: the whole age in minutes.
  EXPECT_EQ(MinutesBetween(0.0, 38021.0), 38021.0 * 1440.0);
}

// --- Settings -------------------------------------------------------------

class WatchedPathLoad : public ::testing::Test {
 protected:
  std::filesystem::path settings() const { return dir_.path() / "SETDT.DAT"; }
  TempDir dir_;
};

TEST_F(WatchedPathLoad, MissingSettingsFileGivesTheDefaultPath) {
  EXPECT_EQ(WatchedPathFromSettings(settings()), "/var/tmp/気象・電流data.csv");
  EXPECT_EQ(DefaultWatchedPath(), varnel::kDesignDataPath);
}

TEST_F(WatchedPathLoad, EmptyPathGivesTheDefaultPath) {
  testing::WriteBytes(settings(), testing::SettingsRecord(0, {}));
  EXPECT_EQ(WatchedPathFromSettings(settings()), "/var/tmp/気象・電流data.csv");
}

TEST_F(WatchedPathLoad, FileCutBeforeThePathGivesTheDefaultPath) {
  std::vector<uint8_t> bytes = testing::SettingsRecord(0, {});
  bytes.resize(9);  // ends inside ShuntOhm
  testing::WriteBytes(settings(), bytes);
  EXPECT_EQ(WatchedPathFromSettings(settings()), "/var/tmp/気象・電流data.csv");
}

TEST_F(WatchedPathLoad, StoredPathIsReadAsCode932Characters) {
  // "/data/気象.csv": 12 characters, 14 bytes (気 = 8B 43, 象 = 8F DB).
  const std::vector<uint8_t> path = {'/', 'd', 'a', 't', 'a', '/', 0x8B, 0x43, 0x8F, 0xDB, '.', 'c', 's', 'v'};
  testing::WriteBytes(settings(), testing::SettingsRecord(12, path));
  EXPECT_EQ(WatchedPathFromSettings(settings()), "/data/気象.csv");
}

TEST_F(WatchedPathLoad, LoadSetsBothPathsAndLeavesTheTimerOff) {
  const std::vector<uint8_t> path = {'/', 's', '/', 'd', '.', 'c', 's', 'v'};
  testing::WriteBytes(settings(), testing::SettingsRecord(8, path));
  Form1 form;
  FixedClock clock;
  SystemFileTimes files;
  RecordingStarter starter;
  Watchdog watchdog(form, clock, files, starter);
  watchdog.Load(settings(), "/home/site");
  EXPECT_EQ(form.watchedPath, "/s/d.csv");
  EXPECT_EQ(form.programPath, "/home/site/Varnel");
  EXPECT_EQ(form.restartMinutes, "15");
  EXPECT_FALSE(form.timerEnabled);
  EXPECT_EQ(form.startButtonCaption, "スタート");
  EXPECT_EQ(form.lastUpdateLabel, "yyyy/mm/dd HH:MM:SS");
  EXPECT_EQ(form.restartCountLabel, "0");
}

// --- File times -----------------------------------------------------------

TEST(SystemFileTimes, ReadsTheLocalModificationTimeToTheMillisecond) {
  TempDir dir;
  const auto file = dir.path() / "d.csv";
  ASSERT_TRUE(SetModified(file, At(2010, 7, 1, 23, 59, 58, 250)));
  SystemFileTimes files;
  EXPECT_EQ(files.LastModified(file.string()), At(2010, 7, 1, 23, 59, 58, 250));
  EXPECT_FALSE(files.LastModified((dir.path() / "none.csv").string()).has_value());
  EXPECT_FALSE(files.LastModified("").has_value());
}

}  // namespace
}  // namespace tessik
