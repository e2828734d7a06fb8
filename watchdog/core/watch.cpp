#include "watch.h"

#include <cmath>

#include "form/form.h"
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
  }
}

void Watchdog::Exit() {
  form_.timerEnabled = false;
  form_.exitRequested = true;
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
  // A missing file gives no age to judge: report it and wait for the next
  // tick rather than start programs against a path that may simply be wrong.
  if (!Check(nowTime)) return;

  const double now = text::ToOleDate(nowTime);
  const double restartMinutes = text::LeadingNumber(form_.restartMinutes);

  if (!(MinutesBetween(form_.lastUpdate, now) > restartMinutes)) return;

  // A clock set back behind the last start would hold every restart until
  // the clock catches up again; count the period from now instead.
  if (form_.lastStart > now) form_.lastStart = now;
  if (MinutesBetween(form_.lastStart, now) < restartMinutes) return;

  StartProgram(now, nowTime);
}

void Watchdog::StartProgram(double now, const LocalDateTime& nowTime) {
  const StartResult result = starter_.Start(form_.programPath);
  if (!result.started) {
    // Nothing counts as a start: the next tick tries again.
    form_.statusLabel = kStartFailedStatus + form_.programPath;
    if (!result.reason.empty()) form_.statusLabel += " (" + result.reason + ")";
    return;
  }
  ++form_.restartCount;
  form_.restartCountLabel = text::PlainForm(form_.restartCount);
  form_.lastStartLabel = text::FormatSlashed(nowTime);
  form_.lastStart = now;
}

}  // namespace tessik
