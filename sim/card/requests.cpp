#include "requests.h"

namespace cardsim {
namespace {

constexpr RequestInfo kRequests[] = {
    {kGetResource, "IOCTL_AD_GET_RESOURCE", false},
    {kSetParam, "IOCTL_AD_SET_PARAM", true},
    {kSetChannel, "IOCTL_AD_SET_CHANNEL", true},
    {kSetFreq, "IOCTL_AD_SET_FREQ", true},
    {kSetDataMem, "IOCTL_AD_SET_DATA_MEM", true},
    {kSetDataCount, "IOCTL_AD_SET_DATA_COUNT", true},
    {kSetTrigger, "IOCTL_AD_SET_TRIGGER", true},
    {kSetLimitTrg, "IOCTL_AD_SET_LIMIT_TRG", true},
    {kStartPol, "IOCTL_AD_START_POL", false},
    {kStartRing, "IOCTL_AD_START_RING", true},
    {kTestStartPol, "IOCTL_AD_TEST_START_POL", true},
    {kOneShot, "IOCTL_AD_ONE_SHOT", false},
    {kStopIrq, "IOCTL_AD_STOP_IRQ", true},
    {kTestStopPol, "IOCTL_AD_TEST_STOP_POL", true},
    {kStopOneshot, "IOCTL_AD_STOP_ONESHOT", true},
    {kRingCount, "IOCTL_AD_RING_COUNT", false},
    {kReadRing, "IOCTL_AD_READ_RING", false},
    {kRingStatus, "IOCTL_AD_RING_STATUS", true},
    {kReadTrgData, "IOCTL_AD_READ_TRG_DATA", false},
    {kAllocRing, "IOCTL_AD_ALLOC_RING", true},
    {kFreeRing, "IOCTL_AD_FREE_RING", true},
    {kAllocTrg, "IOCTL_AD_ALLOC_TRG", true},
    {kFreeTrg, "IOCTL_AD_FREE_TRG", true},
    {kCreateSystemThread, "IOCTL_AD_CREATE_SYSTEM_THREAD", true},
    {kSetInternalClock, "IOCTL_AD_SET_INTERNAL_CLOCK", true},
    {kSetExternalClock, "IOCTL_AD_SET_EXTERNAL_CLOCK", true},
};

uint16_t U16(std::span<const uint8_t> b, size_t off) { return static_cast<uint16_t>(b[off] | (b[off + 1] << 8)); }
uint32_t U32(std::span<const uint8_t> b, size_t off) {
  return static_cast<uint32_t>(b[off]) | (static_cast<uint32_t>(b[off + 1]) << 8) |
         (static_cast<uint32_t>(b[off + 2]) << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}

}  // namespace

std::span<const RequestInfo> AllRequests() { return kRequests; }

const RequestInfo* FindRequest(std::string_view name) {
  for (const auto& r : kRequests)
    if (r.name == name) return &r;
  return nullptr;
}

const RequestInfo* FindRequestByCode(uint32_t code) {
  for (const auto& r : kRequests)
    if (RequestCode(r.fn) == code) return &r;
  return nullptr;
}

std::optional<BlockFields> ParseBlock(std::span<const uint8_t> b) {
  if (b.size() < kBlockSize) return std::nullopt;
  BlockFields f;
  f.cardType = U16(b, 0);
  f.ioBase = U16(b, 2);
  f.irqNumber = U16(b, 6);
  f.mode = U16(b, 8);
  f.channelCount = U16(b, 10);
  for (size_t i = 0; i < 8; ++i) f.channelList[i] = U16(b, 12 + 2 * i);
  f.intervalValue = U16(b, 28);
  f.intervalUnit = U16(b, 30);
  f.samplesPerChannel = U32(b, 36);
  f.totalSamples = U32(b, 40);
  f.bufferBytes = U32(b, 48);
  f.blockSamples = U16(b, 52);
  f.extStartTrigger = U16(b, 58);
  f.extStopTrigger = U16(b, 60);
  f.triggerEdge = U16(b, 62);
  f.limitHighCode = U16(b, 66);
  f.limitLowCode = U16(b, 68);
  f.limitMode = U16(b, 70);
  return f;
}

std::optional<double> IntervalSeconds(const BlockFields& b) {
  if (b.intervalValue == 0) return std::nullopt;
  switch (b.intervalUnit) {
    case 0:
      return b.intervalValue * 1.0;
    case 1:
      return b.intervalValue * 1e-3;
    case 2:
      return b.intervalValue * 1e-6;
    default:
      return std::nullopt;
  }
}

}  // namespace cardsim
