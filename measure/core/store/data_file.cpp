#include "store/data_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "store/file_io.h"
#include "text/cp932.h"

namespace varnel::store {

namespace {

void SetWhy(std::string* whyNot, std::string why) {
  if (whyNot) *whyNot = std::move(why);
}

// The longest tail that is cut back as half a line.  A line the program
// writes (the header or a record of 16 channels) is a few kilobytes; a
// longer stretch without a line end is not ours to throw away.
constexpr off_t kLongestTornLine = 64 * 1024;

// Reads up to `count` bytes at `offset`; false on a read error.
bool ReadAt(int fd, off_t offset, char* buf, std::size_t count, std::size_t* got) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd, buf + done, count - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  *got = done;
  return true;
}

// The offset just after the last line feed before `size`, searched back at
// most `limit` bytes; -1 when there is none in that stretch, -2 on a read
// error.
off_t AfterLastLineFeed(int fd, off_t size, off_t limit) {
  char buf[4096];
  const off_t stop = size > limit ? size - limit : 0;
  for (off_t end = size; end > stop;) {
    const off_t begin = std::max(stop, end - static_cast<off_t>(sizeof buf));
    std::size_t got = 0;
    if (!ReadAt(fd, begin, buf, static_cast<std::size_t>(end - begin), &got)) return -2;
    for (std::size_t i = got; i > 0; --i)
      if (buf[i - 1] == '\n') return begin + static_cast<off_t>(i);
    end = begin;
  }
  return -1;
}

}  // namespace

DataFile::~DataFile() { CloseHandle(); }

bool DataFile::OpenForRun(const std::string& pathUtf8, bool binary, int groupCount, const ThresholdTexts& thresholds,
                          std::string* whyNot) {
  IgnoreFileSizeSignal();
  CloseHandle();
  held_ = true;
  binary_ = binary;
  path_ = pathUtf8;
  headerCp932_.clear();
  if (!binary) {
    int channels = 4 * groupCount;
    if (channels < 0) channels = 0;
    if (channels > kRecordChannels) channels = kRecordChannels;
    headerCp932_ = text::ToCp932(DataHeaderLine(channels, thresholds) + std::string(kLineEnd));
  }
  if (!OpenHandle(whyNot)) return false;
  if (!binary_) return AppendAt(headerCp932_, false, whyNot);
  return true;
}

bool DataFile::Reopen(const std::string& pathUtf8, std::string* whyNot) {
  if (!held_) {
    SetWhy(whyNot, "the data file is not open");
    return false;
  }
  CloseHandle();
  path_ = pathUtf8;
  if (!OpenHandle(whyNot)) return false;
  return EnsureCurrent(whyNot);
}

void DataFile::Close() {
  CloseHandle();
  held_ = false;
}

void DataFile::CloseHandle() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool DataFile::OpenHandle(std::string* whyNot) {
  // 0666 before the umask, as any file the program creates.
  // The text form is read as well: its tail is checked for a torn line.
  const int flags = binary_ ? (O_RDWR | O_CREAT | O_CLOEXEC) : (O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC);
  fd_ = ::open(path_.c_str(), flags, 0666);
  if (fd_ < 0) {
    SetWhy(whyNot, "cannot open " + path_ + ": " + ErrnoText(errno));
    return false;
  }
  return true;
}

// Makes sure the file open is the file under the path, reopening it when the
// open failed before or the file was removed or replaced meanwhile.  A text
// file found empty gets its header first.
bool DataFile::EnsureCurrent(std::string* whyNot) {
  if (!held_) {
    SetWhy(whyNot, "the data file is not open");
    return false;
  }
  if (fd_ >= 0) {
    struct stat open {};
    struct stat named {};
    const bool sameFile = ::fstat(fd_, &open) == 0 && ::stat(path_.c_str(), &named) == 0 &&
                          open.st_dev == named.st_dev && open.st_ino == named.st_ino;
    if (!sameFile) CloseHandle();
  }
  if (fd_ < 0 && !OpenHandle(whyNot)) return false;
  if (!binary_ && !headerCp932_.empty()) {
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_size == 0) return AppendAt(headerCp932_, false, whyNot);
  }
  return true;
}

// A text file that does not end with a line end holds half a line: a power
// cut or a crash during the last write, or a write cut short whose cut-back
// failed.  The next line would run on from it and both records would be
// lost to a reader, so the file is made whole first:
//  - ending in CR: the record is complete but for its LF, which is added;
//  - otherwise the half line (and whatever zeros a power cut left after
//    it) is cut back to the last line end, or to nothing when the file
//    holds no line end at all;
//  - a tail longer than any line the program writes is left as it is and
//    ended with CR LF, so nothing that is not ours is thrown away.
bool DataFile::MendTornLine(std::string* whyNot) {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    SetWhy(whyNot, "cannot examine " + path_ + ": " + ErrnoText(errno));
    return false;
  }
  if (st.st_size == 0) return true;
  char last = 0;
  std::size_t got = 0;
  if (!ReadAt(fd_, st.st_size - 1, &last, 1, &got) || got != 1) {
    SetWhy(whyNot, "cannot read " + path_ + ": " + ErrnoText(errno));
    return false;
  }
  if (last == '\n') return true;
  std::string_view ending;
  if (last == '\r') {
    ending = "\n";
  } else {
    const off_t cut = AfterLastLineFeed(fd_, st.st_size, kLongestTornLine);
    if (cut == -2) {
      SetWhy(whyNot, "cannot read " + path_ + ": " + ErrnoText(errno));
      return false;
    }
    if (cut >= 0 || st.st_size <= kLongestTornLine) {
      if (::ftruncate(fd_, cut >= 0 ? cut : 0) != 0) {
        SetWhy(whyNot, "cannot cut back the torn line of " + path_ + ": " + ErrnoText(errno));
        return false;
      }
      return true;
    }
    ending = kLineEnd;
  }
  if (WriteAll(fd_, ending) != ending.size()) {
    SetWhy(whyNot, "cannot end the torn line of " + path_ + ": " + ErrnoText(errno));
    return false;
  }
  return true;
}

bool DataFile::AppendAt(std::string_view bytes, bool alignToRecords, std::string* whyNot) {
  if (!alignToRecords && !MendTornLine(whyNot)) return false;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    SetWhy(whyNot, "cannot examine " + path_ + ": " + ErrnoText(errno));
    return false;
  }
  off_t start = st.st_size;
  std::size_t written = 0;
  if (alignToRecords) {
    start -= start % static_cast<off_t>(kRecordBytes);
    if (::lseek(fd_, start, SEEK_SET) < 0) {
      SetWhy(whyNot, "cannot seek in " + path_ + ": " + ErrnoText(errno));
      return false;
    }
  }
  // Text form: O_APPEND puts the bytes at the end, which is `start`.
  written = WriteAll(fd_, bytes);
  if (written != bytes.size()) {
    const int err = errno;
    // Cut a torn record back to where it started, so the file never holds a
    // part of a record (a following record would otherwise land off the grid
    // or on the same text line).
    if (written > 0 && ::ftruncate(fd_, start) != 0) {
      SetWhy(whyNot, "cannot write " + path_ + ": " + ErrnoText(err) + "; cannot cut back the partial record: " +
                         ErrnoText(errno));
      return false;
    }
    SetWhy(whyNot, "cannot write " + path_ + ": " + ErrnoText(err));
    return false;
  }
  if (::fdatasync(fd_) != 0) {
    // The data is with the kernel; a device that cannot sync (a pipe, some
    // network file systems) is no reason to drop the record.
    if (errno != EINVAL && errno != EROFS) {
      SetWhy(whyNot, "cannot sync " + path_ + ": " + ErrnoText(errno));
      return false;
    }
  }
  return true;
}

bool DataFile::AppendTextLine(std::string_view utf8Line, std::string* whyNot) {
  if (!EnsureCurrent(whyNot)) return false;
  if (binary_) {
    SetWhy(whyNot, "the data file is open in binary form");
    return false;
  }
  return AppendAt(text::ToCp932(utf8Line), false, whyNot);
}

bool DataFile::AppendBinaryRecord(std::string_view record, std::string* whyNot) {
  if (record.size() != kRecordBytes) {
    SetWhy(whyNot, "a binary record must be 1000 bytes");
    return false;
  }
  if (!EnsureCurrent(whyNot)) return false;
  if (!binary_) {
    SetWhy(whyNot, "the data file is open in text form");
    return false;
  }
  return AppendAt(record, true, whyNot);
}

bool OpenDataFileForRun(DataFile& file, const PolModeForm& form, const MeasureState& state, std::string* whyNot) {
  ThresholdTexts thresholds;
  for (std::size_t j = 0; j < thresholds.size(); ++j) thresholds[j] = form.Text5[j].text;
  return file.OpenForRun(form.Text4.text, state.binaryFormat != 0, state.groupCount, thresholds, whyNot);
}

}  // namespace varnel::store
