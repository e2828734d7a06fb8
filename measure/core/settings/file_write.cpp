#include "settings/file_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace varnel {

namespace {

std::string Reason(const std::string& what, int err) { return what + ": " + std::strerror(err); }

// Closes a descriptor once.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports the close error (delayed write errors show here).
  int Close() {
    const int r = ::close(fd_);
    fd_ = -1;
    return r == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

// Writes all of `data`; returns 0 or the errno of the failure.
int WriteAll(int fd, const uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

// Copies `from` (already positioned) to `to` until the end of `from`.
int CopyRest(int from, int to) {
  uint8_t buf[16384];
  for (;;) {
    const ssize_t n = ::read(from, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    if (const int err = WriteAll(to, buf, static_cast<std::size_t>(n))) return err;
  }
}

std::filesystem::path TempNameBeside(const std::filesystem::path& file) {
  static std::atomic<unsigned> counter{0};
  std::filesystem::path tmp = file;
  tmp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
  return tmp;
}

void SyncFolder(const std::filesystem::path& folder) {
  // Makes the rename itself durable; a failure here loses no data.
  Fd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
}

}  // namespace

WriteResult OverwriteFileHead(const std::filesystem::path& requested, std::span<const uint8_t> head) {
  // Write through a symbolic link to the file it names, so the link stays.
  std::error_code ec;
  std::filesystem::path file = requested;
  if (std::filesystem::is_symlink(requested, ec)) {
    const auto target = std::filesystem::weakly_canonical(requested, ec);
    if (!ec) file = target;
  }
  const std::string name = file.filename().string();

  Fd old(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat oldStat {};
  if (old.valid()) {
    if (::fstat(old.get(), &oldStat) != 0) return WriteResult::Failure(Reason(name, errno));
    if (::access(file.c_str(), W_OK) != 0) return WriteResult::Failure(Reason(name, errno));
  } else if (errno != ENOENT) {
    return WriteResult::Failure(Reason(name, errno));
  }

  const std::filesystem::path tmp = TempNameBeside(file);
  Fd out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!out.valid()) return WriteResult::Failure(Reason(name, errno));

  auto fail = [&](int err) {
    out.Close();
    ::unlink(tmp.c_str());
    return WriteResult::Failure(Reason(name, err));
  };

  if (const int err = WriteAll(out.get(), head.data(), head.size())) return fail(err);
  if (old.valid()) {
    // The bytes of the old file beyond the new head stay in the file.
    const off_t keepFrom = static_cast<off_t>(head.size());
    if (oldStat.st_size > keepFrom) {
      if (::lseek(old.get(), keepFrom, SEEK_SET) < 0) return fail(errno);
      if (const int err = CopyRest(old.get(), out.get())) return fail(err);
    }
    ::fchmod(out.get(), oldStat.st_mode & 07777);
  }
  if (::fsync(out.get()) != 0) return fail(errno);
  if (const int err = out.Close()) {
    ::unlink(tmp.c_str());
    return WriteResult::Failure(Reason(name, err));
  }
  if (::rename(tmp.c_str(), file.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    return WriteResult::Failure(Reason(name, err));
  }
  SyncFolder(file.parent_path());
  return WriteResult::Success();
}

WriteResult AppendToFile(const std::filesystem::path& file, std::string_view bytes) {
  const std::string name = file.filename().string();
  Fd fd(::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
  if (!fd.valid()) return WriteResult::Failure(Reason(name, errno));
  struct stat before {};
  if (::fstat(fd.get(), &before) != 0) return WriteResult::Failure(Reason(name, errno));
  const int err = WriteAll(fd.get(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  if (err != 0) {
    // Leave no partial line behind.
    if (::ftruncate(fd.get(), before.st_size) != 0) {
      // Nothing more can be done; the error below is still reported.
    }
    return WriteResult::Failure(Reason(name, err));
  }
  if (const int closeErr = fd.Close()) return WriteResult::Failure(Reason(name, closeErr));
  return WriteResult::Success();
}

}  // namespace varnel
