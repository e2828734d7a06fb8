#include "wire.h"

namespace platform::wire {
namespace {

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint64_t Get64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

HeaderBytes EncodeHeader(const Header& h) {
  HeaderBytes b{};
  Put32(&b[0], kMagic);
  Put16(&b[4], static_cast<uint16_t>(h.kind));
  Put64(&b[8], h.requestId);
  Put32(&b[16], h.word1);
  Put32(&b[20], h.word2);
  Put32(&b[24], h.payloadLen);
  return b;
}

std::optional<Header> DecodeHeader(std::span<const uint8_t> bytes) {
  if (bytes.size() < kHeaderSize) return std::nullopt;
  const uint8_t* p = bytes.data();
  if (Get32(p) != kMagic || Get16(p + 6) != 0 || Get32(p + 28) != 0) return std::nullopt;
  const uint16_t kind = Get16(p + 4);
  if (kind < static_cast<uint16_t>(FrameKind::Request) || kind > static_cast<uint16_t>(FrameKind::Pending))
    return std::nullopt;
  Header h;
  h.kind = static_cast<FrameKind>(kind);
  h.requestId = Get64(p + 8);
  h.word1 = Get32(p + 16);
  h.word2 = Get32(p + 20);
  h.payloadLen = Get32(p + 24);
  if (h.payloadLen > kMaxPayload) return std::nullopt;
  if (h.kind == FrameKind::Cancel || h.kind == FrameKind::Pending) {
    if (h.payloadLen != 0) return std::nullopt;
  }
  return h;
}

}  // namespace platform::wire
