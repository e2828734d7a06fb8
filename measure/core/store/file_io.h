// Small POSIX file helpers shared by the result files: whole writes that
// retry interrupted calls, whole-file reads and the replace-by-rename write.
#pragma once

#include <string>
#include <string_view>

namespace varnel::store {

// The process writes its result files with plain write(2) calls and judges
// every failure itself.  A file-size limit (RLIMIT_FSIZE) would otherwise
// kill the program with SIGXFSZ; with the signal ignored the write fails
// with EFBIG instead and is handled like a full disk.  Idempotent.
void IgnoreFileSizeSignal();

// Writes all of `bytes` to `fd`, retrying interrupted and short writes.
// Returns the number of bytes written; less than bytes.size() means failure
// and errno tells why.
std::size_t WriteAll(int fd, std::string_view bytes);

// The text of errno as a short English message ("No space left on device").
std::string ErrnoText(int err);

// Reads the whole file; false with the reason in *whyNot on failure.
bool ReadWholeFile(const std::string& path, std::string* out, std::string* whyNot);

// Replaces `path` with `bytes` atomically: temporary file beside it, fsync,
// rename.  False (and no temporary left behind) on any failure.
bool ReplaceFile(const std::string& path, std::string_view bytes, std::string* whyNot);

}  // namespace varnel::store
