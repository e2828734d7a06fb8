// A card stand-in served in the test's own process, with a device handle to
// it, and helpers that build and issue its requests.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "device_test_util.h"
#include "platform/device.h"
#include "morlex/driver.h"
#include "requests.h"

namespace cardtest {

inline const std::string kDeviceName = std::string(morlex::kDeviceClassGuid) + "-0";

// The 80-byte parameter block, built byte by byte.
struct Block {
  std::array<uint8_t, 80> bytes{};
  Block& U16(size_t off, uint16_t v) {
    bytes[off] = static_cast<uint8_t>(v);
    bytes[off + 1] = static_cast<uint8_t>(v >> 8);
    return *this;
  }
  Block& U32(size_t off, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) bytes[off + i] = static_cast<uint8_t>(v >> (8 * i));
    return *this;
  }
  // Card type, channels 0..n-1, interval, samples per channel, buffer size.
  static Block Acquisition(uint16_t cardType, uint16_t channels, uint16_t interval, uint16_t unit, uint32_t perChannel) {
    Block b;
    b.U16(0, cardType).U16(2, 0x300).U16(6, 5).U16(8, 3).U16(10, channels);
    for (uint16_t c = 0; c < channels; ++c) b.U16(12 + 2 * c, c);
    b.U16(28, interval).U16(30, unit).U32(36, perChannel).U32(40, perChannel * channels);
    b.U32(48, 2 * perChannel * channels + 32);
    return b;
  }
};

struct Result {
  bool ok = false;        // completed at once, successfully
  uint32_t error = 0;     // when not ok
  uint32_t bytes = 0;
  std::vector<uint8_t> out;
  uint16_t Word16(size_t off) const { return static_cast<uint16_t>(out[off] | (out[off + 1] << 8)); }
  uint32_t Word32(size_t off) const {
    return static_cast<uint32_t>(out[off]) | (static_cast<uint32_t>(out[off + 1]) << 8) |
           (static_cast<uint32_t>(out[off + 2]) << 16) | (static_cast<uint32_t>(out[off + 3]) << 24);
  }
  uint16_t Sample(size_t i) const { return Word16(2 * i); }
};

// A request that pends: its buffer, event and record live here.
struct Pending {
  std::vector<uint8_t> out;
  platform::Event event;
  platform::Overlapped ov;
  uint32_t error = 0;
  bool accepted = false;  // the request pends
};

inline Result Issue(platform::Device& dev, uint32_t code, std::vector<uint8_t> in, uint32_t outLen) {
  Result r;
  r.out.assign(outLen, 0xEE);
  platform::Event ev;
  platform::Overlapped ov;
  ov.event = &ev;
  r.ok = dev.IoControl(code, in.data(), static_cast<uint32_t>(in.size()), r.out.data(), outLen, &r.bytes, &ov,
                       r.error);
  if (!r.ok && r.error == platform::ERROR_IO_PENDING) dev.Cancel(&ov);  // never leave one behind
  return r;
}

inline Result Issue(platform::Device& dev, uint32_t code, const Block& b, uint32_t outLen) {
  return Issue(dev, code, std::vector<uint8_t>(b.bytes.begin(), b.bytes.end()), outLen);
}

inline std::unique_ptr<Pending> Start(platform::Device& dev, uint32_t code, std::vector<uint8_t> in, uint32_t outLen) {
  auto p = std::make_unique<Pending>();
  p->out.assign(outLen, 0xEE);
  p->ov.event = &p->event;
  uint32_t bytes = 0;
  const bool done = dev.IoControl(code, in.data(), static_cast<uint32_t>(in.size()), p->out.data(), outLen,
                                  &bytes, &p->ov, p->error);
  p->accepted = !done && p->error == platform::ERROR_IO_PENDING;
  return p;
}

inline std::unique_ptr<Pending> Start(platform::Device& dev, uint32_t code, const Block& b, uint32_t outLen) {
  return Start(dev, code, std::vector<uint8_t>(b.bytes.begin(), b.bytes.end()), outLen);
}

// Waits (bounded) for a pending request; the result holds its outcome.
inline Result Finish(platform::Device& dev, Pending& p, uint32_t limitMs = 10000) {
  Result r;
  if (p.event.Wait(limitMs) != platform::WAIT_OBJECT_0) {
    dev.Cancel(&p.ov);
    r.error = platform::WAIT_TIMEOUT;
    return r;
  }
  r.ok = dev.GetOverlappedResult(&p.ov, &r.bytes, true, r.error);
  r.out = p.out;
  return r;
}

inline std::vector<uint8_t> Pair(uint32_t a, uint32_t b) {
  std::vector<uint8_t> v(8);
  for (size_t i = 0; i < 4; ++i) {
    v[i] = static_cast<uint8_t>(a >> (8 * i));
    v[4 + i] = static_cast<uint8_t>(b >> (8 * i));
  }
  return v;
}

}  // namespace cardtest
