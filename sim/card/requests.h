// The card driver's control requests as the stand-in knows them, and the
// parameter block it reads.  Codes, offsets and the block's layout come from
// the driver header the A/D library uses (morlex/driver.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "morlex/driver.h"

namespace cardsim {

using morlex::AdParamBlock;

struct RequestInfo {
  uint32_t code;
  std::string_view name;  // as in the driver header, e.g. "IOCTL_AD_SET_FREQ"
  bool statusOutput;      // its output is a status word (--status applies)
};

// Every request of the driver interface, in function order.
std::span<const RequestInfo> AllRequests();
const RequestInfo* FindRequest(std::string_view name);  // by name, e.g. "IOCTL_AD_SET_FREQ"
const RequestInfo* FindRequestByCode(uint32_t code);

// The parameter block of a request's input, or nothing when the input is
// shorter than a block.
std::optional<AdParamBlock> ParseBlock(std::span<const uint8_t> bytes);

// Seconds per scan frame, or nothing for a zero interval or unknown unit.
std::optional<double> IntervalSeconds(const AdParamBlock& b);

}  // namespace cardsim
