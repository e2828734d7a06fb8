// The card driver's control requests and the fields of the 80-byte
// parameter block that the driver reads.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace cardsim {

// Control code of driver function `fn` (0x800 ...): buffered, any access.
constexpr uint32_t RequestCode(uint32_t fn) { return 0x854B2000u + 4u * (fn - 0x800u); }

enum Fn : uint32_t {
  kGetResource = 0x800,
  kSetParam = 0x801,
  kSetChannel = 0x802,
  kSetFreq = 0x803,
  kSetDataMem = 0x804,
  kSetDataCount = 0x805,
  kSetTrigger = 0x806,
  kSetLimitTrg = 0x807,
  kStartPol = 0x80A,
  kStartRing = 0x80B,
  kTestStartPol = 0x80C,
  kOneShot = 0x80D,
  kStopIrq = 0x80F,
  kTestStopPol = 0x810,
  kStopOneshot = 0x811,
  kRingCount = 0x814,
  kReadRing = 0x815,
  kRingStatus = 0x816,
  kReadTrgData = 0x817,
  kAllocRing = 0x81E,
  kFreeRing = 0x81F,
  kAllocTrg = 0x820,
  kFreeTrg = 0x821,
  kCreateSystemThread = 0x82A,
  kSetInternalClock = 0x82B,
  kSetExternalClock = 0x82C,
};

struct RequestInfo {
  uint32_t fn;
  std::string_view name;
  bool statusOutput;  // its output is a status word (--status applies)
};

// Every request of the driver interface, in function order.
std::span<const RequestInfo> AllRequests();
const RequestInfo* FindRequest(std::string_view name);  // by name, e.g. "IOCTL_AD_SET_FREQ"
const RequestInfo* FindRequestByCode(uint32_t code);

inline constexpr size_t kBlockSize = 80;

// The parameter-block fields the driver uses (little-endian offsets).
struct BlockFields {
  uint16_t cardType = 0;            // 0
  uint16_t ioBase = 0;              // 2
  uint16_t irqNumber = 0;           // 6
  uint16_t mode = 0;                // 8
  uint16_t channelCount = 0;        // 10
  std::array<uint16_t, 8> channelList{};  // 12
  uint16_t intervalValue = 0;       // 28
  uint16_t intervalUnit = 0;        // 30
  uint32_t samplesPerChannel = 0;   // 36
  uint32_t totalSamples = 0;        // 40
  uint32_t bufferBytes = 0;         // 48
  uint16_t blockSamples = 0;        // 52
  uint16_t extStartTrigger = 0;     // 58
  uint16_t extStopTrigger = 0;      // 60
  uint16_t triggerEdge = 0;         // 62
  uint16_t limitHighCode = 0;       // 66
  uint16_t limitLowCode = 0;        // 68
  uint16_t limitMode = 0;           // 70
};

std::optional<BlockFields> ParseBlock(std::span<const uint8_t> bytes);

// Seconds per scan frame, or nothing for a zero interval or unknown unit.
std::optional<double> IntervalSeconds(const BlockFields& b);

}  // namespace cardsim
