#include "file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace varnel::fleet {

namespace {

// Bytes read at most in one go: well over a thousand text records.
constexpr std::size_t kReadBytes = 4u << 20;

}  // namespace

uint64_t HashBytes(std::string_view bytes) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

FileReader::~FileReader() {
  if (fd_ >= 0) ::close(fd_);
}

FileReader::FileReader(FileReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), position_(std::move(other.position_)), parser_(std::move(other.parser_)) {}

FileReader& FileReader::operator=(FileReader&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    position_ = std::move(other.position_);
    parser_ = std::move(other.parser_);
  }
  return *this;
}

bool FileReader::Open(const std::string& path, std::string* whyNot) {
  if (fd_ >= 0) ::close(fd_);
  parser_.reset();
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    if (whyNot) *whyNot = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  ::fstat(fd_, &st);
  position_ = FilePosition{};
  position_.path = path;
  position_.device = static_cast<uint64_t>(st.st_dev);
  position_.inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

uint64_t FileReader::Size() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

bool FileReader::StillAt(const std::string& path) const {
  struct stat named {};
  if (::stat(path.c_str(), &named) != 0) return false;
  return static_cast<uint64_t>(named.st_dev) == position_.device &&
         static_cast<uint64_t>(named.st_ino) == position_.inode;
}

bool FileReader::CutBelowPosition() const {
  if (Size() < position_.offset) return true;
  return position_.offset > 0 && !Matches(position_);
}

std::string FileReader::ReadAt(uint64_t offset, std::size_t length) const {
  std::string out(length, '\0');
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::pread(fd_, out.data() + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

FilePosition FileReader::PositionAt(uint64_t offset, const std::string& header) const {
  FilePosition p = position_;
  p.offset = offset;
  p.header = header;
  const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(offset, kHashBytes));
  p.headHash = HashBytes(ReadAt(0, n));
  p.tailHash = HashBytes(ReadAt(offset - n, n));
  return p;
}

bool FileReader::Matches(const FilePosition& p) const {
  if (fd_ < 0 || Size() < p.offset) return false;
  if (p.offset == 0) return true;
  const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(p.offset, kHashBytes));
  return HashBytes(ReadAt(0, n)) == p.headHash && HashBytes(ReadAt(p.offset - n, n)) == p.tailHash;
}

void FileReader::ResumeAt(const FilePosition& p) {
  const std::string path = position_.path;
  const uint64_t device = position_.device, inode = position_.inode;
  position_ = p;
  // The file may have been found under another name or copied: the name
  // and identity are those of the file open now.
  position_.path = path;
  position_.device = device;
  position_.inode = inode;
  parser_.reset();
}

void FileReader::Restart() {
  position_.offset = 0;
  position_.header.clear();
  position_.headHash = position_.tailHash = HashBytes({});
  parser_.reset();
}

FileReader::Chunk FileReader::Read(std::size_t maxRecords, int binaryChannels) {
  Chunk chunk;
  chunk.next = position_;
  if (fd_ < 0) return chunk;
  if (!parser_) {
    const auto form = SniffForm(ReadAt(0, 16));
    if (!form) return chunk;  // too new to tell
    parser_.emplace(*form, binaryChannels);
  }
  // The header in force at the position (a failed commit may have left the
  // parser further on).
  parser_->SetHeader(position_.header);
  const std::string bytes = ReadAt(position_.offset, kReadBytes);
  ParseOutcome parsed = parser_->Parse(bytes, maxRecords);
  if (parsed.consumed == 0 && bytes.size() == kReadBytes) {
    // No line end in a whole read: not a record; step over it.
    parsed.consumed = bytes.size();
    parsed.problems.push_back("no line end in " + std::to_string(bytes.size()) + " bytes at byte " +
                              std::to_string(position_.offset) + "; skipped");
  }
  if (parsed.consumed == 0) return chunk;
  chunk.any = true;
  chunk.records = std::move(parsed.records);
  chunk.problems = std::move(parsed.problems);
  chunk.next = PositionAt(position_.offset + parsed.consumed, parser_->Header());
  return chunk;
}

void FileReader::Advance(const FilePosition& next) { position_ = next; }

}  // namespace varnel::fleet
