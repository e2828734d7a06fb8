// One data file read from a stored position on: the file is held open, so a
// file renamed or removed while it is read can still be read to its end.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "data_records.h"
#include "database.h"

namespace varnel::fleet {

// FNV-1a, 64 bits.
uint64_t HashBytes(std::string_view bytes);

class FileReader {
 public:
  // Bytes hashed at the head and before the position.
  static constexpr std::size_t kHashBytes = 4096;

  FileReader() = default;
  ~FileReader();
  FileReader(FileReader&& other) noexcept;
  FileReader& operator=(FileReader&& other) noexcept;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // Opens `path` to read it from its start; false when it cannot be opened.
  bool Open(const std::string& path, std::string* whyNot);
  // True when the open file is the one `position` was taken in: at least as
  // long, and the same bytes at its head and just before the offset.
  bool Matches(const FilePosition& position) const;
  // Continues at `position` (Matches must hold).
  void ResumeAt(const FilePosition& position);
  // Starts over at byte 0 (a file cut below the position).
  void Restart();

  bool IsOpen() const { return fd_ >= 0; }
  const FilePosition& Position() const { return position_; }
  // The form, once the file's first bytes tell it.
  std::optional<RecordForm> Form() const { return parser_ ? std::optional(parser_->Form()) : std::nullopt; }
  uint64_t Size() const;
  // True while the name still leads to this file.
  bool StillAt(const std::string& path) const;
  // True when the file has been cut below the position (rewritten).
  bool CutBelowPosition() const;

  struct Chunk {
    std::vector<DataRecord> records;
    std::vector<std::string> problems;
    FilePosition next;  // the position after these records
    bool any = false;   // bytes were taken (records, headers or skipped lines)
  };
  // Whole records after the position, at most `maxRecords`; `binaryChannels`
  // for a binary file.  The position moves only with Advance, after the
  // records are stored.
  Chunk Read(std::size_t maxRecords, int binaryChannels);
  void Advance(const FilePosition& next);

 private:
  std::string ReadAt(uint64_t offset, std::size_t length) const;
  FilePosition PositionAt(uint64_t offset, const std::string& header) const;

  int fd_ = -1;
  FilePosition position_;
  std::optional<RecordParser> parser_;
};

}  // namespace varnel::fleet
