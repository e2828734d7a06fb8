// Acquisitions: the polling acquisition in the caller's thread and the
// interrupt, ring-buffer and limit-trigger workers.
//
// Waits on the driver: the polling acquisition holds the caller's thread,
// so its wait is always bounded (AcquisitionLimit, with room for an external
// start trigger).  The interrupt transfer is bounded by its block's duration
// unless it waits for an external start trigger.  Ring and limit-trigger
// acquisitions run as long as their trigger or the reader needs.  Every
// worker ends at a stop request (the driver's answer, or kStopGrace later a
// cancel), at AdFreeDataMem (transfers into the data buffer) and at unload.
#include <algorithm>
#include <chrono>
#include <optional>

#include "library.h"
#include "morlex.h"
#include "rules.h"

namespace morlex {
namespace {

uint16_t TableBlockSamples(const AdParamBlock& block) {
  return BlockSamplesFor(block.intervalUnit, block.intervalValue, block.channelCount);
}

bool HaveDataBuffer(const LibraryState& state) {
  // bufferBytes alone keeps its value after AdFreeDataMem: the buffer
  // itself must be there too, or the driver would write into freed memory.
  return state.block.bufferBytes != 0 && state.dataBuffer != nullptr;
}

// The output length of a transfer: the block's size, never more than was
// allocated (AdSetDataCount may have raised bufferBytes since).
uint32_t TransferBytes(const LibraryState& state) {
  return std::min(state.block.bufferBytes, state.dataBufferAllocated);
}

// Block size rule of the interrupt and ring starts: 0 takes the table value,
// 1 is refused, anything else is used as given.
bool TakeBlockSize(AdParamBlock& block, int32_t requested) {
  const uint16_t size = static_cast<uint16_t>(requested);
  if (size == 1) return false;
  block.blockSamples = size == 0 ? TableBlockSamples(block) : size;
  return true;
}

// How long a transfer into the data buffer may take: bounded by the block's
// own duration.  `boundTriggerWait`: the wait for an external start trigger
// is bounded too (the caller's thread is held); otherwise such a wait has no
// limit and ends by a stop request, AdFreeDataMem or unload.
std::optional<std::chrono::milliseconds> TransferLimit(const AdParamBlock& block, bool boundTriggerWait) {
  const bool trigger = block.extStartTrigger != 0;
  if (trigger && !boundTriggerWait) return std::nullopt;
  return AcquisitionLimit(block.intervalUnit, block.intervalValue, block.samplesPerChannel, trigger);
}

// Steps 3 to 8 of a transfer into the data buffer, with the final
// notification.  True when it was cancelled at its time limit.
bool RunTransfer(intptr_t window, const AdParamBlock& block, uint8_t* buffer, uint32_t bufferBytes,
                 platform::Overlapped& ov, Worker* worker, std::optional<std::chrono::milliseconds> limit) {
  const Acquired done = RunAcquisition(window, IOCTL_AD_START_POL, block, buffer, bufferBytes, ov, worker, limit);
  if (!done.ok) return done.timedOut;
  const uint32_t samples = done.bytes / 2;
  const uint32_t capacity = (bufferBytes - kBufferSpareBytes) / 2;
  if (block.extStopTrigger != 0 && samples < capacity) {
    Notify(window, AD_STATUS_STOPPED_EXT, samples);
  } else {
    Notify(window, AD_STATUS_COMPLETE, samples);
  }
  return false;
}

// The driver's ring status word is the notification status.
static_assert(kRingOverrun == AD_STATUS_FIFO_OVERRUN);

// The ring and limit-trigger worker.
void RunRing(intptr_t window, const AdParamBlock& block, uint16_t startMode, Worker& worker) {
  uint8_t status[kRingStatusWordBytes] = {};
  const Acquired done =
      RunAcquisition(window, IOCTL_AD_START_RING, block, status, sizeof status, worker.overlapped, &worker,
                     std::nullopt);
  if (!done.ok) return;
  if (done.bytes < sizeof status) {
    Notify(window, AD_STATUS_FAILED, 0);  // the status word never arrived
    return;
  }
  const uint16_t word = static_cast<uint16_t>(status[0] | status[1] << 8);
  uint16_t mode = State()->liveMode.load();
  // A mode changed under a running acquisition must not cost it its final
  // notification: fall back to the mode it was started in.
  if (mode < kModeRing || mode > kModeLimitRestart) mode = startMode;
  if (mode == kModeRing) {
    const auto ringStatus = WordRequest(IOCTL_AD_RING_STATUS, nullptr, 0);
    Notify(window, word, ringStatus.value_or(0));
  } else {
    Notify(window, word, 0);
  }
}

bool StartRingWorker(intptr_t window, uint16_t mode) {
  LibraryState* state = State();
  SetMode(mode);
  const AdParamBlock snapshot = state->block;
  return StartWorker(false, [window, snapshot, mode](Worker& worker) { RunRing(window, snapshot, mode, worker); });
}

}  // namespace

int32_t StartIrq(intptr_t window, int32_t blockSize) {
  LibraryState* state = State();
  if (state == nullptr || !HaveDataBuffer(*state)) return -1;
  if (!TakeBlockSize(state->block, blockSize)) return -2;
  SetMode(kModeTransfer);
  const AdParamBlock snapshot = state->block;
  uint8_t* buffer = state->dataBuffer;
  const uint32_t bytes = TransferBytes(*state);
  const auto limit = TransferLimit(snapshot, false);
  const bool started = StartWorker(true, [window, snapshot, buffer, bytes, limit](Worker& worker) {
    RunTransfer(window, snapshot, buffer, bytes, worker.overlapped, &worker, limit);
  });
  return started ? 0 : -3;
}

}  // namespace morlex

using namespace morlex;

extern "C" {

int32_t AdStartPolModeThread(MorlexAddr window) {
  LibraryState* state = State();
  if (state == nullptr || !HaveDataBuffer(*state)) return -1;
  state->block.blockSamples = TableBlockSamples(state->block);
  SetMode(kModeTransfer);
  platform::Overlapped overlapped;
  const bool timedOut = RunTransfer(window, state->block, state->dataBuffer, TransferBytes(*state), overlapped, nullptr,
                                    TransferLimit(state->block, true));
  return timedOut ? AD_POL_TIMED_OUT : 0;
}

int32_t AdStartIrqVxdMode(MorlexAddr window, int32_t blockSamples) { return StartIrq(window, blockSamples); }

// Exported as `_AdStartIrq@8` (see morlex.h and exports.map).
MORLEX_API int32_t MorlexAdStartIrq(MorlexAddr window, int32_t blockSamples);
int32_t MorlexAdStartIrq(MorlexAddr window, int32_t blockSamples) { return StartIrq(window, blockSamples); }

int32_t AdStopIrqMode(void) {
  uint32_t in = 0;
  uint32_t out = 0;
  Request(IOCTL_AD_STOP_IRQ, &in, sizeof in, &out, sizeof out);
  // The driver ends a running acquisition on this request; one that does
  // not answer any more gets a few seconds, then the worker cancels it.
  if (State() != nullptr) GiveWorkersStopDeadline();
  return 0;
}

int32_t AdStopLimitTrgMode(void) { return AdStopIrqMode(); }

int32_t AdStartIrqRingMode(MorlexAddr window, int32_t blockSamples) {
  LibraryState* state = State();
  if (state == nullptr || state->trgBufferAllocated == 0) return -1;
  if (!TakeBlockSize(state->block, blockSamples)) return -2;
  return StartRingWorker(window, kModeRing) ? 0 : -3;
}

int32_t AdStartLimitTrgMode(MorlexAddr window) {
  LibraryState* state = State();
  if (state == nullptr || state->trgBufferAllocated == 0) return -1;
  state->block.blockSamples = TableBlockSamples(state->block);
  return StartRingWorker(window, kModeLimit) ? 0 : -2;
}

int32_t AdReStartLimitTrgMode(MorlexAddr window) {
  LibraryState* state = State();
  if (state == nullptr || state->trgBufferAllocated == 0) return -1;
  return StartRingWorker(window, kModeLimitRestart) ? 0 : -2;
}

}  // extern "C"

#if !defined(_WIN32)
__asm__(".symver MorlexAdStartIrq,_AdStartIrq@8,remove");
#endif
