// The waveform CSV export of the button IDB_SAVECSV ("CSV保存"): the last
// acquired block as text, one line per scan frame with the frame's time and
// the input voltage of every converted channel.
//
// File layout: no header; each line "time,v0,v1,...,vN-1" ended by CR LF.
//   time  seconds in "0.000E+##" (8.000E-5, 1.600E-4), the sum of k sampling
//         intervals by repeated double addition from 0.  The first line's 0 s
//         is written "0.000E+0": an exponent with its digit, like every other
//         line, so that any number reader takes the column whole.
//   v     volts in "#0.000" (-5.000, 2.499) from the raw code of the entry.
// Frame k holds block entries k x ChanCount + i.  V = BlockCount, at most
// ChanCount x SampCount, values are written; the last line is filled to
// full width when V is not a multiple of ChanCount (entries past the end of
// the block count as raw code 0, as the zero-filled block holds there).
//
// The export shares its file slot with the running data file: while a run
// holds the data file, it stops after the dialog with "ﾌｧｲﾙｵｰﾌﾟﾝｴﾗｰ" and
// touches no file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ports/ports.h"
#include "form/state.h"
#include "store/data_file.h"

namespace varnel::graph {

// Filter of the save dialog: description|pattern pairs.
inline constexpr std::string_view kCsvDialogFilter = "CSV files{*.csv}|*.csv|All files{*.*}|*.*";

struct FileFilter {
  std::string description;
  std::string pattern;
  friend bool operator==(const FileFilter&, const FileFilter&) = default;
};
// "desc|pattern|desc|pattern..." as pairs; a description without a pattern
// is dropped.
std::vector<FileFilter> ParseDialogFilter(std::string_view filter);

// What the file-save dialog is asked for.
struct SaveDialogRequest {
  std::string fileName;                  // proposed name: empty
  std::vector<FileFilter> filters;       // the two choices of kCsvDialogFilter
  std::string initialFolder;             // UTF-8: the program's folder
  bool overwritePrompt = true;           // an existing file is replaced only after confirmation
  bool cancelIsFailure = true;           // a cancel ends the export
  std::string defaultExtension;          // empty: a name typed without one stays as typed
};

// The platform's file-save dialog.
class SaveFileDialog {
 public:
  virtual ~SaveFileDialog() = default;
  // The chosen path (UTF-8), or nullopt when the user cancelled or the
  // dialog failed.
  virtual std::optional<std::string> AskSavePath(const SaveDialogRequest& request) = 0;
};

// Messages of the export and their titles.
inline constexpr const char* kSelectFileText = "ﾌｧｲﾙを選択して下さい。";
inline constexpr const char* kOpenErrorText = "ﾌｧｲﾙｵｰﾌﾟﾝｴﾗｰ";
inline constexpr const char* kSaveErrorText = "ﾌｧｲﾙ保存ｴﾗｰ";
inline constexpr const char* kErrorTitle = "error";
inline constexpr const char* kSavedText = "ﾌｧｲﾙ保存を終了しました。";
inline constexpr const char* kSavedTitle = "ﾌｧｲﾙ保存";

// Raw 13-bit code of block entry `index`: count + 2048 for the entries that
// the analysis converted to signed counts (0..5024), entry AND 0x1FFF for
// later ones, 0 past the end of the block.
int RawCode(const SampleBlock& block, std::size_t index);
// Input voltage of a raw code: unipolar card (cardType 1) r x 2.5 / 4096,
// 0 V with bit 12 set; any other card (the bipolar QDA7100B) r x 10 / 4096 - 5,
// -5 V with bit 12 set.
double RawCodeVolts(int rawCode, int16_t cardType);
// Sampling interval in seconds: SampInterval / 1, 1000 or 1000000 for
// SampUnit 0 ("sec"), 1 ("msec"), 2 ("usec"); an unknown unit counts as
// seconds.
double IntervalSeconds(int16_t sampInterval, int16_t sampUnit);
// Number of values written: BlockCount, at most ChanCount x SampCount, 0
// when either is not positive.
int64_t ExportValueCount(const MeasureState& state);
// Number of lines: frames k with k x ChanCount <= V - 1.
int64_t ExportLineCount(const MeasureState& state);

// Writes the lines of the export, in pieces of about `chunkBytes` that end
// on a line boundary, to `sink`; stops (false) as soon as the sink refuses.
bool ComposeWaveformCsv(const MeasureState& state, std::size_t chunkBytes,
                        const std::function<bool(std::string_view)>& sink);
// The whole export text (for tests and tools).
std::string WaveformCsvText(const MeasureState& state);

// IDB_SAVECSV_Click: dialog, file, outcome message.  Keeps no state between
// clicks; the block, settings and card are read at the click.
class CsvExport {
 public:
  CsvExport(SaveFileDialog& dialog, MessageBoxes& boxes, const MeasureState& state,
            const store::DataFile& dataFile, std::string programFolder)
      : dialog_(dialog), boxes_(boxes), state_(state), dataFile_(dataFile),
        programFolder_(std::move(programFolder)) {}

  void IDB_SAVECSV_Click();

  // The request the dialog gets.
  SaveDialogRequest DialogRequest() const;

 private:
  SaveFileDialog& dialog_;
  MessageBoxes& boxes_;
  const MeasureState& state_;
  const store::DataFile& dataFile_;
  std::string programFolder_;
};

}  // namespace varnel::graph
