// Memory functions: the data buffer the driver fills, blocks for callers, and
// the byte copy for callers without pointers.
#include <cstdlib>
#include <cstring>

#include "library.h"
#include "morlex.h"
#include "rules.h"

using namespace morlex;

extern "C" {

MorlexAddr AdAllocDataMem(MorlexAddr, int32_t samplesPerChannel) {
  LibraryState* state = State();
  if (state == nullptr) return 0;
  AdParamBlock& block = state->block;
  const uint32_t count = static_cast<uint32_t>(samplesPerChannel);
  const auto bytes = DataBufferBytes(count, block.channelCount);
  if (!bytes) return 0;  // the size does not fit the block's 32-bit field
  block.samplesPerChannel = count;
  block.bufferBytes = *bytes;
  // A buffer still held is not freed here: the caller may still copy from
  // it.  Callers free each buffer before they allocate the next.
  auto* buffer = static_cast<uint8_t*>(std::calloc(*bytes, 1));
  if (buffer == nullptr) {
    block.bufferBytes = 0;
    return 0;
  }
  state->dataBuffer = buffer;
  state->dataBufferAllocated = *bytes;
  block.bufferAddress = WireAddress(buffer);
  if (!BlockRequest(IOCTL_AD_SET_DATA_MEM).ok) {
    std::free(buffer);
    state->dataBuffer = nullptr;
    state->dataBufferAllocated = 0;
    block.bufferAddress = 0;
    return 0;
  }
  return reinterpret_cast<MorlexAddr>(buffer);
}

int32_t AdFreeDataMem(void) {
  LibraryState* state = State();
  if (state == nullptr || state->dataBuffer == nullptr) return 0;
  // An interrupt acquisition still writing into the buffer is cancelled
  // first; it ends with its failure notification instead of writing into
  // freed memory.
  CancelDataBufferWorkers();
  std::free(state->dataBuffer);
  state->dataBuffer = nullptr;
  state->dataBufferAllocated = 0;
  state->block.bufferAddress = 0;
  return 0;
}

MorlexAddr AdAllocMem(MorlexAddr, int32_t bytes) {
  if (bytes <= 0) return 0;
  return reinterpret_cast<MorlexAddr>(std::calloc(static_cast<size_t>(bytes), 1));
}

int32_t AdFreeMem(MorlexAddr address) {
  std::free(reinterpret_cast<void*>(address));
  return 0;
}

MorlexAddr VbMemCopy(MorlexAddr destination, MorlexAddr source, uint32_t bytes) {
  if (destination == 0 || source == 0) return destination;
  auto* to = reinterpret_cast<uint8_t*>(destination);
  const auto* from = reinterpret_cast<const uint8_t*>(source);
  const bool overlapsAhead = destination > source && static_cast<uintptr_t>(destination - source) < bytes;
  if (!overlapsAhead) {
    // A forward copy that never reads a byte it has written: memmove is the same.
    std::memmove(to, from, bytes);
  } else {
    // One byte at a time, forward: a destination inside the source repeats
    // the leading bytes, as this function always has.
    for (uint32_t i = 0; i < bytes; ++i) to[i] = from[i];
  }
  return destination;
}

}  // extern "C"
