// Reading the measurement program's data file, in either form, as it grows.
//
// The parser takes the bytes of a data file from a record boundary on and
// returns the whole records at their start; a torn tail (a text line without
// its CR LF, a binary record of fewer than 1000 bytes) is left for a later
// call, when the writer has finished it.  Shared by varnel-data and by
// varnel-collect, so that both read the files the same way.
//
// Text form: code page 932 lines ending in CR LF.  A header line ("時刻,...")
// is written at the start of every run of the program, so headers may appear
// between records; each gives the threshold texts of the records after it.
// A record line has 9 + 15 x channels fields (69, 129 or 249), the last
// possibly followed by the forced-stop mark.  A line that is neither (for
// example a torn line that the next run appended to) is skipped and reported.
//
// Binary form: 1000-byte records without a header; the channel count is not
// stored and comes from the caller (the site's settings).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/record_format.h"
#include "text/numforms.h"

namespace varnel::fleet {

enum class RecordForm { kText, kBinary };

// Detection levels of the four thresholds, mA, as the header gives them.
using Thresholds = std::array<float, 4>;

struct DataRecord {
  text::LocalDateTime time;  // the site's local time
  int channels = 16;         // 4, 8 or 16
  store::RecordValues values{};
  bool forcedStop = false;                // the line ends with the forced-stop mark
  std::optional<Thresholds> thresholds;  // from the header in force, when known
};

// The form of a data file from its first bytes: text files start with the
// header in code page 932.  nullopt while too few bytes are there to tell.
std::optional<RecordForm> SniffForm(std::string_view firstBytes);

// The threshold texts of a header line (UTF-8, without line end); nullopt
// when the line is not a header of 4, 8 or 16 channels.
std::optional<store::ThresholdTexts> ParseHeaderLine(std::string_view utf8Line);

// One record line (UTF-8, without line end); nullopt with the reason when it
// does not fit the layout.
std::optional<DataRecord> ParseRecordLine(std::string_view utf8Line, std::string* whyNot);

// "2005/06/01 15:30:00" or, at midnight, "2005/06/01".
std::optional<text::LocalDateTime> ParseGeneralDateTime(std::string_view text);

// A single as the double of its shortest decimal text (2.9f -> 2.9, not
// 2.9000000953674316): the number the data file shows, which a database of
// doubles keeps and a reader of singles hands on.
double DecimalOf(float v);

// One 1000-byte binary record (at least kRecordBytes bytes) of `channels`
// channels; the channels beyond them are left out of the record.
DataRecord DecodeBinaryDataRecord(std::string_view bytes, int channels);

struct ParseOutcome {
  std::vector<DataRecord> records;
  std::size_t consumed = 0;           // bytes of whole lines or records taken
  std::vector<std::string> problems;  // lines skipped, with the reason
};

class RecordParser {
 public:
  // `binaryChannels`: channel count of binary records (4, 8 or 16).
  RecordParser(RecordForm form, int binaryChannels);

  RecordForm Form() const { return form_; }
  // The header line in force (UTF-8, text form), kept with the file position
  // so that a restart in the middle of a file knows the thresholds again.
  const std::string& Header() const { return header_; }
  void SetHeader(std::string header);

  // Parses whole records at the start of `bytes`, at most `maxRecords`.
  ParseOutcome Parse(std::string_view bytes, std::size_t maxRecords);

 private:
  void TakeLine(std::string_view cp932Line, std::size_t lineStart, ParseOutcome& out);

  RecordForm form_;
  int binaryChannels_;
  std::string header_;
  std::optional<Thresholds> thresholds_;
};

// Every whole record of a file, read at once (varnel-data).  `tornTail`
// receives the bytes after the last whole record.
struct FileRecords {
  RecordForm form = RecordForm::kBinary;
  std::vector<DataRecord> records;
  std::vector<std::string> problems;
  std::size_t tornTail = 0;
};
std::optional<FileRecords> ReadDataFile(const std::string& path, std::optional<RecordForm> form, int binaryChannels,
                                        std::string* whyNot);

}  // namespace varnel::fleet
