// The stand-in's request trace (--trace FILE): one line per request received
// and per completion sent, so that tools can time what a client does at the
// driver interface without listening on the wire themselves.
//
//   <seconds> <call> request <NAME>
//   <seconds> <call> complete <NAME> <status>
//
// <seconds> is the monotonic clock (CLOCK_MONOTONIC, as Python's
// time.monotonic) with nanosecond digits; <call> numbers the requests from 1
// in the order they arrive; <NAME> is the request's name in the driver header
// (IOCTL_AD_START_POL) or its code in hexadecimal when the driver does not
// know it; <status> is the system error code the request completed with (0
// for success).  A request cancelled by its client has no completion line.
// A completion is stamped just before it is sent.  Lines are in the order of
// their stamps.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/device_server.h"

namespace cardsim {

class Trace {
 public:
  // Creates or empties `path`.  Null with `error` when it cannot be written.
  static std::unique_ptr<Trace> Open(const std::string& path, std::string& error);
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  // Notes the request's arrival and returns the call to hand to the card in
  // its place: it notes the call's completion when it is sent.
  std::shared_ptr<platform::DeviceCall> Received(std::shared_ptr<platform::DeviceCall> call,
                                                 std::chrono::steady_clock::time_point arrived);

 private:
  class TracedCall;
  explicit Trace(int fd) : fd_(fd) {}
  void WriteLocked(const std::string& line);  // with mu_ held

  const int fd_;
  std::mutex mu_;  // held while a line is stamped, its completion sent and the line written
  uint64_t calls_ = 0;
};

}  // namespace cardsim
