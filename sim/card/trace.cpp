#include "trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "requests.h"

namespace cardsim {
namespace {

std::string Stamp(std::chrono::steady_clock::time_point when = std::chrono::steady_clock::now()) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%09lld", static_cast<long long>(ns / 1000000000),
                static_cast<long long>(ns % 1000000000));
  return text;
}

std::string RequestName(uint32_t code) {
  if (const RequestInfo* r = FindRequestByCode(code)) return std::string(r->name);
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}

}  // namespace

// Forwards everything to the server's call; a completion that is really sent
// gets its line, stamped just before it goes.
class Trace::TracedCall final : public platform::DeviceCall {
 public:
  TracedCall(Trace& trace, std::shared_ptr<platform::DeviceCall> inner, uint64_t number)
      : trace_(trace), inner_(std::move(inner)), number_(number) {}

  uint32_t Code() const override { return inner_->Code(); }
  std::span<const uint8_t> Input() const override { return inner_->Input(); }
  uint32_t OutputLength() const override { return inner_->OutputLength(); }
  bool Complete(uint32_t status, std::span<const uint8_t> output) override {
    return Send(status, [&] { return inner_->Complete(status, output); });
  }
  bool CompleteClaiming(uint32_t status, uint32_t claimedBytes, std::span<const uint8_t> output) override {
    return Send(status, [&] { return inner_->CompleteClaiming(status, claimedBytes, output); });
  }
  void Pend() override { inner_->Pend(); }
  bool Finished() const override { return inner_->Finished(); }
  void OnCancel(std::function<void()> fn) override { inner_->OnCancel(std::move(fn)); }

 private:
  // The trace is held from the stamp until the line is written: the client
  // cannot send its next request before this completion reaches it, so that
  // request's line, which waits for the trace, always comes later.
  template <typename SendFn>
  bool Send(uint32_t status, SendFn send) {
    std::lock_guard lock(trace_.mu_);
    const std::string when = Stamp();
    const bool sent = send();
    if (sent)
      trace_.WriteLocked(when + " " + std::to_string(number_) + " complete " + RequestName(Code()) + " " +
                         std::to_string(status));
    return sent;
  }

  Trace& trace_;
  const std::shared_ptr<platform::DeviceCall> inner_;
  const uint64_t number_;
};

std::unique_ptr<Trace> Trace::Open(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "--trace " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<Trace>(new Trace(fd));
}

Trace::~Trace() { ::close(fd_); }

std::shared_ptr<platform::DeviceCall> Trace::Received(std::shared_ptr<platform::DeviceCall> call,
                                                      std::chrono::steady_clock::time_point arrived) {
  std::lock_guard lock(mu_);  // numbers and request lines in arrival order
  const uint64_t number = ++calls_;
  WriteLocked(Stamp(arrived) + " " + std::to_string(number) + " request " + RequestName(call->Code()));
  return std::make_shared<TracedCall>(*this, std::move(call), number);
}

void Trace::WriteLocked(const std::string& line) {
  // One write per line, so that a reader following the file sees whole
  // lines in the order they were written.
  const std::string text = line + "\n";
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk ends the trace, never the card
    done += static_cast<size_t>(n);
  }
}

}  // namespace cardsim
