// The byte protocol between a device handle and the driver that serves the
// device endpoint (a Unix-domain stream socket).
//
// Every frame is a 32-byte little-endian header followed by `payloadLen`
// bytes:
//
//   offset size field
//     0     4   magic       0x31414451 ("QDA1")
//     4     2   kind        see FrameKind
//     6     2   reserved    0
//     8     8   requestId   chosen by the client, unique per connection
//    16     4   word1       request: control code   reply: system error code
//    20     4   word2       request: output length  reply: byte count claimed
//    24     4   payloadLen  request: input bytes    reply: output bytes sent
//    28     4   reserved    0
//
// Client to driver: Request (input bytes follow) and Cancel (no payload).
// Driver to client: every request gets exactly one Completed frame, and
// before it, when the driver did not finish the request at once, one Pending
// frame.  A Completed frame that arrives before any Pending frame is an
// immediate completion.  Replies for unknown or cancelled ids are ignored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace platform::wire {

inline constexpr uint32_t kMagic = 0x31414451u;
inline constexpr size_t kHeaderSize = 32;
// Larger payloads mean a corrupt stream; the connection is dropped.
inline constexpr uint32_t kMaxPayload = 64u * 1024u * 1024u;

enum class FrameKind : uint16_t {
  Request = 1,
  Cancel = 2,
  Completed = 3,
  Pending = 4,
};

struct Header {
  FrameKind kind = FrameKind::Request;
  uint64_t requestId = 0;
  uint32_t word1 = 0;
  uint32_t word2 = 0;
  uint32_t payloadLen = 0;
};

using HeaderBytes = std::array<uint8_t, kHeaderSize>;

HeaderBytes EncodeHeader(const Header& h);

// The header, or nothing when the bytes are not a valid header (wrong magic,
// unknown kind, non-zero reserved fields, oversized payload).
std::optional<Header> DecodeHeader(std::span<const uint8_t> bytes);

}  // namespace platform::wire
