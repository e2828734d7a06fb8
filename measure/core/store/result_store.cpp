#include "store/result_store.h"

#include <cmath>

#include "store/waveform_file.h"
#include "text/numforms.h"
#include "text/paths.h"

namespace varnel::store {

namespace {

// A save interval as the divisor of the due rule: the leading number of the
// text rounded to an integer (halves to even).  nullopt for 0, no number or a
// value that does not fit, which ends the step that needs it.
std::optional<int32_t> IntervalOf(const std::string& text) {
  const std::optional<int32_t> v = text::ToInt32(text::LeadingNumber(text));
  if (!v || *v == 0) return std::nullopt;
  return v;
}

// The minute of a local time, unique over the calendar.
int64_t MinuteStamp(const text::LocalDateTime& t) {
  return ((static_cast<int64_t>(t.year) * 13 + t.month) * 32 + t.day) * 1440 + t.hour * 60 + t.minute;
}

float Single(double v) { return static_cast<float>(v); }

// Label8 indexes of the weather values of a record, in record order; the
// maximum wind speed follows from WeatherTotals.
constexpr int kWeatherLabels[] = {3, 4, 5, 9, 10, 11, 12};

}  // namespace

ResultStore::ResultStore(PolModeForm& form, MeasureState& state, DataFile& file, const Clock& clock)
    : form_(form), state_(state), file_(file), clock_(clock) {}

int ResultStore::Channels() const {
  const int channels = 4 * state_.groupCount;
  if (channels < 0) return 0;
  return channels > kRecordChannels ? kRecordChannels : channels;
}

void ResultStore::DTSave() {
  if (stopped_) return;
  // Records carry whole seconds, as the text form shows them.
  text::LocalDateTime now = clock_.Now();
  now.millisecond = 0;

  // Each call counts the sweep that has just ended.  The first call after
  // start-up has none behind it: counting it would divide the first record's
  // totals by one sweep more than were analysed.
  const int32_t sweepsEnded = sweepBehind_ ? 1 : 0;
  sweepBehind_ = true;

  // 1. Record due?
  const std::optional<int32_t> v = IntervalOf(form_.Combo1.text);
  if (!v) {
    // No interval: no record and no snapshot.  The sweep is in the totals
    // all the same, so it is counted: the next record divides the totals by
    // every sweep they hold.
    sweepCount_ += sweepsEnded;
    return;
  }
  const int m = now.minute;
  // At most one record per minute.  The minute is told apart by its whole
  // date and time: with interval 60 every record falls on minute 0, and a
  // minute-of-hour alone would let only the first hour's record through.
  const int64_t stamp = MinuteStamp(now);
  const bool due = m % *v == 0 && lastRecordStamp_ != stamp;

  if (due) {
    lastRecordMinute_ = static_cast<int16_t>(m);
    lastRecordStamp_ = stamp;
    sweepCount_ += sweepsEnded;
    // A due call with no whole sweep behind it stores nothing and starts the
    // period here.
    if (sweepCount_ == 0) return;
    if (!StoreRecord(now)) return;
  } else {
    sweepCount_ += sweepsEnded;
  }

  ScheduledWaveform(now);
}

RecordValues ResultStore::ComputeRecord(int32_t n, float* dcSum) const {
  RecordValues values{};
  for (int k = 0; k < 7; ++k)
    values[WeatherIndex(k)] = Single(text::LeadingNumber(form_.Label8[static_cast<std::size_t>(kWeatherLabels[k])].text));
  values[WeatherIndex(7)] = state_.weather.maxWindSpeed;

  const double count = static_cast<double>(n);
  // Half cycles per block: 10 at 50 Hz, 12 otherwise.
  const double halfCycles = form_.Option2[0].selected ? 10.0 : 12.0;
  float sum = 0.0f;
  for (int ch = 0; ch < Channels(); ++ch) {
    const ChannelTotals& t = state_.results[static_cast<std::size_t>(ch)];
    const float parts[] = {t.Fhc, t.F1c, t.Flc, t.DCc, t.ALLc};
    for (int k = 0; k < 5; ++k) values[ComponentIndex(ch, k)] = Single(static_cast<double>(parts[k]) / count);
    values[ComponentIndex(ch, 5)] = Single(std::sqrt(static_cast<double>(t.Rms) / count));
    sum = sum + values[ComponentIndex(ch, 3)];  // single-precision sum of the DC averages

    values[PeakIndex(ch, 0)] = t.MaxPeak;
    for (int j = 0; j < 4; ++j) {
      const auto uj = static_cast<std::size_t>(j);
      values[PeakIndex(ch, 1 + j)] = Single(static_cast<double>(t.TimeCount[uj]) / count / 1250.0 * 100.0);
      values[PeakIndex(ch, 5 + j)] = Single(static_cast<double>(t.HalfCycleCount[uj]) / count / halfCycles * 100.0);
    }
  }
  if (dcSum) *dcSum = sum;
  return values;
}

void ResultStore::ClearTotals() {
  state_.weather = WeatherTotals{};
  for (int ch = 0; ch < Channels(); ++ch) state_.results[static_cast<std::size_t>(ch)] = ChannelTotals{};
}

bool ResultStore::StoreRecord(const text::LocalDateTime& now) {
  float dcSum = 0.0f;
  const RecordValues values = ComputeRecord(sweepCount_, &dcSum);

  // Abnormal data: the mean DC of all channels in mA, scaled by R / 5000.
  bool abnormal = false;
  if (state_.groupCount > 0) {
    const double r = text::LeadingNumber(form_.Text1.text);
    const double x = std::fabs(static_cast<double>(dcSum) / 4.0 / state_.groupCount * r / 5000.0);
    abnormal = x > kAbnormalDcLimit;
  }

  // The record is assembled whole and handed over in one write.
  std::string why;
  bool written = false;
  if (file_.IsBinary()) {
    written = file_.AppendBinaryRecord(EncodeBinaryRecord({text::ToOleDate(now), values}), &why);
  } else {
    std::string line = DataRecordLine(now, values, Channels());
    if (abnormal) line += kForcedStopMark;
    line += kLineEnd;
    written = file_.AppendTextLine(line, &why);
  }

  if (written) {
    ClearTotals();
    sweepCount_ = 0;
    ReportSuccess();
  } else {
    // The totals stay: the next due record covers this period as well.
    ReportError("ﾃﾞｰﾀﾌｧｲﾙ書込みｴﾗｰ: " + why);
  }

  if (abnormal) {
    file_.Close();
    stopped_ = true;
    if (onForcedStop) onForcedStop();
    return false;
  }

  if (written && now.minute % 30 == 0) {
    if (!file_.Reopen(form_.Text4.text, &why)) ReportError("ﾃﾞｰﾀﾌｧｲﾙ書込みｴﾗｰ: " + why);
  }
  return true;
}

void ResultStore::ScheduledWaveform(const text::LocalDateTime& now) {
  const std::optional<int32_t> w = IntervalOf(form_.Combo2.text);
  if (!w) return;  // no interval: the step ends, a pending snapshot stays pending
  const int t = now.hour * 60 + now.minute;
  const int64_t stamp = MinuteStamp(now);
  const bool due = form_.Check1.checked && t % *w == 0 && lastWaveStamp_ != stamp;
  if (due) {
    wavePending_ = true;
    lastWaveTime_ = static_cast<int16_t>(t);
    lastWaveStamp_ = stamp;
    // The sweep that follows fills the store anew.
    state_.waves.Reset(Channels());
  } else if (wavePending_) {
    wavePending_ = false;
    const std::string name = ScheduledWaveformName(form_.Text4.text, now);
    if (!WriteWaveformFile(name, state_.waves)) Report("波形ﾌｧｲﾙ書込みｴﾗｰ: " + name);
  }
}

void ResultStore::ReportError(const std::string& message) {
  writeFailing_ = true;
  Report(message);
}

void ResultStore::Report(const std::string& message) {
  if (onWriteError) {
    onWriteError(message);
  } else {
    form_.IDC_STATUS.text = message;
  }
}

void ResultStore::ReportSuccess() {
  if (!writeFailing_) return;
  writeFailing_ = false;
  if (onWriteRecovered) onWriteRecovered();
}

std::string ScheduledWaveformName(const std::string& dataPath, const text::LocalDateTime& now) {
  return text::FolderPart(dataPath) + text::FormatStamp(now) + "Wev.dat";
}

}  // namespace varnel::store
