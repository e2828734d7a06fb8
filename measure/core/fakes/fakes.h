// Deterministic stand-ins for the platform interfaces, for tests only: a
// settable clock and window timers driven by virtual time (the platform's
// own fakes), a scripted serial port and recorded message boxes.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/testing/manual_clock.h"
#include "platform/testing/manual_timer.h"
#include "ports/ports.h"

namespace varnel::fakes {

// The platform's fakes, under the names the measurement tests use.
using platform::testing::ManualClock;
using platform::testing::ManualTimer;
using platform::testing::ManualTimerHub;

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
