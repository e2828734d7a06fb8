// The watchdog window `Form1` as plain data.
//
// The core changes this model; the Qt window only mirrors it into widgets
// after every event and writes the three editable texts back before each one.
#pragma once

#include <cstdint>
#include <string>

namespace tessik {

inline constexpr const char* kWindowCaption = "自動起動ソフト";
inline constexpr const char* kWatchedPathCaption = "更新確認ファイル";
inline constexpr const char* kRestartMinutesCaption = "再起動時間";
inline constexpr const char* kMinutesUnitCaption = "分";
inline constexpr const char* kLastUpdateCaption = "最終更新日時";
inline constexpr const char* kLastCheckCaption = "最終確認日時";
inline constexpr const char* kLastStartCaption = "最終起動日時";
inline constexpr const char* kProgramPathCaption = "起動ソフト";
inline constexpr const char* kRestartCountCaption = "再起動回数:";
inline constexpr const char* kManualCheckCaption = "手動確認";
inline constexpr const char* kStartCaption = "スタート";
inline constexpr const char* kInterruptCaption = "中断";
inline constexpr const char* kExitCaption = "終了";

// The time labels start out showing their own format.
inline constexpr const char* kTimeLabelFormat = "yyyy/mm/dd HH:MM:SS";
inline constexpr const char* kDefaultRestartMinutes = "15";
// Name of the measurement program, started from the watchdog's folder.
inline constexpr const char* kProgramName = "Varnel";
// Period of the watch timer.
inline constexpr uint32_t kWatchIntervalMs = 60000;
// While a hung program is being ended, the lock is looked at this often
// (the ending timer), so the watchdog's one thread never waits in a call.
inline constexpr uint32_t kEndingPollMs = 500;
// Polls after SIGTERM before SIGKILL, and after SIGKILL before giving up
// until the next watch tick: 5 s each.
inline constexpr int kTerminatePolls = 10;
inline constexpr int kKillPolls = 10;

// Status line texts.  The status line shows the latest problem and is
// cleared by a check that finds the watched file.
inline constexpr const char* kFileMissingStatus = "更新確認ファイルが見つかりません: ";
inline constexpr const char* kStartFailedStatus = "起動できません: ";
// A program still holds the site's lock although the data file is stale:
// it is ended before the new one starts.  Each text is followed by the
// holder's process id and ")".
inline constexpr const char* kEndingStatus = "応答しないプログラムを終了します (pid ";
inline constexpr const char* kKillingStatus = "応答しないプログラムを強制終了します (pid ";
inline constexpr const char* kReplacedStatus = "応答しないプログラムを終了して起動しました (pid ";
// The holder still shows signs of life (it is running, only not writing):
// it is left alone and nothing is started (a new one would end at once on
// the lock).
inline constexpr const char* kLiveHolderStatus = "応答中のプログラムがロックを持っています (pid ";
// Followed by the process id, ") " and the reason.
inline constexpr const char* kEndFailedStatus = "応答しないプログラムを終了できません (pid ";
// The lock is held by a process that cannot be shown to be this site's
// program: it is left alone.  Followed by the reason.
inline constexpr const char* kHolderLeftStatus = "ロックを持つプロセスは終了しません: ";

struct Form1 {
  // The three text boxes; every check reads their current text.
  std::string watchedPath;                           // 更新確認ファイル
  std::string restartMinutes = kDefaultRestartMinutes;  // 再起動時間
  std::string programPath;                           // 起動ソフト

  // Value labels.
  std::string lastUpdateLabel = kTimeLabelFormat;
  std::string lastCheckLabel = kTimeLabelFormat;
  std::string lastStartLabel = kTimeLabelFormat;
  std::string restartCountLabel = "0";
  std::string statusLabel;

  std::string startButtonCaption = kStartCaption;  // "中断" while watching
  bool timerEnabled = false;                         // the 60 s watch timer
  bool endingTimerEnabled = false;                   // polls while a hung program ends
  bool exitRequested = false;                        // "終了" was pressed

  // Date-times as day numbers since 1899-12-30 00:00 (OLE dates).
  double lastUpdate = 0.0;  // `LastUpdate`: data file time at the latest check
  double lastStart = 0.0;   // `LastStart`: 0 until the first start
  int64_t restartCount = 0;
};

}  // namespace tessik
