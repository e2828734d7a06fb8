// Card and parameter functions: each fills its own fields of the parameter
// block and hands the block to the driver.
#include <cstring>

#include "library.h"
#include "morlex.h"
#include "rules.h"

namespace morlex {
namespace {

uint16_t Low16(int32_t value) { return static_cast<uint16_t>(value); }

bool HaveState() { return State() != nullptr; }

AdParamBlock& Block() { return State()->block; }

// The six 16-bit words from offset 54 to 64: two reserved words, the three
// trigger fields and the reserved word behind them.
void ClearTriggerWords(AdParamBlock& block) {
  block.reserved54 = 0;
  block.reserved56 = 0;
  block.extStartTrigger = 0;
  block.extStopTrigger = 0;
  block.triggerEdge = 0;
  block.reserved64 = 0;
}

// Sends the block with IOCTL_AD_SET_PARAM; the driver's status word or -10.
int32_t SendParam() {
  const auto status = WordRequest(IOCTL_AD_SET_PARAM, &Block(), sizeof(AdParamBlock));
  return status ? static_cast<int32_t>(*status) : kRequestFailed;
}

int32_t SendBlock(uint32_t code) { return BlockRequest(code).ok ? 0 : kRequestFailed; }

}  // namespace
}  // namespace morlex

using namespace morlex;

extern "C" {

int32_t AdGetCardResource(MorlexAddr, MorlexAddr, int16_t* cardType, int16_t* ioBase, int16_t* irqNumber) {
  if (!HaveState()) return kRequestFailed;
  uint8_t reply[kResourceReplyBytes] = {};
  const Reply r = Request(IOCTL_AD_GET_RESOURCE, nullptr, 0, reply, sizeof reply);
  if (!r.ok || r.bytes < sizeof reply) return kRequestFailed;
  uint32_t type = 0;
  uint16_t base = 0;
  uint16_t irq = 0;
  std::memcpy(&type, reply + 0, sizeof type);
  std::memcpy(&base, reply + 4, sizeof base);
  std::memcpy(&irq, reply + 16, sizeof irq);
  int32_t result = 0;
  if (type == 1 || type == 2) {
    Block().cardType = static_cast<uint16_t>(type);
    Block().ioBase = base;
    Block().irqNumber = irq;
  } else {
    type = 0;
    base = 0;
    irq = 0;
    result = -1;
  }
  if (cardType != nullptr) *cardType = static_cast<int16_t>(type);
  if (ioBase != nullptr) *ioBase = static_cast<int16_t>(base);
  if (irqNumber != nullptr) *irqNumber = static_cast<int16_t>(irq);
  return result;
}

int32_t AdSetParam(MorlexAddr, int32_t cardType, int32_t mode, int32_t ioBase, int32_t irqNumber) {
  if (!HaveState()) return kRequestFailed;
  if (mode < 0 || mode > 3) return -1;
  AdParamBlock& block = Block();
  SetMode(mode == 0 ? 3 : static_cast<uint16_t>(mode));
  block.cardType = Low16(cardType);
  block.ioBase = Low16(ioBase);
  block.irqNumber = Low16(irqNumber);
  ClearTriggerWords(block);
  return SendParam();
}

int32_t AdSetParamAuto(MorlexAddr, int32_t mode) {
  if (!HaveState()) return kRequestFailed;
  const uint16_t m = Low16(mode);
  if (m > 3) return -3;
  SetMode(m == 0 ? 3 : m);
  ClearTriggerWords(Block());
  return SendParam();
}

int32_t AdSetOneParam(MorlexAddr window, int32_t cardType, int32_t ioBase) {
  if (!HaveState()) return kRequestFailed;
  const int32_t param = AdSetParam(window, cardType, 1, ioBase, 255);
  if (param != 0) return param;
  static constexpr int16_t kAllChannels[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  const uint16_t type = Low16(cardType);
  const int32_t channels = type == 1 ? 8 : type == 2 ? 4 : 0;
  const int32_t interval = type == 1 ? 160 : 80;
  if (AdSetChannel(channels, kAllChannels) != channels || channels == 0) return -3;
  if (AdSetFreq(window, interval, 2) != 0) return -4;
  AdParamBlock& block = Block();
  block.samplesPerChannel = 1;
  block.totalSamples = static_cast<uint32_t>(channels);
  block.reserved54 = 0;
  block.reserved56 = 0;
  return 0;
}

int32_t AdSetChannel(int32_t channelCount, const int16_t* channels) {
  if (!HaveState()) return kRequestFailed;
  AdParamBlock& block = Block();
  const int16_t count = static_cast<int16_t>(channelCount);
  const uint16_t maxChannels = MaxChannelsFor(block.cardType);
  if (maxChannels == 0 || count < 1 || count > maxChannels || channels == nullptr) return -1;
  for (int16_t i = 0; i < count; ++i) block.channelList[i] = static_cast<uint16_t>(channels[i]);
  block.channelCount = static_cast<uint16_t>(count);
  if (SendBlock(IOCTL_AD_SET_CHANNEL) != 0) return kRequestFailed;
  return count;
}

int32_t AdSetTrigger(int32_t kind, int32_t edge) {
  if (!HaveState()) return kRequestFailed;
  AdParamBlock& block = Block();
  const uint16_t k = Low16(kind);
  block.extStartTrigger = (k == 1 || k == 3) ? 1 : 0;
  block.extStopTrigger = (k == 2 || k == 3) ? 1 : 0;
  block.triggerEdge = Low16(edge) != 0 ? 1 : 0;
  return SendBlock(IOCTL_AD_SET_TRIGGER);
}

int32_t AdSetFreq(MorlexAddr, int32_t interval, int32_t unit) {
  if (!HaveState()) return kRequestFailed;
  AdParamBlock& block = Block();
  const uint16_t value = Low16(interval);
  const uint16_t u = Low16(unit);
  if (block.channelCount == 0) return -1;
  if (u == 2) {
    if (value < MinMicrosecondInterval(block.channelCount)) return -3;
  } else if (u > 2) {
    return -2;
  }
  block.intervalValue = value;
  block.intervalUnit = u;
  return SendBlock(IOCTL_AD_SET_FREQ);
}

int32_t AdSetInternalClock(int32_t value1, int32_t value2, int32_t value3) {
  if (!HaveState()) return kRequestFailed;
  AdParamBlock& block = Block();
  block.internalClockArg = Low16(value1);
  block.clockArg2 = Low16(value2);
  block.clockArg3 = Low16(value3);
  return SendBlock(IOCTL_AD_SET_INTERNAL_CLOCK);
}

int32_t AdSetExternalClock(int32_t value1, int32_t value2, int32_t value3) {
  if (!HaveState()) return kRequestFailed;
  AdParamBlock& block = Block();
  block.externalClockArg = Low16(value1);
  block.clockArg2 = Low16(value2);
  block.clockArg3 = Low16(value3);
  return SendBlock(IOCTL_AD_SET_EXTERNAL_CLOCK);
}

int32_t AdSetDataCount(int32_t samplesPerChannel) {
  if (!HaveState()) return kRequestFailed;
  AdParamBlock& block = Block();
  if (block.channelCount == 0) return -1;
  const uint32_t count = static_cast<uint32_t>(samplesPerChannel);
  const auto bytes = DataBufferBytes(count, block.channelCount);
  // A count whose buffer size does not fit the block's 32-bit field.
  if (!bytes) return -2;
  block.samplesPerChannel = count;
  block.totalSamples = count * block.channelCount;
  block.bufferBytes = *bytes;
  return SendBlock(IOCTL_AD_SET_DATA_COUNT);
}

int32_t AdSetLimitTrg(double upperVolts, double lowerVolts, int32_t limitMode) {
  if (!HaveState()) return kRequestFailed;
  AdParamBlock& block = Block();
  const uint16_t mode = Low16(limitMode);
  if (mode < 1 || mode > 3) {
    block.limitMode = 0;
    return -3;
  }
  // The mode is stored before the level checks, as callers have always seen it.
  block.limitMode = mode;
  const int32_t check = CheckLimitLevels(block.cardType, mode, upperVolts, lowerVolts);
  if (check != 0) return check;
  block.limitHighCode = LimitCodeFor(block.cardType, upperVolts);
  block.limitLowCode = LimitCodeFor(block.cardType, lowerVolts);
  return SendBlock(IOCTL_AD_SET_LIMIT_TRG);
}

// Exported as `_AdSetXXX@8` (see morlex.h and exports.map).
MORLEX_API int32_t MorlexAdSetXXX(int32_t, int32_t);
int32_t MorlexAdSetXXX(int32_t, int32_t) {
  if (!HaveState()) return kRequestFailed;
  return SendBlock(IOCTL_AD_SET_PARAM);
}

int32_t AdGetParamBlock(MorlexAddr destination, int32_t bytes) {
  if (!HaveState() || destination == 0 || bytes < static_cast<int32_t>(sizeof(AdParamBlock))) return 0;
  std::memcpy(reinterpret_cast<void*>(destination), &Block(), sizeof(AdParamBlock));
  return sizeof(AdParamBlock);
}

}  // extern "C"

#if !defined(_WIN32)
__asm__(".symver MorlexAdSetXXX,_AdSetXXX@8,remove");
#endif
