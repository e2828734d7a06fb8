#include "watch.h"

#include <cmath>
#include <limits>

#include "form/form.h"
#include "instance/instance_lock.h"
#include "settings/setdt.h"

namespace tessik {

namespace text = varnel::text;

std::string DefaultWatchedPath() { return varnel::kDesignDataPath; }

std::string WatchedPathFromSettings(const std::filesystem::path& settingsFile) {
  std::optional<std::string> path = varnel::ReadSettingsDataPath(settingsFile);
  if (!path || path->empty()) return DefaultWatchedPath();
  return *path;
}

double MinutesBetween(double from, double to) {
  constexpr double kMsPerDay = 86'400'000.0;
  constexpr double kMsPerMinute = 60'000.0;
  return std::round((to - from) * kMsPerDay) / kMsPerMinute;
}

void Watchdog::Load(const std::filesystem::path& settingsFile, const std::string& currentDir) {
  form_.watchedPath = WatchedPathFromSettings(settingsFile);
  form_.programPath = currentDir + varnel::kPathSeparator + kProgramName;
  form_.timerEnabled = false;
}

void Watchdog::ToggleWatching() {
  if (form_.startButtonCaption == kStartCaption) {
    form_.timerEnabled = true;
    form_.startButtonCaption = kInterruptCaption;
  } else {
    form_.timerEnabled = false;
    form_.startButtonCaption = kStartCaption;
    StopEnding();
  }
}

void Watchdog::Exit() {
  form_.timerEnabled = false;
  form_.exitRequested = true;
  StopEnding();
}

bool Watchdog::Check(const LocalDateTime& now) {
  const std::optional<LocalDateTime> modified = files_.LastModified(form_.watchedPath);
  form_.lastCheckLabel = text::FormatSlashed(now);
  if (!modified) {
    form_.statusLabel = kFileMissingStatus + form_.watchedPath;
    return false;
  }
  form_.lastUpdate = text::ToOleDate(*modified);
  form_.lastUpdateLabel = text::FormatSlashed(*modified);
  form_.statusLabel.clear();
  return true;
}

void Watchdog::Tick() {
  const LocalDateTime nowTime = clock_.Now();
  if (ending_) {
    // A hung program is being ended and the start follows it: the labels
    // advance, the status line keeps telling how the ending goes.
    const std::string status = form_.statusLabel;
    Check(nowTime);
    form_.statusLabel = status;
    return;
  }
  const bool fileSeen = Check(nowTime);
  const double now = text::ToOleDate(nowTime);
  const double restartMinutes = text::LeadingNumber(form_.restartMinutes);
  const bool stale = fileSeen && watchedAge_.Minutes(form_.lastUpdate, now) > restartMinutes;
  // No program holds the site's lock: nobody measures, whatever the data
  // file says.  A new site has no data file yet, and after a restart of the
  // service or the machine a recent one would hold the start back for a
  // whole restart period.  While a program holds the lock, a missing file
  // only means it has not written yet (or the path is wrong): reported,
  // never a reason to start another.
  if (!stale && lock_.Held()) return;

  // A clock set back behind the last start would hold every restart until
  // the clock catches up again; count the period from now instead.
  if (form_.lastStart > now) form_.lastStart = now;
  if (MinutesBetween(form_.lastStart, now) < restartMinutes) return;

  Replace(now, nowTime);
}

double FileAge::Minutes(double fileTime, double now) {
  const double age = MinutesBetween(fileTime, now);
  if (age >= 0) {
    aheadFileTime_ = aheadSince_ = 0.0;
    return age;
  }
  if (fileTime != aheadFileTime_ || aheadSince_ > now) {
    aheadFileTime_ = fileTime;
    aheadSince_ = now;
  }
  return MinutesBetween(aheadSince_, now);
}

double Watchdog::SilentMinutes(double now) {
  const std::optional<LocalDateTime> mark = files_.LastModified(lock_.LockFile());
  if (!mark) return std::numeric_limits<double>::infinity();
  return lockAge_.Minutes(text::ToOleDate(*mark), now);
}

void Watchdog::Replace(double now, const LocalDateTime& nowTime) {
  LockInspection found = lock_.Inspect();
  if (found.state == LockInspection::State::SiteProgram && found.holder) {
    const int pid = found.holder->Pid();
    if (!(SilentMinutes(now) > varnel::instance::kHungAfterSilentMinutes)) {
      // Its event loop runs: it is only not writing (just started, or a
      // data-save interval longer than the restart time).  Ending it would
      // lose a working measurement.
      form_.statusLabel = kLiveHolderStatus + std::to_string(pid) + ")";
      return;
    }
    // The program holds the lock, has written nothing for longer than the
    // restart time and shows no sign of life: it is hung, and a new one
    // would end at once on the lock.  End it first.
    std::string why;
    if (!found.holder->Terminate(why)) {
      form_.statusLabel = kEndFailedStatus + std::to_string(pid) + ") " + why;
      return;  // nothing counts as a start; the next tick tries again
    }
    ending_ = std::make_unique<Ending>();
    ending_->holder = std::move(found.holder);
    form_.statusLabel = HolderText(kEndingStatus);
    form_.endingTimerEnabled = true;
    return;
  }
  // A holder that is not provably ours is never signalled.  The start goes
  // ahead as before: should the holder let go, the new program runs.
  if (found.state == LockInspection::State::Unproven) form_.statusLabel = kHolderLeftStatus + found.why;
  StartProgram(now, nowTime);
}

void Watchdog::EndingPoll() {
  if (!ending_) {
    form_.endingTimerEnabled = false;
    return;
  }
  if (!lock_.Held()) {
    const std::string replaced = HolderText(kReplacedStatus);
    StopEnding();
    const LocalDateTime nowTime = clock_.Now();
    if (StartProgram(text::ToOleDate(nowTime), nowTime)) form_.statusLabel = replaced;
    return;
  }
  if (--ending_->pollsLeft > 0) return;

  std::string why;
  if (!ending_->killed && ending_->holder->Kill(why)) {
    ending_->killed = true;
    ending_->pollsLeft = kKillPolls;
    form_.statusLabel = HolderText(kKillingStatus);
    return;
  }
  // Killed and still holding the lock (a process stuck in the kernel ends
  // only when its request does), or not even killable: the next watch tick
  // tries again.
  if (why.empty()) why = "SIGKILL の後もロックを持っています";
  form_.statusLabel = HolderText(kEndFailedStatus) + " " + why;
  StopEnding();
}

void Watchdog::StopEnding() {
  ending_.reset();
  form_.endingTimerEnabled = false;
}

std::string Watchdog::HolderText(const char* status) const {
  return status + std::to_string(ending_->holder->Pid()) + ")";
}

bool Watchdog::StartProgram(double now, const LocalDateTime& nowTime) {
  const StartResult result = starter_.Start(form_.programPath);
  if (!result.started) {
    // Nothing counts as a start: the next tick tries again.
    form_.statusLabel = kStartFailedStatus + form_.programPath;
    if (!result.reason.empty()) form_.statusLabel += " (" + result.reason + ")";
    return false;
  }
  ++form_.restartCount;
  form_.restartCountLabel = text::PlainForm(form_.restartCount);
  form_.lastStartLabel = text::FormatSlashed(nowTime);
  form_.lastStart = now;
  return true;
}

}  // namespace tessik
