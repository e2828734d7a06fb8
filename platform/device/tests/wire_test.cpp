#include "wire.h"

#include <gtest/gtest.h>

#include <vector>

namespace pw = platform::wire;

namespace {

// A completion header for id 0x0102030405060708, status 1117, 20 bytes
// claimed, 20 bytes of payload, written out byte by byte.
std::vector<uint8_t> CompletionBytes() {
  return {0x51, 0x44, 0x41, 0x31,  // magic "QDA1"
          0x03, 0x00, 0x00, 0x00,  // kind Completed, reserved
          0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,
          0x5D, 0x04, 0x00, 0x00,  // 1117
          0x14, 0x00, 0x00, 0x00,  // 20
          0x14, 0x00, 0x00, 0x00,  // 20
          0x00, 0x00, 0x00, 0x00};
}

TEST(DeviceWire, EncodesTheDocumentedLittleEndianLayout) {
  pw::Header h;
  h.kind = pw::FrameKind::Completed;
  h.requestId = 0x0102030405060708ull;
  h.word1 = 1117;
  h.word2 = 20;
  h.payloadLen = 20;
  const auto bytes = pw::EncodeHeader(h);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), CompletionBytes());
}

TEST(DeviceWire, DecodesHandBuiltBytes) {
  const auto bytes = CompletionBytes();
  const auto h = pw::DecodeHeader(bytes);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->kind, pw::FrameKind::Completed);
  EXPECT_EQ(h->requestId, 0x0102030405060708ull);
  EXPECT_EQ(h->word1, 1117u);
  EXPECT_EQ(h->word2, 20u);
  EXPECT_EQ(h->payloadLen, 20u);
}

TEST(DeviceWire, RejectsTruncatedAndCorruptHeaders) {
  auto bytes = CompletionBytes();
  EXPECT_FALSE(pw::DecodeHeader(std::span(bytes).first(31)));

  auto badMagic = bytes;
  badMagic[0] ^= 0xFF;
  EXPECT_FALSE(pw::DecodeHeader(badMagic));

  for (uint8_t kind : {0, 5, 0xFF}) {
    auto badKind = bytes;
    badKind[4] = kind;
    EXPECT_FALSE(pw::DecodeHeader(badKind)) << int(kind);
  }

  auto reserved = bytes;
  reserved[30] = 1;
  EXPECT_FALSE(pw::DecodeHeader(reserved));

  auto huge = bytes;  // 64 MiB + 1
  huge[24] = 0x01;
  huge[25] = 0x00;
  huge[26] = 0x00;
  huge[27] = 0x04;
  EXPECT_FALSE(pw::DecodeHeader(huge));
  huge[24] = 0x00;  // exactly 64 MiB is still a valid size
  EXPECT_TRUE(pw::DecodeHeader(huge));
}

TEST(DeviceWire, PendingAndCancelFramesCarryNoPayload) {
  auto bytes = CompletionBytes();
  bytes[4] = static_cast<uint8_t>(pw::FrameKind::Pending);
  EXPECT_FALSE(pw::DecodeHeader(bytes));
  bytes[24] = 0;
  EXPECT_TRUE(pw::DecodeHeader(bytes));
  bytes[4] = static_cast<uint8_t>(pw::FrameKind::Cancel);
  EXPECT_TRUE(pw::DecodeHeader(bytes));
}

}  // namespace
