// The main window's start-up and measurement cycle, free of any UI toolkit.
//
// PolMode owns the cycle state and implements the window's handlers; the Qt
// shell forwards timer ticks, clicks and relay events here and mirrors the
// form model into widgets.  Analysis, storage, settings and graph are reached
// through hooks so the cycle can be tested on its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "cycle/morlex_api.h"
#include "morlex.h"
#include "form/form.h"
#include "ports/ports.h"
#include "form/state.h"

namespace varnel {

// Exit statuses of the measurement program.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitSetupFailure = 1;     // the card refused its set-up or stopped answering
inline constexpr int kExitForcedStop = 2;       // abnormal data in a record
inline constexpr int kExitAnotherInstance = 3;  // the site folder is in use
inline constexpr int kExitLibraryMissing = 4;   // the A/D library cannot be bound

// Notification codes of the A/D library (morlex.h), as the cycle names them.
inline constexpr int16_t kNotifyStarted = AD_STATUS_STARTED;
inline constexpr int16_t kNotifyFifoOverrun = AD_STATUS_FIFO_OVERRUN;
inline constexpr int16_t kNotifyWaitingTrigger = AD_STATUS_WAIT_TRIGGER;
inline constexpr int16_t kNotifyFailed = AD_STATUS_FAILED;
inline constexpr int16_t kNotifyStopTrigger = AD_STATUS_STOPPED_EXT;
inline constexpr int16_t kNotifyCountReached = AD_STATUS_COMPLETE;

// AdStartPolModeThread: the driver did not complete the acquisition in time;
// the library cancelled it and posted its failure notification.
inline constexpr int32_t kPolTimedOut = AD_POL_TIMED_OUT;
// Blocks given up in a row (time-outs) after which the program ends, so that
// the watchdog starts a fresh one.
inline constexpr int kTimeoutsBeforeEnd = 3;
// The block guard: how long after the acquisition call has returned the
// cycle waits for the block's final notification before it gives the block
// up.  Twice the block's acquisition time (SampCount x sampling interval),
// at least kBlockGuardFloorMs.
inline constexpr uint32_t kBlockGuardFloorMs = 5000;
uint32_t BlockGuardMs(int32_t sampCount, int16_t sampInterval, int16_t sampUnit);

// Settings as read from the settings file, applied by the start-up.
struct LoadedSettings {
  float shuntOhm = 330;
  std::string dataPath;
  int16_t freqIndex = 0;
  int16_t dataInterval = 1;
  int16_t waveInterval = 10;
};

struct PolModeHooks {
  std::function<uint32_t()> getKivoWnd;            // relay window, 0 when none
  std::function<void()> drawScale;                 // empty grid
  std::function<void()> buildFrequencyTables;      // after a power-frequency change
  std::function<void()> dtSyori;                   // analysis of the block
  std::function<LoadedSettings()> stfLood;         // reads SETDT.DAT into the form
  std::function<bool(std::string& why)> stfSave;   // writes SETDT.DAT
  std::function<bool(const std::string&)> logPR;   // appends to ErrLog.csv
  // Opens the data file for a new run (closing one still open) and writes
  // the text header; false with a reason when it cannot be opened.
  std::function<bool(std::string& why)> openDataFile;
  std::function<void()> closeDataFile;
  std::function<void()> repaintStatus;             // IDC_STATUS redrawn at once
  std::function<void(int status)> endProgram;      // the program ends
};

class PolMode {
 public:
  // `blockGuard` is the block guard's timer: silent (interval 0) except
  // while a block's final notification is awaited.
  PolMode(PolModeForm& form, MeasureState& state, MorlexApi& morlex, platform::Timer& timer1,
          platform::Timer& polTimer, platform::Timer& blockGuard, SerialPort& port, MessageBoxes& boxes,
          PolModeHooks hooks, uint32_t windowHandle = 0);

  // Start-up; the picture's inner size in pixels.
  void Form_Load(float graphWidth, float graphHeight);

  void IDB_START_Click();
  void Timer1_Timer();
  void PolTimer_Timer();
  void BlockGuard_Timer();
  void KIVO7100_OnMsgPost(int16_t wParam, int32_t lParam);
  void IDB_STOP_Click();
  void IDCANCEL_Click();
  void Form_LostFocus();
  void Text2_Change();
  void Option1_Click(int index);
  void Option2_Click(int index);
  void Option3_Click(int index);
  void IDR_START_INTERNAL_Click();
  void IDR_START_EXTERNAL_Click();
  void IDR_STOP_INTERNAL_Click();
  void IDR_STOP_EXTERNAL_Click();
  void Check1_Click();

  // The operator finished editing a box that SETDT.DAT keeps (Enter, or the
  // focus left it): the shunt (Text1), the data-file path (Text4), the data
  // save interval (Combo1) and the waveform save interval (Combo2).  The
  // entered text is taken only when a restart would load it unchanged
  // (settings/limits.h); otherwise the box and the run keep the value they
  // had and the status line says why.  True when the text was taken.
  bool Text1_Commit(const std::string& entered);
  bool Text4_Commit(const std::string& entered);
  bool Combo1_Commit(const std::string& entered);
  bool Combo2_Commit(const std::string& entered);

  bool Running() const { return running_ != 0; }
  // False when start-up was cut short (no card).
  bool Loaded() const { return loaded_; }
  bool Ended() const { return ended_; }
  bool CycleInFlight() const { return dataMem_ != 0; }
  int16_t StartTrigSel() const { return startTrigSel_; }
  int16_t StopTrigSel() const { return stopTrigSel_; }
  // Ends the program with its files closed (fatal errors, forced stop).
  void EndProgram(int status);

 private:
  bool ReadFirstStartSettings();
  void UpdateXRange();
  bool SetUpCard();
  void SendTrigger();
  bool OpenRunFiles();
  void Fatal(const std::string& statusText);
  void ShowStatus(const std::string& text);
  void RestartTimer1FromText2();
  void ReleaseBuffer();
  void CopyBlock(int32_t count);
  void GiveUpBlock();
  void SelectGroupOption();

  PolModeForm& form_;
  MeasureState& state_;
  MorlexApi& morlex_;
  platform::Timer& timer1_;
  platform::Timer& polTimer_;
  platform::Timer& blockGuard_;
  SerialPort& port_;
  MessageBoxes& boxes_;
  PolModeHooks hooks_;
  uint32_t hwnd_;

  int16_t running_ = 0;
  int16_t startTrigSel_ = 0;
  int16_t stopTrigSel_ = 0;
  uintptr_t dataMem_ = 0;         // buffer of the cycle in flight, 0 when none
  int64_t dataMemSamples_ = 0;    // its capacity in samples
  bool acquisitionStarted_ = false;
  bool stopped_ = false;          // a stop arrived while a cycle was in flight
  bool libraryTimedOut_ = false;  // the library gave the block in flight up
  bool blockGivenUp_ = false;     // the guard gave the last block up: its notifications are dropped
  int timeoutsInRow_ = 0;         // blocks given up since the last completed one
  bool relayBoxShown_ = false;
  bool loaded_ = false;
  bool ended_ = false;
};

}  // namespace varnel
