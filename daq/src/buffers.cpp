// Ring and trigger buffers held by the driver, their reads, the one-shot
// conversion and the stop and test requests.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "library.h"
#include "morlex.h"
#include "rules.h"

namespace morlex {
namespace {

constexpr uint32_t kTestRequestLimitMs = 10000;

uint32_t WaitingSamples() {
  return WordRequest(IOCTL_AD_RING_COUNT, nullptr, 0).value_or(0);
}

// Releases the held buffer with `code`; the flag follows only a successful reply.
void FreeHeldBuffer(uint32_t code) {
  LibraryState* state = State();
  if (state == nullptr || state->trgBufferAllocated == 0) return;
  uint32_t status = 0;
  if (Request(code, nullptr, 0, &status, sizeof status).ok) state->trgBufferAllocated = 0;
}

// One read request into `target`: delivered bytes, or the failure code.
struct ReadResult {
  bool ok = false;
  uint32_t bytes = 0;
  uint32_t error = 0;
};
ReadResult ReadSamples(uint32_t code, uint8_t* target, uint32_t count) {
  const AdReadRequest in{WireAddress(target), count};
  const Reply r = Request(code, &in, sizeof in, target, 2 * count);
  return ReadResult{r.ok, r.bytes, r.error};
}

// Largest sample count one read can carry (its byte count is 32 bits).
constexpr int32_t kMaxReadSamples = std::numeric_limits<int32_t>::max() / 2;

}  // namespace
}  // namespace morlex

using namespace morlex;

extern "C" {

int32_t AdAllocRingBuf(MorlexAddr, int32_t ringSamples, int32_t samplesPerChannel) {
  LibraryState* state = State();
  if (state == nullptr) return kRequestFailed;
  if (state->trgBufferAllocated != 0) return -3;
  const uint32_t ring = static_cast<uint32_t>(ringSamples);
  const uint32_t perChannel = static_cast<uint32_t>(samplesPerChannel);
  if (ring == 0 || perChannel == 0) return -4;
  // Sizes that do not fit the driver's 32-bit fields are refused like zero sizes.
  const uint64_t ringBytes = 2ull * ring;
  const uint64_t total = static_cast<uint64_t>(perChannel) * state->block.channelCount;
  if (ringBytes > std::numeric_limits<uint32_t>::max() || total > std::numeric_limits<uint32_t>::max()) return -4;
  const uint32_t in = static_cast<uint32_t>(ringBytes);
  const auto status = WordRequest(IOCTL_AD_ALLOC_RING, &in, sizeof in);
  if (!status) return kRequestFailed;
  if (*status != 0) return -2;
  state->block.samplesPerChannel = perChannel;
  state->block.totalSamples = static_cast<uint32_t>(total);
  state->trgBufferAllocated = 1;
  return 0;
}

void AdFreeRingBuf(void) { FreeHeldBuffer(IOCTL_AD_FREE_RING); }

int32_t GetRingBufNum(void) { return static_cast<int32_t>(WaitingSamples()); }

int32_t AdGetRingBuf(MorlexAddr destination, int32_t offsetSamples, int32_t count) {
  if (State() == nullptr || destination == 0 || count < 0 || count > kMaxReadSamples) return kRequestFailed;
  auto* target = reinterpret_cast<uint8_t*>(destination + static_cast<MorlexAddr>(offsetSamples) * 2);
  const ReadResult r = ReadSamples(IOCTL_AD_READ_RING, target, static_cast<uint32_t>(count));
  if (!r.ok) return r.error == platform::ERROR_IO_DEVICE ? -1 : kRequestFailed;
  return static_cast<int32_t>(r.bytes / 2);
}

int32_t VbGetRingBuf(MorlexAddr destination, int32_t offsetSamples, int32_t count) {
  return AdGetRingBuf(destination, offsetSamples, count);
}

int32_t AdGetRingBufConst(MorlexAddr destination, int32_t offsetSamples, int32_t count) {
  if (count == 0) return 0;
  if (count > 0 && WaitingSamples() < static_cast<uint32_t>(count)) return 0;
  return AdGetRingBuf(destination, offsetSamples, count);
}

int32_t VbGetRingBufConst(MorlexAddr destination, int32_t offsetSamples, int32_t count) {
  return AdGetRingBufConst(destination, offsetSamples, count);
}

int32_t AdAllocTrgBuf(int32_t period, int32_t unit, int32_t channels, int32_t span1, int32_t span2) {
  LibraryState* state = State();
  if (state == nullptr) return kRequestFailed;
  const uint16_t u = static_cast<uint16_t>(unit);
  if (u > 1) return -3;
  // Checked before the held buffer is released, so a refused call loses nothing:
  // a period of 0, or counts too large for the driver's fields, give -4.
  const auto counts = TrgBufferCounts(static_cast<uint16_t>(period), u, static_cast<uint16_t>(channels),
                                      static_cast<uint16_t>(span1), static_cast<uint16_t>(span2));
  if (!counts) return -4;
  AdFreeTrgBuf();
  const AdTrgAllocRequest in{counts->count1, counts->count2};
  const auto status = WordRequest(IOCTL_AD_ALLOC_TRG, &in, sizeof in);
  if (!status) return kRequestFailed;
  if (*status != 0) return -2;
  state->trgBufferAllocated = 1;
  return static_cast<int32_t>(counts->count1 + counts->count2);
}

void AdFreeTrgBuf(void) { FreeHeldBuffer(IOCTL_AD_FREE_TRG); }

int32_t AdGetTrgData(MorlexAddr, MorlexAddr destination) {
  LibraryState* state = State();
  if (state == nullptr || destination == 0 || state->trgBufferAllocated == 0) return 0;
  const uint32_t waiting = WaitingSamples();
  if (waiting == 0 || waiting > static_cast<uint32_t>(kMaxReadSamples)) return 0;
  auto* temporary = static_cast<uint8_t*>(std::calloc(waiting, 2));
  if (temporary == nullptr) return 0;
  const ReadResult r = ReadSamples(IOCTL_AD_READ_TRG_DATA, temporary, waiting);
  int32_t samples = 0;
  if (r.ok) {
    std::memcpy(reinterpret_cast<void*>(destination), temporary, r.bytes);
    samples = static_cast<int32_t>(r.bytes / 2);
  }
  std::free(temporary);
  return samples;
}

int32_t AdOneShot(MorlexAddr, MorlexAddr destination) {
  LibraryState* state = State();
  if (state == nullptr) return -1;
  if (destination == 0) return -3;  // nowhere to put the samples
  AdParamBlock& block = state->block;
  alignas(8) uint8_t area[kOneShotReplyBytes] = {};
  // The block describes the result area only for this request; afterwards
  // it describes the caller's data buffer again (or none).
  const uint32_t savedAddress = block.bufferAddress;
  const uint32_t savedBytes = block.bufferBytes;
  block.bufferAddress = WireAddress(area);
  block.bufferBytes = sizeof area;
  const AdParamBlock snapshot = block;
  block.bufferAddress = savedAddress;
  block.bufferBytes = savedBytes;
  if (!state->device) return -1;

  platform::Overlapped overlapped;  // waited for by this thread: no event
  uint32_t bytes = 0;
  uint32_t error = 0;
  // One frame, converted channel after channel: the caller's thread waits
  // at most the acquisition limit of that, and a request still pending then
  // is cancelled before `area` goes out of scope.
  const auto deadline =
      std::chrono::steady_clock::now() + AcquisitionLimit(snapshot.intervalUnit, snapshot.intervalValue,
                                                          snapshot.channelCount, snapshot.extStartTrigger != 0);
  if (state->device->IoControl(IOCTL_AD_ONE_SHOT, &snapshot, sizeof snapshot, area, sizeof area, &bytes,
                               &overlapped, error) ||
      error != platform::ERROR_IO_PENDING) {
    return -1;
  }
  if (!WaitForRequest(*state->device, overlapped, deadline)) {
    state->device->Cancel(&overlapped);
    // A completion that arrived just before the cancel still counts.
    if (!state->device->GetOverlappedResult(&overlapped, &bytes, false, error)) return -2;
  }
  if (!state->device->GetOverlappedResult(&overlapped, &bytes, false, error)) bytes = 0;
  if (bytes / 2 == 0) return -5;
  std::memcpy(reinterpret_cast<void*>(destination), area, bytes / 2 * 2);
  return 0;
}

int32_t AdStopOneshotModeThread(void) { return TimedRequest(IOCTL_AD_STOP_ONESHOT, kTestRequestLimitMs); }

int32_t testAdStartPol(void) { return TimedRequest(IOCTL_AD_TEST_START_POL, kTestRequestLimitMs); }

int32_t testAdStopPol(void) {
  uint32_t in = 0;
  uint32_t out = 0;
  return Request(IOCTL_AD_TEST_STOP_POL, &in, sizeof in, &out, sizeof out).ok ? 0 : -1;
}

int32_t AdCreateSystemThread(MorlexAddr) {
  uint32_t in = 0;
  uint32_t out = 0;
  // Failure is reported as the library's request-failure code.
  return Request(IOCTL_AD_CREATE_SYSTEM_THREAD, &in, sizeof in, &out, sizeof out).ok ? 0 : kRequestFailed;
}

}  // extern "C"
