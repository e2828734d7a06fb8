// Device access with the semantics of Windows' overlapped device I/O.
//
// A device interface class is a folder of device endpoints: every present
// device is a Unix-domain socket in that folder whose file name starts with
// the class GUID (for example "{86114980-...}-0").  Member 0 of a class is the
// first such name in sorted order.  The folder is QDA7100_DEVICE_DIR when set,
// else /run/qda7100 for root, else $XDG_RUNTIME_DIR/qda7100 (or
// /tmp/qda7100-<uid> without XDG_RUNTIME_DIR).  The folder is 0700 and each
// socket 0600.
//
// Only this user and root are trusted to serve a device: the handle's
// replies become measured data.  The lookup refuses a folder that is a
// symbolic link, that reaches it through a link another user made, that
// belongs to another user, or that group or others can write to; opening
// refuses an endpoint whose serving process runs as another user.  A
// refusal gives the usual failure code and one line on standard error that
// says why ("device layer: not using <path>: <why>").
//
// A request either completes at once or pends.  A pending request completes
// later on the device's own I/O thread, which copies the reply into the
// caller's output buffer and then signals the request's manual-reset event.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// System error codes the callers tell apart (Windows' values).
inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_INVALID_DATA = 13;
inline constexpr uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr uint32_t ERROR_MORE_DATA = 234;
inline constexpr uint32_t ERROR_OPERATION_ABORTED = 995;
inline constexpr uint32_t ERROR_IO_INCOMPLETE = 996;
inline constexpr uint32_t ERROR_IO_PENDING = 997;
inline constexpr uint32_t ERROR_IO_DEVICE = 1117;
inline constexpr uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;

inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_TIMEOUT = 258;
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr uint32_t INFINITE = 0xFFFFFFFFu;

// Folder of device endpoints, by the rules above.
std::string DeviceFolder();

// Path of member 0 of a device interface class.  Returns 0 and sets `path`,
// or a negative lookup code: -4 the class folder exists but cannot be
// listed or is not trusted, -5 no present device of the class (also when
// the folder does not exist).  A member is a socket (not a link to one)
// whose name starts with the GUID (letters compared without case).
int FindFirstDevice(std::string_view classGuid, std::string& path);

// A manual-reset event, created not signalled.
class Event {
 public:
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  void Set();
  void Reset();
  bool IsSet() const;
  // WAIT_OBJECT_0 when signalled, WAIT_TIMEOUT after `timeoutMs` (INFINITE
  // waits forever).
  uint32_t Wait(uint32_t timeoutMs) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The record of one overlapped request, like Windows' OVERLAPPED: the caller
// owns it and its event for the life of the request.  A request without an
// event is one its caller collects through GetOverlappedResult(Ex): only a
// request with an event is read for in the background, so that a thread
// waiting on the event alone still wakes.
struct Overlapped {
  Event* event = nullptr;
  // Filled by the device layer; read them through Device::GetOverlappedResult.
  uint32_t internalStatus = ERROR_IO_PENDING;
  uint32_t internalBytes = 0;
  uint64_t internalId = 0;
};

// An open device handle (CreateFile on a device path in overlapped mode).
class Device {
 public:
  // Opens the device at `path`; nullptr on failure with `error` set to a
  // system error code (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ...).
  // ERROR_ACCESS_DENIED also when the process serving it is neither this
  // user's nor root's.
  static std::unique_ptr<Device> Open(const std::string& path, uint32_t& error);
  virtual ~Device();

  // DeviceIoControl with an overlapped record.  Returns true when the request
  // completed at once (bytesReturned set, event signalled).  Returns false
  // with `error` = ERROR_IO_PENDING when it pends, or another code when it
  // failed.  A reply claiming more bytes than `outLen` is a failed request
  // (ERROR_MORE_DATA); nothing is ever written past `out` + `outLen`.  A
  // reply that carries fewer or more bytes than it claims fails with
  // ERROR_INVALID_DATA.  A driver that does not answer within 10 s leaves
  // the request pending.
  // `out` and `ov` must stay valid until the request completes or is
  // cancelled.
  virtual bool IoControl(uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outLen,
                         uint32_t* bytesReturned, Overlapped* ov, uint32_t& error) = 0;

  // Result of a request: true with `bytes` when it completed successfully;
  // false with `error` (ERROR_IO_INCOMPLETE while still pending and !wait).
  virtual bool GetOverlappedResult(Overlapped* ov, uint32_t* bytes, bool wait, uint32_t& error) = 0;

  // GetOverlappedResult that waits at most `timeoutMs` (INFINITE: no limit),
  // as Windows' GetOverlappedResultEx: false with `error` = WAIT_TIMEOUT when
  // the request is still pending then.  The waiting thread reads the reply
  // itself, so it wakes as soon as the reply is in.
  virtual bool GetOverlappedResultEx(Overlapped* ov, uint32_t* bytes, uint32_t timeoutMs, uint32_t& error) = 0;

  // Cancels a pending request: after this returns the device layer no longer
  // touches the request's output buffer or event, and the request reads as
  // failed with ERROR_OPERATION_ABORTED.  Harmless for a completed request.
  virtual void Cancel(Overlapped* ov) = 0;

  // False once the driver has gone away; every later request then fails
  // with ERROR_DEVICE_NOT_CONNECTED.
  virtual bool Connected() const = 0;
};

}  // namespace platform
