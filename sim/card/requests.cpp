#include "requests.h"

#include <cstring>

namespace cardsim {
namespace {

// The name is the driver header's own identifier, spelt out.
#define REQUEST(code, statusOutput) {morlex::code, #code, statusOutput}

constexpr RequestInfo kRequests[] = {
    REQUEST(IOCTL_AD_GET_RESOURCE, false),
    REQUEST(IOCTL_AD_SET_PARAM, true),
    REQUEST(IOCTL_AD_SET_CHANNEL, true),
    REQUEST(IOCTL_AD_SET_FREQ, true),
    REQUEST(IOCTL_AD_SET_DATA_MEM, true),
    REQUEST(IOCTL_AD_SET_DATA_COUNT, true),
    REQUEST(IOCTL_AD_SET_TRIGGER, true),
    REQUEST(IOCTL_AD_SET_LIMIT_TRG, true),
    REQUEST(IOCTL_AD_START_POL, false),
    REQUEST(IOCTL_AD_START_RING, true),
    REQUEST(IOCTL_AD_TEST_START_POL, true),
    REQUEST(IOCTL_AD_ONE_SHOT, false),
    REQUEST(IOCTL_AD_STOP_IRQ, true),
    REQUEST(IOCTL_AD_TEST_STOP_POL, true),
    REQUEST(IOCTL_AD_STOP_ONESHOT, true),
    REQUEST(IOCTL_AD_RING_COUNT, false),
    REQUEST(IOCTL_AD_READ_RING, false),
    REQUEST(IOCTL_AD_RING_STATUS, true),
    REQUEST(IOCTL_AD_READ_TRG_DATA, false),
    REQUEST(IOCTL_AD_ALLOC_RING, true),
    REQUEST(IOCTL_AD_FREE_RING, true),
    REQUEST(IOCTL_AD_ALLOC_TRG, true),
    REQUEST(IOCTL_AD_FREE_TRG, true),
    REQUEST(IOCTL_AD_CREATE_SYSTEM_THREAD, true),
    REQUEST(IOCTL_AD_SET_INTERNAL_CLOCK, true),
    REQUEST(IOCTL_AD_SET_EXTERNAL_CLOCK, true),
};

#undef REQUEST

}  // namespace

std::span<const RequestInfo> AllRequests() { return kRequests; }

const RequestInfo* FindRequest(std::string_view name) {
  for (const auto& r : kRequests)
    if (r.name == name) return &r;
  return nullptr;
}

const RequestInfo* FindRequestByCode(uint32_t code) {
  for (const auto& r : kRequests)
    if (r.code == code) return &r;
  return nullptr;
}

std::optional<AdParamBlock> ParseBlock(std::span<const uint8_t> b) {
  if (b.size() < sizeof(AdParamBlock)) return std::nullopt;
  AdParamBlock block;
  std::memcpy(&block, b.data(), sizeof block);  // the block's wire layout is its memory layout
  return block;
}

std::optional<double> IntervalSeconds(const AdParamBlock& b) {
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
