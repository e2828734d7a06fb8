// Deterministic stand-ins for the platform interfaces, for tests and tools:
// a settable clock, window timers driven by virtual time, a scripted serial
// port and recorded message boxes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "form/ports.h"

namespace varnel::fakes {

class ManualClock : public Clock {
 public:
  text::LocalDateTime now;
  text::LocalDateTime Now() const override { return now; }
};

class ManualTimerHub;

// A timer that ticks only when its hub advances virtual time.
class ManualTimer : public Timer {
 public:
  explicit ManualTimer(ManualTimerHub& hub) : hub_(hub) {}
  void SetInterval(uint32_t ms) override;
  uint32_t Interval() const override { return interval_; }
  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return enabled_; }
  // Virtual time of the next tick, or -1 when the timer is silent.
  int64_t Deadline() const { return (enabled_ && interval_ > 0) ? deadline_ : -1; }

 private:
  friend class ManualTimerHub;
  void Restart();
  ManualTimerHub& hub_;
  uint32_t interval_ = 0;
  bool enabled_ = false;
  int64_t deadline_ = 0;
};

class ManualTimerHub {
 public:
  std::unique_ptr<ManualTimer> Make(uint32_t interval, bool enabled) {
    auto t = std::make_unique<ManualTimer>(*this);
    t->interval_ = interval;
    t->enabled_ = enabled;
    t->Restart();
    timers_.push_back(t.get());
    return t;
  }
  int64_t Now() const { return now_; }
  // Advances virtual time by `ms`, firing every tick that falls due, earliest
  // first; a tick handler may change any timer.
  void Advance(int64_t ms) {
    const int64_t end = now_ + ms;
    for (;;) {
      ManualTimer* next = nullptr;
      for (ManualTimer* t : timers_) {
        const int64_t d = t->Deadline();
        if (d >= 0 && d <= end && (next == nullptr || d < next->Deadline())) next = t;
      }
      if (next == nullptr) break;
      now_ = next->Deadline();
      next->Restart();  // periodic: the next countdown starts at the tick
      if (next->onTick) next->onTick();
    }
    now_ = end;
  }
  void Forget(ManualTimer* t) { timers_.erase(std::remove(timers_.begin(), timers_.end(), t), timers_.end()); }

 private:
  int64_t now_ = 0;
  std::vector<ManualTimer*> timers_;
};

inline void ManualTimer::Restart() { deadline_ = hub_.Now() + interval_; }
inline void ManualTimer::SetInterval(uint32_t ms) {
  interval_ = ms;
  Restart();
}
inline void ManualTimer::SetEnabled(bool enabled) {
  if (enabled && !enabled_) Restart();
  enabled_ = enabled;
}

// A serial port whose received bytes the test supplies.
class FakeSerialPort : public SerialPort {
 public:
  bool open = true;
  bool failWrites = false;
  bool dtr = false;
  bool rts = false;
  bool linesFail = false;  // like a pseudo-terminal: DTR/RTS unsupported
  int threshold = 1;
  std::vector<std::vector<uint8_t>> written;
  std::deque<uint8_t> rx;

  bool Open() override { return open = true; }
  void Close() override { open = false; }
  bool IsOpen() const override { return open; }
  bool Write(std::span<const uint8_t> bytes) override {
    if (!open || failWrites) return false;
    written.emplace_back(bytes.begin(), bytes.end());
    return true;
  }
  int BytesWaiting() override { return open ? static_cast<int>(rx.size()) : -1; }
  std::vector<uint8_t> ReadAll() override {
    std::vector<uint8_t> out(rx.begin(), rx.end());
    rx.clear();
    return out;
  }
  void SetReceiveThreshold(int t) override { threshold = t; }
  bool SetDtr(bool a) override {
    if (linesFail || !open) return false;
    dtr = a;
    return true;
  }
  bool SetRts(bool a) override {
    if (linesFail || !open) return false;
    rts = a;
    return true;
  }
  // Bytes arrive; the receive event fires when the threshold is 1.
  void Receive(const std::vector<uint8_t>& bytes) {
    rx.insert(rx.end(), bytes.begin(), bytes.end());
    if (threshold > 0 && onComm) onComm();
  }
};

struct ShownMessage {
  std::string text;
  std::string title;
  MessageIcon icon;
};

class RecordingMessageBoxes : public MessageBoxes {
 public:
  std::vector<ShownMessage> shown;
  void Show(const std::string& text, const std::string& title, MessageIcon icon) override {
    shown.push_back({text, title, icon});
  }
};

}  // namespace varnel::fakes
