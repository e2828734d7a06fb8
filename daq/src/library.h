// Process-wide state of the library and the driver-request helpers every
// export uses.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "morlex.h"
#include "morlex/driver.h"
#include "platform/device.h"

namespace morlex {

// Result codes shared by several exports.
inline constexpr int32_t kRequestFailed = AD_REQUEST_FAILED;

// One acquisition worker: its pending request lives here, not on the
// worker's stack, so unload and AdFreeDataMem can cancel it safely.
struct Worker {
  platform::Event event;
  platform::Overlapped overlapped;
  std::thread thread;
  bool issued = false;          // request handed to the device (guarded by workerMutex)
  bool aborted = false;         // cancelled by the library (guarded by workerMutex)
  bool usesDataBuffer = false;  // the request writes into the data buffer
  // Given by a stop request (guarded by workerMutex): the worker cancels its
  // request when the driver has not ended it by then.
  std::optional<std::chrono::steady_clock::time_point> stopDeadline;
  bool nudged = false;  // woken to take its stop deadline (guarded by workerMutex)
  std::atomic<bool> finished{false};
};

// How long the driver has to end a worker's acquisition after a stop
// request before the library cancels it.
inline constexpr std::chrono::milliseconds kStopGrace{5000};

struct LibraryState {
  std::unique_ptr<platform::Device> device;  // null when the lookup or open failed
  AdParamBlock block{};
  uint16_t trgBufferAllocated = 0;  // 1 while the driver holds a ring or trigger buffer
  void* moduleHandle = nullptr;     // base of this library's mapping (informational)

  // The data buffer.  The block holds only the low 32 bits of its address;
  // the real pointer and the size actually allocated live here, so a request
  // never gets an output length larger than the memory behind it.
  uint8_t* dataBuffer = nullptr;
  uint32_t dataBufferAllocated = 0;

  // `mode` as the workers read it after their request ends.  The caller's
  // thread writes it together with block.mode.
  std::atomic<uint16_t> liveMode{0};

  std::mutex workerMutex;
  std::list<std::unique_ptr<Worker>> workers;
};

// The state, or null outside the library's load..unload span.
LibraryState* State();

void SetMode(uint16_t mode);

// Outcome of a driver request.
struct Reply {
  bool ok = false;
  uint32_t bytes = 0;
  uint32_t error = 0;
};

// A request the driver must complete at once.  A request that pends is
// cancelled before this returns (its event and output buffer die with the
// call) and counts as failed.
Reply Request(uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outLen);

// A block-input request with a 4-byte output, successful on completion.
Reply BlockRequest(uint32_t code);

// A request with a 4-byte status/count reply that must arrive whole.
std::optional<uint32_t> WordRequest(uint32_t code, const void* in, uint32_t inLen);

// A request with a 4-byte dummy input and output, that may pend up to
// `timeoutMs`: 0 on completion, -2 on time-out (the request is cancelled),
// -1 on any other failure.
int32_t TimedRequest(uint32_t code, uint32_t timeoutMs);

// Posts AD_NOTIFY_MSG to a window; a vanished window drops it.
void Notify(intptr_t window, uint16_t status, uint32_t value);

// Low 32 bits of an address, for the block's and the requests' 32-bit fields.
uint32_t WireAddress(const void* p);

// Starts `body` on a tracked worker thread.  False when no thread can be
// started.  Finished workers are joined here and at unload.
bool StartWorker(bool usesDataBuffer, std::function<void(Worker&)> body);

// Cancels every running worker whose request writes into the data buffer
// (before the buffer is freed); they end with their failure notification.
void CancelDataBufferWorkers();

// Waits for `ev` until `deadline` (nullopt: without limit).  True when it is
// set.
bool WaitForEvent(const platform::Event& ev, std::optional<std::chrono::steady_clock::time_point> deadline);

// Waits until the request on `ov` is no longer pending or `deadline` passes
// (nullopt: without limit); the waiting thread reads the driver's reply
// itself.  True when it ended in time.  For waits nothing else interrupts:
// a worker, which a stop request wakes through its event, waits with
// WaitForEvent.
bool WaitForRequest(platform::Device& device, platform::Overlapped& ov,
                    std::optional<std::chrono::steady_clock::time_point> deadline);

// After a stop request: every running worker gets kStopGrace for its driver
// to end the acquisition; then the worker cancels it and posts (8, 0).
void GiveWorkersStopDeadline();

// Issues a request that must pend on behalf of an acquisition and waits for
// its completion, at most `limit` from the issue (nullopt: no limit; a
// worker then ends by its completion, a stop request's deadline, or a
// cancel from the library).  A request still pending at its deadline is
// cancelled and never touches `out` or the worker's event again.  Posts
// (8, 0) on every failure, a time-out included.  For workers, `worker` lets
// the library cancel the request, which sets the worker's event when it
// ends; for the caller's thread it is null, `ov` lives on the caller's stack
// and the request has no event (the thread waits for the request itself).
struct Acquired {
  bool ok = false;
  bool timedOut = false;  // cancelled at its deadline
  uint32_t bytes = 0;
};
Acquired RunAcquisition(intptr_t window, uint32_t code, const AdParamBlock& block, void* out, uint32_t outLen,
                        platform::Overlapped& ov, Worker* worker,
                        std::optional<std::chrono::milliseconds> limit);

}  // namespace morlex
