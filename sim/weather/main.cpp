// weather-station-sim: a weather station on a pseudo-terminal.
//
// The measurement program opens the terminal's device as its serial port.
// The station answers every LOOP request with a packet built from its
// profile, after a reply delay, with the faults its options ask for.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "options.h"

namespace {

using Clock = std::chrono::steady_clock;
using weathersim::Options;

struct Pending {
  Clock::time_point due;
  std::vector<uint8_t> bytes;
};

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[4];
  for (const uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%02X ", v);
    s += b;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

class Station {
 public:
  explicit Station(Options o) : o_(std::move(o)), start_(Clock::now()) {}
  ~Station() { Cleanup(); }

  bool Open(std::string* error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
      return false;
    }
    const char* name = ptsname(master_);
    if (name == nullptr) {
      *error = "ptsname failed";
      return false;
    }
    device_ = name;
    // Keep one descriptor of the device open ourselves: the terminal then
    // never hangs up between clients, and it is raw from the start, so that
    // no echo or line editing touches the binary packets even before the
    // client sets the line up.
    slave_ = open(device_.c_str(), O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
      *error = "cannot open " + device_ + ": " + std::strerror(errno);
      return false;
    }
    termios t{};
    if (tcgetattr(slave_, &t) == 0) {
      cfmakeraw(&t);
      cfsetispeed(&t, B2400);
      cfsetospeed(&t, B2400);
      tcsetattr(slave_, TCSANOW, &t);
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (!o_.linkPath.empty() && !MakeLink(error)) return false;
    return true;
  }

  const std::string& Device() const { return device_; }

  // Runs until one of `stopSignals` arrives (they are blocked by the caller).
  int Run(const sigset_t& waitMask) {
    if (o_.burst && !o_.silent) nextBurst_ = Clock::now() + std::chrono::milliseconds(o_.burstMs);
    for (;;) {
      const auto now = Clock::now();
      SendDue(now);
      auto next = Clock::time_point::max();
      if (!pending_.empty()) next = pending_.front().due;
      if (nextBurst_) next = std::min(next, *nextBurst_);
      next = std::min(next, now + kReleasePeriod);
      timespec ts{};
      timespec* timeout = nullptr;
      if (next != Clock::time_point::max()) {
        const auto wait = std::max(next - now, Clock::duration::zero());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        ts.tv_sec = static_cast<time_t>(ns / 1000000000);
        ts.tv_nsec = static_cast<long>(ns % 1000000000);
        timeout = &ts;
      }
      pollfd p{master_, POLLIN, 0};
      const int r = ppoll(&p, 1, timeout, &waitMask);
      if (r < 0) {
        if (errno == EINTR) {
          if (stopRequested) return 0;
          continue;
        }
        std::cerr << "weather-station-sim: poll: " << std::strerror(errno) << "\n";
        return 1;
      }
      if (r > 0 && (p.revents & POLLIN)) ReadRequests();
      ReleaseExclusiveMode();
      if (nextBurst_ && Clock::now() >= *nextBurst_) {
        // Nobody reads a line that is not open: drop what the last burst left.
        int unread = 0;
        if (ioctl(slave_, FIONREAD, &unread) == 0 && unread > 0) tcflush(slave_, TCIFLUSH);
        QueueReply(Clock::now(), "burst");
        *nextBurst_ += std::chrono::milliseconds(o_.burstMs);
      }
    }
  }

  static volatile sig_atomic_t stopRequested;

 private:
  // A client's serial port library may claim the line for itself
  // (TIOCEXCL, as QSerialPort does); a real adapter is released on its
  // client's last close, which clears that.  This terminal is never
  // released, since the station holds a descriptor of it itself, so a
  // client killed before it could let go would keep every later client
  // but root out.  The claim is let go again at least once a second.
  static constexpr auto kReleasePeriod = std::chrono::seconds(1);
  void ReleaseExclusiveMode() { ioctl(slave_, TIOCNXCL); }

  bool MakeLink(std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path link(o_.linkPath);
    if (fs::is_symlink(fs::symlink_status(link, ec))) {
      fs::remove(link, ec);  // a stale link of an earlier run
    } else if (fs::exists(fs::symlink_status(link, ec))) {
      *error = o_.linkPath + " exists and is not a symbolic link; not replacing it";
      return false;
    }
    fs::create_symlink(device_, link, ec);
    if (ec) {
      *error = "cannot create the link " + o_.linkPath + ": " + ec.message();
      return false;
    }
    linked_ = true;
    return true;
  }

  void Cleanup() {
    if (linked_) {
      // Remove the link only while it still names our device.
      std::error_code ec;
      if (std::filesystem::read_symlink(o_.linkPath, ec) == device_) std::filesystem::remove(o_.linkPath, ec);
      linked_ = false;
    }
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
    slave_ = master_ = -1;
  }

  void ReadRequests() {
    uint8_t buf[256];
    for (;;) {
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) break;
      rx_.insert(rx_.end(), buf, buf + n);
    }
    const auto* req = std::begin(weathersim::kRequest);
    const auto* reqEnd = std::end(weathersim::kRequest);
    for (;;) {
      const auto it = std::search(rx_.begin(), rx_.end(), req, reqEnd);
      if (it == rx_.end()) break;
      rx_.erase(rx_.begin(), it + (reqEnd - req));
      if (o_.verbose) std::cerr << "weather-station-sim: request\n";
      if (!o_.silent) QueueReply(Clock::now() + std::chrono::milliseconds(o_.delayMs), "reply");
    }
    // Keep only a tail that may still become a request.
    const auto keep = static_cast<std::size_t>(reqEnd - req - 1);
    if (rx_.size() > keep) rx_.erase(rx_.begin(), rx_.end() - static_cast<std::ptrdiff_t>(keep));
  }

  void QueueReply(Clock::time_point due, const char* what) {
    const double elapsed = std::chrono::duration<double>(due - start_).count();
    auto pieces = weathersim::BuildReply(o_, replyIndex_++, elapsed);
    for (auto& piece : pieces) {
      if (o_.verbose) std::cerr << "weather-station-sim: " << what << " " << Hex(piece) << "\n";
      Insert(Pending{due, std::move(piece)});
      due += std::chrono::milliseconds(o_.splitGapMs);
    }
  }

  void Insert(Pending p) {
    auto at = std::upper_bound(pending_.begin(), pending_.end(), p.due,
                               [](Clock::time_point t, const Pending& q) { return t < q.due; });
    pending_.insert(at, std::move(p));
  }

  void SendDue(Clock::time_point now) {
    while (!pending_.empty() && pending_.front().due <= now) {
      const auto& bytes = pending_.front().bytes;
      const ssize_t n = write(master_, bytes.data(), bytes.size());
      if (n != static_cast<ssize_t>(bytes.size()) && o_.verbose)
        std::cerr << "weather-station-sim: line full, " << bytes.size() << " bytes not all sent\n";
      pending_.pop_front();
    }
  }

  Options o_;
  Clock::time_point start_;
  int master_ = -1;
  int slave_ = -1;
  std::string device_;
  bool linked_ = false;
  std::vector<uint8_t> rx_;
  std::deque<Pending> pending_;
  std::optional<Clock::time_point> nextBurst_;
  uint64_t replyIndex_ = 0;
};

volatile sig_atomic_t Station::stopRequested = 0;

void OnStop(int) { Station::stopRequested = 1; }

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const auto options = weathersim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &error);
  if (!options) {
    std::cerr << "weather-station-sim: " << error << "\n";
    return 2;
  }
  if (options->help) {
    std::cout << weathersim::UsageText();
    return 0;
  }

  // The stop signals stay blocked except inside ppoll, so none is lost
  // between checking the flag and waiting.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGHUP);
  sigset_t waitMask;
  sigprocmask(SIG_BLOCK, &stops, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGHUP);
  struct sigaction sa{};
  sa.sa_handler = OnStop;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Station station(*options);
  if (!station.Open(&error)) {
    std::cerr << "weather-station-sim: " << error << "\n";
    return 1;
  }
  std::cout << "weather-station-sim: " << station.Device() << std::endl;
  return station.Run(waitMask);
}
