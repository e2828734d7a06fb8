// Load and unload of the library, and the driver-request helpers.
#include "library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>

#include "platform/winmsg.h"

namespace morlex {
namespace {

// Created at load, destroyed at unload.  A plain pointer, so no static
// destructor of this library runs in an order of its own.
LibraryState* g_state = nullptr;

constexpr const char* kErrorTitle = "Morlex.Dll Error";

void ShowLoadError(const char* format, long code) {
  char text[128];
  std::snprintf(text, sizeof text, format, code);
  platform::LibraryMessageBox(text, kErrorTitle, platform::MB_OK | platform::MB_ICONQUESTION);
}

void OpenDevice(LibraryState& state) {
  std::string path;
  const int lookup = platform::FindFirstDevice(kDeviceClassGuid, path);
  if (lookup != 0) {
    ShowLoadError("Could not guid device name...(Code:%d)", lookup);
    return;
  }
  uint32_t error = 0;
  state.device = platform::Device::Open(path, error);
  if (!state.device) ShowLoadError("Could not open Qda7100.Sys...(Code:%d)", static_cast<long>(error));
}

void JoinFinishedWorkers(LibraryState& state) {
  std::list<std::unique_ptr<Worker>> done;
  {
    std::lock_guard lock(state.workerMutex);
    for (auto it = state.workers.begin(); it != state.workers.end();) {
      if ((*it)->finished.load()) {
        done.push_back(std::move(*it));
        it = state.workers.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& worker : done) worker->thread.join();
}

// Caller holds workerMutex.  After Cancel the device layer no longer touches
// the request's buffer or event; setting the event wakes the worker, which
// then reads the request as failed and posts its failure notification.
void AbortWorkerLocked(LibraryState& state, Worker& worker) {
  worker.aborted = true;
  if (worker.issued && state.device) state.device->Cancel(&worker.overlapped);
  worker.event.Set();
}

void* ThisModule() {
#if defined(_WIN32)
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
#else
  Dl_info info{};
  return dladdr(reinterpret_cast<void*>(&ThisModule), &info) != 0 ? info.dli_fbase : nullptr;
#endif
}

void Load() {
  try {
    auto* state = new LibraryState();
    state->moduleHandle = ThisModule();
    g_state = state;
    OpenDevice(*state);
  } catch (...) {
    // The load always succeeds; without a device every request fails.
  }
}

void Unload() {
  LibraryState* state = g_state;
  if (state == nullptr) return;
  std::list<std::unique_ptr<Worker>> workers;
  {
    std::lock_guard lock(state->workerMutex);
    for (auto& worker : state->workers) AbortWorkerLocked(*state, *worker);
    workers.swap(state->workers);
  }
  for (auto& worker : workers) worker->thread.join();
  std::free(state->dataBuffer);
  state->device.reset();
  g_state = nullptr;
  delete state;
}

}  // namespace

LibraryState* State() { return g_state; }

void SetMode(uint16_t mode) {
  g_state->block.mode = mode;
  g_state->liveMode.store(mode);
}

uint32_t WireAddress(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

Reply Request(uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outLen) {
  Reply reply;
  LibraryState* state = State();
  if (state == nullptr || !state->device) {
    reply.error = platform::ERROR_INVALID_HANDLE;
    return reply;
  }
  // Waited for by this thread: no event (the device layer then leaves the
  // reading to this thread).
  platform::Overlapped overlapped;
  uint32_t bytes = 0;
  uint32_t error = 0;
  if (state->device->IoControl(code, in, inLen, out, outLen, &bytes, &overlapped, error)) {
    reply.ok = true;
    reply.bytes = bytes;
    return reply;
  }
  // These requests must complete at once; one left pending must not outlive
  // this call's output buffer.
  if (error == platform::ERROR_IO_PENDING) state->device->Cancel(&overlapped);
  reply.error = error;
  return reply;
}

Reply BlockRequest(uint32_t code) {
  uint32_t status = 0;
  return Request(code, &g_state->block, sizeof(AdParamBlock), &status, sizeof status);
}

std::optional<uint32_t> WordRequest(uint32_t code, const void* in, uint32_t inLen) {
  uint8_t out[kStatusReplyBytes] = {};
  const Reply reply = Request(code, in, inLen, out, sizeof out);
  if (!reply.ok || reply.bytes < sizeof out) return std::nullopt;
  return static_cast<uint32_t>(out[0] | out[1] << 8 | out[2] << 16 | static_cast<uint32_t>(out[3]) << 24);
}

int32_t TimedRequest(uint32_t code, uint32_t timeoutMs) {
  LibraryState* state = State();
  if (state == nullptr || !state->device) return -1;
  uint32_t in = 0;
  uint32_t out = 0;
  platform::Overlapped overlapped;  // waited for by this thread: no event
  uint32_t bytes = 0;
  uint32_t error = 0;
  if (state->device->IoControl(code, &in, sizeof in, &out, sizeof out, &bytes, &overlapped, error)) return 0;
  if (error != platform::ERROR_IO_PENDING) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!WaitForRequest(*state->device, overlapped, deadline)) {
    state->device->Cancel(&overlapped);
    return -2;
  }
  return state->device->GetOverlappedResult(&overlapped, &bytes, false, error) ? 0 : -1;
}

void Notify(intptr_t window, uint16_t status, uint32_t value) {
  platform::PostMessage(static_cast<platform::Hwnd>(window), AD_NOTIFY_MSG, status,
                        static_cast<intptr_t>(static_cast<int32_t>(value)));
}

bool StartWorker(bool usesDataBuffer, std::function<void(Worker&)> body) {
  LibraryState* state = State();
  JoinFinishedWorkers(*state);
  auto worker = std::make_unique<Worker>();
  worker->usesDataBuffer = usesDataBuffer;
  worker->overlapped.event = &worker->event;
  Worker* raw = worker.get();
  std::lock_guard lock(state->workerMutex);
  try {
    raw->thread = std::thread([raw, body = std::move(body)] {
      body(*raw);
      raw->finished.store(true);
    });
  } catch (const std::system_error&) {
    return false;
  }
  state->workers.push_back(std::move(worker));
  return true;
}

void CancelDataBufferWorkers() {
  LibraryState* state = State();
  {
    std::lock_guard lock(state->workerMutex);
    for (auto& worker : state->workers) {
      if (worker->usesDataBuffer && !worker->finished.load()) AbortWorkerLocked(*state, *worker);
    }
  }
}

namespace {

using SteadyClock = std::chrono::steady_clock;

// The longest single wait on an event (INFINITE is reserved for "no limit").
constexpr std::chrono::milliseconds kLongestSingleWait{0x7FFFFFFF};

// The next single wait towards `deadline` in milliseconds (INFINITE without
// one), or nothing once it has passed.
std::optional<uint32_t> NextWaitMs(std::optional<SteadyClock::time_point> deadline) {
  if (!deadline) return platform::INFINITE;
  const auto left = *deadline - SteadyClock::now();
  if (left <= SteadyClock::duration::zero()) return std::nullopt;
  const auto ms = std::min(std::chrono::ceil<std::chrono::milliseconds>(left), kLongestSingleWait);
  return static_cast<uint32_t>(ms.count());
}

std::optional<SteadyClock::time_point> Earlier(std::optional<SteadyClock::time_point> a,
                                               std::optional<SteadyClock::time_point> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// Waits until the request ends, its deadline passes, or (for a worker) the
// deadline of a stop request passes.  False at a deadline.  The caller's
// thread waits for the request itself; a worker waits for its event, which
// a stop request sets too.
bool WaitForCompletion(LibraryState& state, platform::Overlapped& ov, Worker* worker,
                       std::optional<SteadyClock::time_point> deadline) {
  if (worker == nullptr) return WaitForRequest(*state.device, ov, deadline);
  for (;;) {
    std::optional<SteadyClock::time_point> until = deadline;
    {
      std::lock_guard lock(state.workerMutex);
      until = Earlier(until, worker->stopDeadline);
    }
    if (!WaitForEvent(worker->event, until)) return false;
    std::lock_guard lock(state.workerMutex);
    if (!worker->nudged) return true;
    // Woken by a stop request rather than by the request: wait on with the
    // new deadline, unless the request ended meanwhile.  The device layer
    // sets the event after it has recorded the end, so a completion after
    // this reset still wakes the next wait.
    worker->nudged = false;
    worker->event.Reset();
    uint32_t bytes = 0;
    uint32_t error = 0;
    if (state.device->GetOverlappedResult(&ov, &bytes, false, error) || error != platform::ERROR_IO_INCOMPLETE)
      return true;
  }
}

}  // namespace

bool WaitForEvent(const platform::Event& ev, std::optional<std::chrono::steady_clock::time_point> deadline) {
  for (;;) {
    const auto ms = NextWaitMs(deadline);
    if (!ms) return ev.IsSet();
    if (ev.Wait(*ms) == platform::WAIT_OBJECT_0) return true;
  }
}

bool WaitForRequest(platform::Device& device, platform::Overlapped& ov,
                    std::optional<SteadyClock::time_point> deadline) {
  uint32_t bytes = 0;
  uint32_t error = 0;
  for (;;) {
    const auto ms = NextWaitMs(deadline);
    if (!ms) return device.GetOverlappedResult(&ov, &bytes, false, error) || error != platform::ERROR_IO_INCOMPLETE;
    if (device.GetOverlappedResultEx(&ov, &bytes, *ms, error) || error != platform::WAIT_TIMEOUT) return true;
  }
}

void GiveWorkersStopDeadline() {
  LibraryState* state = State();
  const auto deadline = SteadyClock::now() + kStopGrace;
  std::lock_guard lock(state->workerMutex);
  for (auto& worker : state->workers) {
    if (worker->finished.load() || worker->stopDeadline) continue;
    worker->stopDeadline = deadline;
    worker->nudged = true;
    worker->event.Set();
  }
}

Acquired RunAcquisition(intptr_t window, uint32_t code, const AdParamBlock& block, void* out, uint32_t outLen,
                        platform::Overlapped& ov, Worker* worker,
                        std::optional<std::chrono::milliseconds> limit) {
  LibraryState* state = State();
  auto fail = [&] {
    Notify(window, AD_STATUS_FAILED, 0);
    return Acquired{};
  };
  if (!state->device) return fail();
  // The limit counts from the issue: a driver slow to accept the request
  // uses up part of it.
  std::optional<SteadyClock::time_point> deadline;
  if (limit) deadline = SteadyClock::now() + *limit;
  // A worker waits on its event, which a stop request sets too; the
  // caller's thread waits for the request itself and needs none.
  ov.event = nullptr;
  if (worker != nullptr) {
    worker->event.Reset();
    ov.event = &worker->event;
  }
  uint32_t bytes = 0;
  uint32_t error = 0;
  {
    // Workers issue under the lock so that a cancel from unload or
    // AdFreeDataMem comes either before the issue (the worker gives up) or
    // after it (the request is cancelled).
    std::unique_lock lock(state->workerMutex, std::defer_lock);
    if (worker != nullptr) {
      lock.lock();
      if (worker->aborted) return fail();
    }
    const bool immediate = state->device->IoControl(code, &block, sizeof block, out, outLen, &bytes, &ov, error);
    if (immediate || error != platform::ERROR_IO_PENDING) return fail();
    if (worker != nullptr) worker->issued = true;
  }
  Notify(window, block.extStartTrigger != 0 ? AD_STATUS_WAIT_TRIGGER : AD_STATUS_STARTED, 0);
  if (!WaitForCompletion(*state, ov, worker, deadline)) {
    state->device->Cancel(&ov);
    // A completion that arrived just before the cancel still counts.
    if (state->device->GetOverlappedResult(&ov, &bytes, false, error)) return Acquired{true, false, bytes};
    Notify(window, AD_STATUS_FAILED, 0);
    return Acquired{false, true, 0};
  }
  if (!state->device->GetOverlappedResult(&ov, &bytes, false, error)) {
    // Also reached after a cancel: make sure the request is gone for good.
    state->device->Cancel(&ov);
    return fail();
  }
  return Acquired{true, false, bytes};
}

}  // namespace morlex

// Process attach and detach; thread attach and detach do nothing.
#if defined(_WIN32)
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) morlex::Load();
  if (reason == DLL_PROCESS_DETACH) morlex::Unload();
  return TRUE;
}
#else
__attribute__((constructor)) static void MorlexProcessAttach() { morlex::Load(); }
__attribute__((destructor)) static void MorlexProcessDetach() { morlex::Unload(); }
#endif
