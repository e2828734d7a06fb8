// DTSave: the storage step run at the start of every sweep.
//
// It decides whether a data record is due (once per data save interval, at
// most once per minute), writes it in the data file's form, clears the totals
// of the storage period, stops the program on an abnormal mean DC level,
// closes and reopens the data file every half hour, and arms and writes the
// scheduled waveform snapshot.
//
// A record that cannot be written (disk full, file size limit, folder gone)
// is reported through onWriteError and leaves the totals of the period in
// place: the next due record then covers the whole time since the last stored
// record, its averages divided by all the sweeps of that time, so nothing
// measured is lost while the file cannot be written.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "form/form.h"
#include "ports/ports.h"
#include "form/state.h"
#include "store/data_file.h"
#include "store/record_format.h"

namespace varnel::store {

// Mean DC of all channels, scaled by R / 5000, above which the program stops.
inline constexpr double kAbnormalDcLimit = 4.0;

class ResultStore {
 public:
  ResultStore(PolModeForm& form, MeasureState& state, DataFile& file, const Clock& clock);

  // One storage step; reads the window's settings afresh at every call.
  void DTSave();

  // The program ends: called once after the abnormal-data record has been
  // written and the data file closed.  Later DTSave calls do nothing.
  std::function<void()> onForcedStop;
  // A record or a snapshot could not be written; the text says which file and
  // why.  Without a handler the text goes to the status label IDC_STATUS.
  std::function<void(const std::string&)> onWriteError;
  // The first data record written after a failed one.
  std::function<void()> onWriteRecovered;

  // Storage state, for the window and for tests.  LastRecordMinute is the
  // minute of the hour, LastWaveTime hour x 60 + minute, of the last record
  // period and the last armed capture.
  int32_t SweepCount() const { return sweepCount_; }
  std::optional<int16_t> LastRecordMinute() const { return lastRecordMinute_; }
  std::optional<int16_t> LastWaveTime() const { return lastWaveTime_; }
  bool WavePending() const { return wavePending_; }
  bool Stopped() const { return stopped_; }
  bool WriteFailing() const { return writeFailing_; }

  // The values of the record that would be written now with n sweeps, and
  // the mean-DC sum (in single precision) used by the abnormal-data check.
  RecordValues ComputeRecord(int32_t n, float* dcSum) const;

 private:
  int Channels() const;
  // Record step; false when the call must end (forced stop).
  bool StoreRecord(const text::LocalDateTime& now);
  void ScheduledWaveform(const text::LocalDateTime& now);
  void ClearTotals();
  // A data record failed (tracked for onWriteRecovered), or any failure.
  void ReportError(const std::string& message);
  void Report(const std::string& message);
  void ReportSuccess();

  PolModeForm& form_;
  MeasureState& state_;
  DataFile& file_;
  const Clock& clock_;

  int32_t sweepCount_ = 0;
  bool sweepBehind_ = false;  // a call has run before: a sweep ended since
  std::optional<int16_t> lastRecordMinute_;
  std::optional<int16_t> lastWaveTime_;
  std::optional<int64_t> lastRecordStamp_;  // whole minute of the last record period
  std::optional<int64_t> lastWaveStamp_;    // whole minute of the last capture
  bool wavePending_ = false;
  bool stopped_ = false;
  bool writeFailing_ = false;
};

// The name of a scheduled waveform snapshot: the folder of `dataPath`, the
// time as yyyymmdd-hhmm, then "Wev.dat".
std::string ScheduledWaveformName(const std::string& dataPath, const text::LocalDateTime& now);

}  // namespace varnel::store
