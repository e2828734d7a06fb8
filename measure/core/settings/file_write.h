// Writing the small files of the site folder safely.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace varnel {

// Outcome of writing a file: ok, or the reason it failed (for the status
// label or standard error).  On failure nothing in the program changed.
struct WriteResult {
  bool ok = true;
  std::string error;

  static WriteResult Success() { return {}; }
  static WriteResult Failure(std::string why) { return {false, std::move(why)}; }
  explicit operator bool() const { return ok; }
};

// Replaces the leading bytes of `file` with `head` and keeps whatever the
// old file held beyond head's end, without ever leaving a half-written file:
// the new content goes to a temporary file in the same folder, is flushed to
// disk and then renamed over the old one.  A file that exists but is not
// writable is refused (the operator locked it).  The temporary file is
// removed when anything fails.
WriteResult OverwriteFileHead(const std::filesystem::path& file, std::span<const uint8_t> head);

// Appends `bytes` to `file` (created when missing) in one write; a write
// that fails half way is cut back so that the file ends where it ended.
WriteResult AppendToFile(const std::filesystem::path& file, std::string_view bytes);

}  // namespace varnel
