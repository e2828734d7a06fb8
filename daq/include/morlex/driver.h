// Requests of the card's driver ("Qda7100.Sys") and the parameter block they
// carry.  Shared by the A/D library and by the card stand-in (sim/card), so
// both sides agree on every code and every byte offset.
//
// The parameter block is a wire format: little-endian, 80 bytes, every field
// at a fixed offset.  The struct below has exactly that layout on every
// supported target (all fields are naturally aligned, so no packing is
// needed); the static checks at the end hold it there.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace morlex {

// Device interface class of the card.
inline constexpr const char* kDeviceClassGuid = "{86114980-FD95-11D2-9D9A-0008C76B2933}";

// Request code of driver function `fn` (buffered transfer, any access).
constexpr uint32_t AdRequestCode(uint32_t fn) { return 0x854B2000u + 4u * (fn - 0x800u); }

inline constexpr uint32_t IOCTL_AD_GET_RESOURCE = AdRequestCode(0x800);
inline constexpr uint32_t IOCTL_AD_SET_PARAM = AdRequestCode(0x801);
inline constexpr uint32_t IOCTL_AD_SET_CHANNEL = AdRequestCode(0x802);
inline constexpr uint32_t IOCTL_AD_SET_FREQ = AdRequestCode(0x803);
inline constexpr uint32_t IOCTL_AD_SET_DATA_MEM = AdRequestCode(0x804);
inline constexpr uint32_t IOCTL_AD_SET_DATA_COUNT = AdRequestCode(0x805);
inline constexpr uint32_t IOCTL_AD_SET_TRIGGER = AdRequestCode(0x806);
inline constexpr uint32_t IOCTL_AD_SET_LIMIT_TRG = AdRequestCode(0x807);
inline constexpr uint32_t IOCTL_AD_START_POL = AdRequestCode(0x80A);
inline constexpr uint32_t IOCTL_AD_START_RING = AdRequestCode(0x80B);
inline constexpr uint32_t IOCTL_AD_TEST_START_POL = AdRequestCode(0x80C);
inline constexpr uint32_t IOCTL_AD_ONE_SHOT = AdRequestCode(0x80D);
inline constexpr uint32_t IOCTL_AD_STOP_IRQ = AdRequestCode(0x80F);
inline constexpr uint32_t IOCTL_AD_TEST_STOP_POL = AdRequestCode(0x810);
inline constexpr uint32_t IOCTL_AD_STOP_ONESHOT = AdRequestCode(0x811);
inline constexpr uint32_t IOCTL_AD_RING_COUNT = AdRequestCode(0x814);
inline constexpr uint32_t IOCTL_AD_READ_RING = AdRequestCode(0x815);
inline constexpr uint32_t IOCTL_AD_RING_STATUS = AdRequestCode(0x816);
inline constexpr uint32_t IOCTL_AD_READ_TRG_DATA = AdRequestCode(0x817);
inline constexpr uint32_t IOCTL_AD_ALLOC_RING = AdRequestCode(0x81E);
inline constexpr uint32_t IOCTL_AD_FREE_RING = AdRequestCode(0x81F);
inline constexpr uint32_t IOCTL_AD_ALLOC_TRG = AdRequestCode(0x820);
inline constexpr uint32_t IOCTL_AD_FREE_TRG = AdRequestCode(0x821);
inline constexpr uint32_t IOCTL_AD_CREATE_SYSTEM_THREAD = AdRequestCode(0x82A);
inline constexpr uint32_t IOCTL_AD_SET_INTERNAL_CLOCK = AdRequestCode(0x82B);
inline constexpr uint32_t IOCTL_AD_SET_EXTERNAL_CLOCK = AdRequestCode(0x82C);

static_assert(IOCTL_AD_GET_RESOURCE == 0x854B2000u);
static_assert(IOCTL_AD_START_POL == 0x854B2028u);
static_assert(IOCTL_AD_SET_EXTERNAL_CLOCK == 0x854B20B0u);

// Sizes of the fixed replies and inputs.
inline constexpr uint32_t kResourceReplyBytes = 20;  // u32 type @0, u16 I/O base @4, u16 IRQ @16
inline constexpr uint32_t kStatusReplyBytes = 4;     // u32 status or count
inline constexpr uint32_t kRingStatusWordBytes = 2;  // u16 status word of IOCTL_AD_START_RING
inline constexpr uint32_t kOneShotReplyBytes = 64;   // result area of IOCTL_AD_ONE_SHOT
inline constexpr uint32_t kBufferSpareBytes = 32;    // spare bytes behind the samples of a data buffer

// Status words of IOCTL_AD_START_RING (u16) and IOCTL_AD_RING_STATUS (u32).
// The library posts the word of an ended ring or limit-trigger acquisition as
// its notification status as it stands.
inline constexpr uint32_t kRingStopped = 0;        // stopped by request
inline constexpr uint32_t kRingOverrun = 2;        // FIFO overrun
inline constexpr uint32_t kTriggerDataReady = 16;  // limit-trigger data ready

// Input of IOCTL_AD_READ_RING and IOCTL_AD_READ_TRG_DATA.  `target` is the
// low 32 bits of the destination's address; the samples themselves travel as
// the request's output buffer, so the driver never needs the address.
struct AdReadRequest {
  uint32_t target;
  uint32_t count;  // samples
};
static_assert(sizeof(AdReadRequest) == 8);

// Input of IOCTL_AD_ALLOC_TRG: the sample counts of the two spans.
struct AdTrgAllocRequest {
  uint32_t count1;
  uint32_t count2;
};
static_assert(sizeof(AdTrgAllocRequest) == 8);

// Acquisition modes placed in AdParamBlock::mode.
inline constexpr uint16_t kModeTransfer = 3;       // polling or interrupt transfer into the data buffer
inline constexpr uint16_t kModeRing = 4;           // ring buffer
inline constexpr uint16_t kModeLimit = 5;          // limit trigger
inline constexpr uint16_t kModeLimitRestart = 6;   // limit-trigger restart

// The 80-byte parameter block: the input of most requests.
//
// `bufferAddress` is a 32-bit field.  In this 64-bit build it holds the low
// 32 bits of the data buffer's address (0 when no buffer is set); it is an
// identification only.  The driver receives the buffer itself as the output
// buffer of the request that fills it, so it never dereferences the field.
struct AdParamBlock {
  uint16_t cardType;          // 0: 1 = QDA7100U (8 ch, 0..2.5 V), 2 = QDA7100B (4 ch, +-5 V)
  uint16_t ioBase;            // 2
  uint16_t reserved4;         // 4: stays 0
  uint16_t irqNumber;         // 6
  uint16_t mode;              // 8
  uint16_t channelCount;      // 10
  uint16_t channelList[8];    // 12
  uint16_t intervalValue;     // 28
  uint16_t intervalUnit;      // 30: 0 s, 1 ms, 2 us
  uint32_t reserved32;        // 32: stays 0
  uint32_t samplesPerChannel; // 36
  uint32_t totalSamples;      // 40
  uint32_t bufferAddress;     // 44
  uint32_t bufferBytes;       // 48: 2 * samples + 32
  uint16_t blockSamples;      // 52
  uint16_t reserved54;        // 54
  uint16_t reserved56;        // 56
  uint16_t extStartTrigger;   // 58
  uint16_t extStopTrigger;    // 60
  uint16_t triggerEdge;       // 62
  uint16_t reserved64;        // 64
  uint16_t limitHighCode;     // 66
  uint16_t limitLowCode;      // 68
  uint16_t limitMode;         // 70
  uint16_t internalClockArg;  // 72
  uint16_t externalClockArg;  // 74
  uint16_t clockArg2;         // 76
  uint16_t clockArg3;         // 78
};

// The struct is copied to and from the wire byte for byte.
static_assert(std::endian::native == std::endian::little, "the parameter block is little-endian");
static_assert(sizeof(AdParamBlock) == 80);
static_assert(offsetof(AdParamBlock, cardType) == 0);
static_assert(offsetof(AdParamBlock, ioBase) == 2);
static_assert(offsetof(AdParamBlock, reserved4) == 4);
static_assert(offsetof(AdParamBlock, irqNumber) == 6);
static_assert(offsetof(AdParamBlock, mode) == 8);
static_assert(offsetof(AdParamBlock, channelCount) == 10);
static_assert(offsetof(AdParamBlock, channelList) == 12);
static_assert(sizeof(AdParamBlock::channelList) == 16);
static_assert(offsetof(AdParamBlock, intervalValue) == 28);
static_assert(offsetof(AdParamBlock, intervalUnit) == 30);
static_assert(offsetof(AdParamBlock, reserved32) == 32);
static_assert(offsetof(AdParamBlock, samplesPerChannel) == 36);
static_assert(offsetof(AdParamBlock, totalSamples) == 40);
static_assert(offsetof(AdParamBlock, bufferAddress) == 44);
static_assert(offsetof(AdParamBlock, bufferBytes) == 48);
static_assert(offsetof(AdParamBlock, blockSamples) == 52);
static_assert(offsetof(AdParamBlock, reserved54) == 54);
static_assert(offsetof(AdParamBlock, reserved56) == 56);
static_assert(offsetof(AdParamBlock, extStartTrigger) == 58);
static_assert(offsetof(AdParamBlock, extStopTrigger) == 60);
static_assert(offsetof(AdParamBlock, triggerEdge) == 62);
static_assert(offsetof(AdParamBlock, reserved64) == 64);
static_assert(offsetof(AdParamBlock, limitHighCode) == 66);
static_assert(offsetof(AdParamBlock, limitLowCode) == 68);
static_assert(offsetof(AdParamBlock, limitMode) == 70);
static_assert(offsetof(AdParamBlock, internalClockArg) == 72);
static_assert(offsetof(AdParamBlock, externalClockArg) == 74);
static_assert(offsetof(AdParamBlock, clockArg2) == 76);
static_assert(offsetof(AdParamBlock, clockArg3) == 78);

}  // namespace morlex
