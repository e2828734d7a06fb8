// The data file slot: the one result file a measurement run keeps open.
//
// A run opens it at its first start (OpenForRun) and closes it on stop, exit
// or the forced stop.  The waveform CSV export shares the slot and refuses
// while IsOpen() is true.
//
// Every record reaches the file whole or not at all: it is assembled first
// and handed to the kernel in one write, a partial write (disk full, file
// size limit) is cut back to the record boundary, and the data is synced
// before the call returns.  The watchdog judges the program by the file's
// modification time, and a crash or power cut must lose no record already
// written.
//
// While a run holds the slot, a record append first makes sure the file under
// the path is the one open: if the open failed earlier, or the file was
// removed or replaced since, it is opened (and, in text form, given its
// header when it is empty) again, so records resume as soon as the file can
// be written.
#pragma once

#include <string>
#include <string_view>

#include "form/form.h"
#include "form/state.h"
#include "store/record_format.h"

namespace varnel::store {

class DataFile {
 public:
  DataFile() = default;
  ~DataFile();
  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;

  // Opens the file for a run.  Binary: read and write, created if missing,
  // never shortened, nothing written.  Text: opened for appending and the
  // header line for 4 x groupCount channels with the given threshold texts
  // written at once (again on every run, also to a file that has one).
  // The slot is held for the run even when this fails (false, reason in
  // *whyNot): the next record tries again.
  bool OpenForRun(const std::string& pathUtf8, bool binary, int groupCount, const ThresholdTexts& thresholds,
                  std::string* whyNot = nullptr);
  // Closes the file and reopens it under `pathUtf8` in the same form without
  // a header (unless the file is new or empty).  False when the file is not
  // held for a run or cannot be opened.
  bool Reopen(const std::string& pathUtf8, std::string* whyNot = nullptr);
  // Closes the file and releases the slot.
  void Close();

  // True while a run holds the slot (even while the file itself could not be
  // opened after an error).
  bool IsOpen() const { return held_; }
  // True while the operating-system file is open.
  bool HasHandle() const { return fd_ >= 0; }
  bool IsBinary() const { return binary_; }
  const std::string& Path() const { return path_; }

  // Appends one text line (UTF-8, line end included) in code page 932.
  // A torn line left at the end of the file (a power cut during a write) is
  // first cut back to the last whole line, so every line stays one whole
  // record; the header of a first start is appended the same way.
  bool AppendTextLine(std::string_view utf8Line, std::string* whyNot);
  // Appends one 1000-byte binary record at the last whole-record boundary
  // (a torn tail left by a crash is overwritten, so the file stays a whole
  // number of records).
  bool AppendBinaryRecord(std::string_view record, std::string* whyNot);

 private:
  bool OpenHandle(std::string* whyNot);
  bool MendTornLine(std::string* whyNot);
  bool EnsureCurrent(std::string* whyNot);
  bool AppendAt(std::string_view bytes, bool alignToRecords, std::string* whyNot);
  void CloseHandle();

  int fd_ = -1;
  bool held_ = false;
  bool binary_ = false;
  std::string path_;
  std::string headerCp932_;  // header line of the text form, line end included
};

// OpenForRun with the window's values: Text4, BinaryFormat, GroupCount and
// the threshold texts Text5(0..3).
bool OpenDataFileForRun(DataFile& file, const PolModeForm& form, const MeasureState& state,
                        std::string* whyNot = nullptr);

}  // namespace varnel::store
