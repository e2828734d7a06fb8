// Interfaces through which the measurement core reaches the platform: the
// clock, window timers, the serial port and message boxes.  The program wires
// the system clock and the Qt shell's timers, port and boxes; tests use the
// fakes of fakes/fakes.h.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/timer.h"

namespace varnel {

// The machine's clock (platform/clock.h).
using Clock = platform::Clock;

// Window timers (platform/timer.h).
using Timer = platform::Timer;

// The serial port shared by the weather link (bytes) and the multiplexer
// (DTR and RTS lines).  Operations report failure instead of throwing.
class SerialPort {
 public:
  virtual ~SerialPort() = default;
  virtual bool Open() = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  virtual bool Write(std::span<const uint8_t> bytes) = 0;
  // Number of bytes waiting in the receive buffer; -1 when the port fails.
  virtual int BytesWaiting() = 0;
  // Every waiting byte, unchanged.
  virtual std::vector<uint8_t> ReadAll() = 0;
  // 1: raise onComm whenever bytes arrive; 0: no receive notifications.
  virtual void SetReceiveThreshold(int threshold) = 0;
  virtual bool SetDtr(bool asserted) = 0;
  virtual bool SetRts(bool asserted) = 0;
  std::function<void()> onComm;
};

enum class MessageIcon { None, Error, Warning, Information, Question };

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // A modal box with one OK button.
  virtual void Show(const std::string& text, const std::string& title, MessageIcon icon) = 0;
};

}  // namespace varnel
