// The watch step against a fixed clock and a real temporary data file.
#include "watch.h"

#include <gtest/gtest.h>

#include <fstream>

#include "form/form.h"
#include "system.h"
#include "test_support.h"

namespace tessik {
namespace {

using testing::At;
using testing::ManualClock;
using testing::RecordingStarter;
using testing::SetModified;
using testing::TempDir;

class WatchStep : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.Path().empty());
    dataFile_ = (dir_.Path() / "気象・電流data.csv").string();
    form_.watchedPath = dataFile_;
    form_.programPath = "/site/Varnel";
    clock_.now = At(2004, 2, 4, 15, 30, 5);
    lock_.held = true;  // a program of the site runs (and holds its lock)
    watchdog_.ToggleWatching();  // "スタート"
  }

  void FileModifiedAt(const LocalDateTime& t) { ASSERT_TRUE(SetModified(dataFile_, t)); }

  TempDir dir_;
  std::string dataFile_;
  Form1 form_;
  ManualClock clock_;
  SystemFileTimes files_;
  RecordingStarter starter_;
  testing::FakeSiteLock lock_;
  Watchdog watchdog_{form_, clock_, files_, starter_, lock_};
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

// Nobody measures when no program holds the site's lock: a new site folder
// has no data file yet, and after a restart of the machine a recent one
// would hold the start back for a whole period.  Still one start per period.
TEST_F(WatchStep, NoProgramHoldingTheLockIsStartedWhateverTheDataFileSays) {
  lock_.held = false;
  watchdog_.Tick();  // a new site: no data file at all
  ASSERT_EQ(starter_.started.size(), 1u);
  EXPECT_EQ(form_.statusLabel, std::string("更新確認ファイルが見つかりません: ") + dataFile_);
  EXPECT_EQ(form_.lastStartLabel, "2004/02/04 15:30:05");

  // The program ended at once (no card, say): not started again within the
  // period, then once more.
  clock_.now = At(2004, 2, 4, 15, 45, 4);
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 1u);
  clock_.now = At(2004, 2, 4, 15, 45, 5);
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 2u);

  // A file written a minute ago by a program that is gone now.
  FileModifiedAt(At(2004, 2, 4, 16, 0, 0));
  clock_.now = At(2004, 2, 4, 16, 1, 0);
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 3u);
  EXPECT_EQ(form_.statusLabel, "");

  // Running again: a fresh file is left alone.
  lock_.held = true;
  clock_.now = At(2004, 2, 4, 16, 30, 0);
  FileModifiedAt(At(2004, 2, 4, 16, 29, 0));
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 3u);
}

TEST_F(WatchStep, FolderInPlaceOfTheWatchedFileCountsAsMissing) {
  form_.watchedPath = dir_.Path().string();
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

TEST_F(WatchStep, DataFileAheadOfASetBackClockIsFreshForOneRestartPeriodOnly) {
  // The clock was set back: the file was written at 16:00 by the old clock,
  // and now reads 15:30:05.  Counted from the file time, the program would
  // stay down until 16:15; counted from the first check that saw the file
  // ahead, the file is stale after 15 minutes, at 15:45:05.
  FileModifiedAt(At(2004, 2, 4, 16, 0, 0));
  watchdog_.Tick();
  clock_.now = At(2004, 2, 4, 15, 45, 5);  // exactly 15 minutes: not stale
  watchdog_.Tick();
  EXPECT_TRUE(starter_.started.empty());
  EXPECT_EQ(form_.lastUpdateLabel, "2004/02/04 16:00:00");  // the file's own time is shown
  clock_.now = At(2004, 2, 4, 15, 46, 5);
  watchdog_.Tick();
  ASSERT_EQ(starter_.started.size(), 1u);
  EXPECT_EQ(form_.lastStartLabel, "2004/02/04 15:46:05");
}

TEST_F(WatchStep, ClockSetBackAgainWhileTheFileIsAheadCountsFromTheLatestCheck) {
  FileModifiedAt(At(2004, 2, 4, 16, 0, 0));
  watchdog_.Tick();                        // ahead since 15:30:05
  clock_.now = At(2004, 2, 4, 15, 10, 0);  // set back once more
  watchdog_.Tick();                        // ahead since 15:10:00
  clock_.now = At(2004, 2, 4, 15, 25, 0);
  watchdog_.Tick();
  EXPECT_TRUE(starter_.started.empty());
  clock_.now = At(2004, 2, 4, 15, 25, 1);
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 1u);

  // A new record written by the set-back clock is an ordinary fresh file,
  // and a later file time ahead starts its own period.
  FileModifiedAt(At(2004, 2, 4, 15, 30, 0));
  clock_.now = At(2004, 2, 4, 15, 41, 0);
  watchdog_.Tick();
  FileModifiedAt(At(2004, 2, 4, 17, 0, 0));
  clock_.now = At(2004, 2, 4, 15, 42, 0);
  watchdog_.Tick();
  clock_.now = At(2004, 2, 4, 15, 57, 0);
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 1u);
  clock_.now = At(2004, 2, 4, 15, 57, 1);
  watchdog_.Tick();
  EXPECT_EQ(starter_.started.size(), 2u);
}

// --- A program that holds the site's lock but writes nothing ---------------

class HungProgram : public WatchStep {
 protected:
  void SetUp() override {
    WatchStep::SetUp();
    FileModifiedAt(At(2004, 2, 4, 15, 14, 35));  // 15.5 minutes before now
    lock_.state = LockInspection::State::SiteProgram;
    lock_.held = true;
    lock_.lockFile = (dir_.Path() / "Varnel.lock").string();
    LastSignOfLifeAt(At(2004, 2, 4, 15, 14, 35));
  }
  void LastSignOfLifeAt(const LocalDateTime& t) {
    std::ofstream(lock_.lockFile, std::ios::app).close();
    ASSERT_TRUE(SetModified(lock_.lockFile, t));
  }
  void Poll(int times) {
    for (int i = 0; i < times; ++i) watchdog_.EndingPoll();
  }
};

TEST_F(HungProgram, IsTerminatedAndTheNewProgramStartsOnceTheLockIsFree) {
  lock_.endsOnTerminate = false;  // ends a moment after the signal
  watchdog_.Tick();
  EXPECT_EQ(lock_.sent, std::vector<std::string>{"TERM 4321"});
  EXPECT_TRUE(starter_.started.empty()) << "the old program still holds the lock";
  EXPECT_TRUE(form_.endingTimerEnabled);
  EXPECT_EQ(form_.statusLabel, "応答しないプログラムを終了します (pid 4321)");
  EXPECT_EQ(form_.restartCountLabel, "0");

  watchdog_.EndingPoll();  // still holding
  EXPECT_TRUE(starter_.started.empty());
  lock_.held = false;
  clock_.now = At(2004, 2, 4, 15, 30, 6);
  watchdog_.EndingPoll();
  ASSERT_EQ(starter_.started, std::vector<std::string>{"/site/Varnel"});
  EXPECT_EQ(lock_.sent, std::vector<std::string>{"TERM 4321"});
  EXPECT_FALSE(form_.endingTimerEnabled);
  EXPECT_EQ(form_.restartCountLabel, "1");
  EXPECT_EQ(form_.lastStartLabel, "2004/02/04 15:30:06");  // the time of the start itself
  EXPECT_EQ(form_.statusLabel, "応答しないプログラムを終了して起動しました (pid 4321)");

  // The last-start rule holds as before: one start per restart period.
  lock_.held = true;
  clock_.now = At(2004, 2, 4, 15, 31, 5);
  watchdog_.Tick();
  EXPECT_EQ(lock_.inspections, 1);
  EXPECT_EQ(lock_.sent.size(), 1u);
  EXPECT_EQ(starter_.started.size(), 1u);
}

TEST_F(HungProgram, IgnoringSigtermIsKilledAfterFiveSecondsOfPolls) {
  lock_.endsOnTerminate = false;
  watchdog_.Tick();
  // 500 ms polls: the 10th, 5 s after SIGTERM, sends SIGKILL.
  Poll(9);
  EXPECT_EQ(lock_.sent, std::vector<std::string>{"TERM 4321"});
  Poll(1);
  EXPECT_EQ(lock_.sent, (std::vector<std::string>{"TERM 4321", "KILL 4321"}));
  EXPECT_EQ(form_.statusLabel, "応答しないプログラムを強制終了します (pid 4321)");
  EXPECT_TRUE(starter_.started.empty());
  Poll(1);  // SIGKILL freed the lock
  EXPECT_EQ(starter_.started.size(), 1u);
  EXPECT_EQ(form_.restartCountLabel, "1");
}

TEST_F(HungProgram, ThatCannotBeEndedStartsNothingAndIsTriedAgainAtTheNextTick) {
  lock_.endsOnTerminate = false;
  lock_.endsOnKill = false;  // stuck in the kernel
  watchdog_.Tick();
  Poll(10 + 9);
  EXPECT_TRUE(form_.endingTimerEnabled);
  Poll(1);
  EXPECT_FALSE(form_.endingTimerEnabled);
  EXPECT_EQ(form_.statusLabel, "応答しないプログラムを終了できません (pid 4321) SIGKILL の後もロックを持っています");
  EXPECT_TRUE(starter_.started.empty());
  EXPECT_EQ(form_.restartCountLabel, "0");
  EXPECT_EQ(form_.lastStart, 0.0);
  Poll(5);  // the timer is off; a stray poll does nothing
  EXPECT_EQ(lock_.sent.size(), 2u);

  clock_.now = At(2004, 2, 4, 15, 31, 5);
  watchdog_.Tick();
  EXPECT_EQ(lock_.sent.size(), 3u);
  EXPECT_EQ(lock_.sent.back(), "TERM 4321");
}

TEST_F(HungProgram, MinuteTickDuringTheEndingNeitherStartsNorHidesTheEnding) {
  lock_.endsOnTerminate = false;
  watchdog_.Tick();
  clock_.now = At(2004, 2, 4, 15, 30, 7);
  watchdog_.Tick();
  EXPECT_EQ(lock_.inspections, 1);
  EXPECT_EQ(form_.lastCheckLabel, "2004/02/04 15:30:07");
  EXPECT_EQ(form_.statusLabel, "応答しないプログラムを終了します (pid 4321)");
  EXPECT_TRUE(starter_.started.empty());
}

TEST_F(HungProgram, InterruptDropsTheEndingAndStartsNothing) {
  lock_.endsOnTerminate = false;
  watchdog_.Tick();
  watchdog_.ToggleWatching();  // "中断"
  EXPECT_FALSE(form_.endingTimerEnabled);
  lock_.held = false;
  Poll(3);
  EXPECT_TRUE(starter_.started.empty());
}

TEST_F(HungProgram, SignalRefusedIsReportedAndCountsNoStart) {
  lock_.terminateError = "Operation not permitted";
  watchdog_.Tick();
  EXPECT_EQ(form_.statusLabel, "応答しないプログラムを終了できません (pid 4321) Operation not permitted");
  EXPECT_FALSE(form_.endingTimerEnabled);
  EXPECT_TRUE(starter_.started.empty());
  EXPECT_EQ(form_.restartCountLabel, "0");
}

TEST_F(HungProgram, HolderNotProvenOursIsNeverSignalledAndTheStartGoesAheadAsBefore) {
  lock_.state = LockInspection::State::Unproven;
  lock_.why = "pid 4321 は別のフォルダのプログラムです";
  watchdog_.Tick();
  EXPECT_TRUE(lock_.sent.empty());
  EXPECT_EQ(starter_.started.size(), 1u);
  EXPECT_EQ(form_.restartCountLabel, "1");
  EXPECT_FALSE(form_.endingTimerEnabled);
  EXPECT_EQ(form_.statusLabel, "ロックを持つプロセスは終了しません: pid 4321 は別のフォルダのプログラムです");
}

TEST_F(HungProgram, HolderThatStillShowsSignsOfLifeIsLeftAloneAndNothingStarts) {
  // Marked alive two minutes ago to the second (a healthy program between
  // its start and its first record, or with a long save interval): not hung.
  LastSignOfLifeAt(At(2004, 2, 4, 15, 28, 5));
  watchdog_.Tick();
  EXPECT_TRUE(lock_.sent.empty());
  EXPECT_TRUE(starter_.started.empty()) << "a new program would end at once on the lock";
  EXPECT_EQ(form_.restartCountLabel, "0");
  EXPECT_EQ(form_.lastStart, 0.0);
  EXPECT_EQ(form_.statusLabel, "応答中のプログラムがロックを持っています (pid 4321)");

  // No mark for a minute more: silent for three minutes, hung.
  clock_.now = At(2004, 2, 4, 15, 31, 5);
  watchdog_.Tick();
  EXPECT_EQ(lock_.sent, std::vector<std::string>{"TERM 4321"});
}

TEST_F(HungProgram, MarkAheadOfASetBackClockCountsFromTheCheckThatSawIt) {
  // The clock went back an hour after the last mark: the holder is judged
  // by how long the mark has stood still, not by when the clock catches up.
  LastSignOfLifeAt(At(2004, 2, 4, 16, 30, 0));
  watchdog_.Tick();
  EXPECT_TRUE(lock_.sent.empty());
  clock_.now = At(2004, 2, 4, 15, 32, 5);
  watchdog_.Tick();
  EXPECT_TRUE(lock_.sent.empty()) << "unchanged for exactly two minutes";
  clock_.now = At(2004, 2, 4, 15, 32, 6);
  watchdog_.Tick();
  EXPECT_EQ(lock_.sent, std::vector<std::string>{"TERM 4321"});
}

TEST_F(HungProgram, UnreadableMarkOfAProvenHolderCountsAsSilent) {
  lock_.lockFile = (dir_.Path() / "no-such.lock").string();
  watchdog_.Tick();
  EXPECT_EQ(lock_.sent, std::vector<std::string>{"TERM 4321"});
}

TEST_F(HungProgram, RunningProgramWithAFreshFileIsNeverLookedAt) {
  FileModifiedAt(At(2004, 2, 4, 15, 29, 0));
  watchdog_.Tick();
  watchdog_.ManualCheck();
  EXPECT_EQ(lock_.inspections, 0);
  EXPECT_TRUE(lock_.sent.empty());
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
  std::filesystem::path settings() const { return dir_.Path() / "SETDT.DAT"; }
  TempDir dir_;
};

TEST_F(WatchedPathLoad, MissingSettingsFileGivesTheDefaultPath) {
  EXPECT_EQ(WatchedPathFromSettings(settings()), "/var/tmp/気象・電流data.csv");
  EXPECT_EQ(DefaultWatchedPath(), varnel::kDesignDataPath);
}

TEST_F(WatchedPathLoad, EmptyPathGivesTheDefaultPath) {
  testing::WriteFile(settings(), testing::SettingsRecord(0, {}));
  EXPECT_EQ(WatchedPathFromSettings(settings()), "/var/tmp/気象・電流data.csv");
}

TEST_F(WatchedPathLoad, FileCutBeforeThePathGivesTheDefaultPath) {
  std::vector<uint8_t> bytes = testing::SettingsRecord(0, {});
  bytes.resize(9);  // ends inside ShuntOhm
  testing::WriteFile(settings(), bytes);
  EXPECT_EQ(WatchedPathFromSettings(settings()), "/var/tmp/気象・電流data.csv");
}

TEST_F(WatchedPathLoad, StoredPathIsReadAsCode932Characters) {
  // "/data/気象.csv": 12 characters, 14 bytes (気 = 8B 43, 象 = 8F DB).
  const std::vector<uint8_t> path = {'/', 'd', 'a', 't', 'a', '/', 0x8B, 0x43, 0x8F, 0xDB, '.', 'c', 's', 'v'};
  testing::WriteFile(settings(), testing::SettingsRecord(12, path));
  EXPECT_EQ(WatchedPathFromSettings(settings()), "/data/気象.csv");
}

TEST_F(WatchedPathLoad, LoadSetsBothPathsAndLeavesTheTimerOff) {
  const std::vector<uint8_t> path = {'/', 's', '/', 'd', '.', 'c', 's', 'v'};
  testing::WriteFile(settings(), testing::SettingsRecord(8, path));
  Form1 form;
  ManualClock clock;
  SystemFileTimes files;
  RecordingStarter starter;
  testing::FakeSiteLock lock;
  Watchdog watchdog(form, clock, files, starter, lock);
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
  const auto file = dir.Path() / "d.csv";
  ASSERT_TRUE(SetModified(file, At(2010, 7, 1, 23, 59, 58, 250)));
  SystemFileTimes files;
  EXPECT_EQ(files.LastModified(file.string()), At(2010, 7, 1, 23, 59, 58, 250));
  EXPECT_FALSE(files.LastModified((dir.Path() / "none.csv").string()).has_value());
  EXPECT_FALSE(files.LastModified("").has_value());
}

}  // namespace
}  // namespace tessik
