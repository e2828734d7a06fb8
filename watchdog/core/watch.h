// The watchdog's behaviour: loading the watched path, the check, the watch
// step of every timer tick and the buttons.  UI-free; the window calls these
// after writing the edited texts into the model and refreshes its widgets
// from the model afterwards.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "form1.h"
#include "ports.h"

namespace tessik {

// Default watched file: the measurement program's design data path.
std::string DefaultWatchedPath();

// The watched path that SETDT.DAT names, or the default when the file is
// missing, unreadable, or holds an empty path.
std::string WatchedPathFromSettings(const std::filesystem::path& settingsFile);

// Minutes from one date-time to another (day numbers), as a fraction.  The
// difference is taken to whole milliseconds, the resolution of the clock and
// the file times, so that a file exactly 15 minutes old is 15 minutes old and
// not 15.000000001 by the rounding of two large day numbers.
double MinutesBetween(double from, double to);

// The age of a file's time as far as a clock that may be set back can tell:
// a file time ahead of the clock (the clock was set back after the file was
// written) counts from the check that first saw it ahead, again from now if
// the clock goes back once more.  Waiting for the clock to catch up could
// stop restarts for hours.
class FileAge {
 public:
  // Minutes from `fileTime` to `now` (day numbers).
  double Minutes(double fileTime, double now);

 private:
  // A file time seen ahead of the clock, and when it was first seen so; 0
  // when the file time is not ahead.
  double aheadFileTime_ = 0.0;
  double aheadSince_ = 0.0;
};

class Watchdog {
 public:
  Watchdog(Form1& form, const Clock& clock, const FileTimes& files, ProcessStarter& starter, SiteLock& lock)
      : form_(form), clock_(clock), files_(files), starter_(starter), lock_(lock) {}

  // Window load: the watched path from `settingsFile` (SETDT.DAT in the
  // working directory), the program path `currentDir` + "/Varnel".  The
  // timer stays disabled.
  void Load(const std::filesystem::path& settingsFile, const std::string& currentDir);

  // "手動確認": the check alone, never a start.
  void ManualCheck() { Check(clock_.Now()); }

  // "スタート" / "中断": switches watching on or off.  The restart count and
  // the last start survive.  "中断" also drops an ending under way: nothing
  // is started until watching resumes.
  void ToggleWatching();

  // The 60 s timer: the check, then a start of the program when the watched
  // file is older than the restart minutes, or no program holds the site's
  // lock (none runs: a new site, a restarted machine), and no start happened
  // within the last restart minutes.  A data file whose time lies ahead of the clock
  // (the clock was set back) counts as written when it was first seen so.
  //
  // When a program of this site still holds the site's lock and has not
  // marked the lock file as alive for longer than kHungAfterSilentMinutes,
  // it is hung: it gets SIGTERM and the ending timer goes on; the start
  // follows in EndingPoll once the lock is free.  A holder that still shows
  // signs of life is left alone and nothing is started.
  void Tick();

  // The ending timer (every kEndingPollMs while `endingTimerEnabled`): starts
  // the program once the ended one has let go of the lock; after
  // kTerminatePolls sends SIGKILL, and after kKillPolls more gives up until
  // the next watch tick.
  void EndingPoll();

  // "終了": stops watching and asks the window to close.
  void Exit();

 private:
  // A hung program being ended.
  struct Ending {
    std::unique_ptr<LockHolder> holder;
    int pollsLeft = kTerminatePolls;
    bool killed = false;
  };

  // Reads the watched file's time into `LastUpdate` and the labels.  A
  // missing file leaves `LastUpdate` and its label as they were, advances
  // the last-check label and reports the file on the status line; returns
  // false then.
  bool Check(const LocalDateTime& now);
  // Minutes since the holder of the lock last marked the lock file as alive
  // (without a readable mark: longer than any bound).
  double SilentMinutes(double now);
  // Starts the program, first ending a hung one that holds the lock.
  void Replace(double now, const LocalDateTime& nowTime);
  // False when the start failed (reported on the status line).
  bool StartProgram(double now, const LocalDateTime& nowTime);
  void StopEnding();
  std::string HolderText(const char* status) const;

  Form1& form_;
  const Clock& clock_;
  const FileTimes& files_;
  ProcessStarter& starter_;
  SiteLock& lock_;
  std::unique_ptr<Ending> ending_;
  FileAge watchedAge_;
  FileAge lockAge_;
};

}  // namespace tessik
