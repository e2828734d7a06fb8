// The driver side of a device endpoint: registers one device of an
// interface class as a socket in the device folder and answers the requests
// that device handles (platform/device.h) send to it.
//
// Each request reaches the handler as a DeviceCall on the connection's own
// thread.  The handler completes the call at once, or returns without
// completing it: the call then pends, and any thread (a timer, a worker) may
// complete it later.  A call is completed once; later completions, and
// completions after the client cancelled or went away, do nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace platform {

class DeviceCall {
 public:
  virtual ~DeviceCall();

  virtual uint32_t Code() const = 0;
  virtual std::span<const uint8_t> Input() const = 0;
  virtual uint32_t OutputLength() const = 0;

  // Completes the request with a system error code and the output bytes
  // (their count is the byte count reported).  False when the call was
  // already completed, cancelled, or its client is gone.
  virtual bool Complete(uint32_t status, std::span<const uint8_t> output = {}) = 0;

  // Completes with a byte count that differs from the bytes sent: for drivers
  // that misbehave on purpose (fault injection).
  virtual bool CompleteClaiming(uint32_t status, uint32_t claimedBytes, std::span<const uint8_t> output) = 0;

  // Tells the client now that the request pends (otherwise that happens when
  // the handler returns).  Call it before handing the call to another thread
  // that may complete it at once, so the client never mistakes that for an
  // immediate completion.
  virtual void Pend() = 0;

  // True once completed, cancelled by the client, or the client went away.
  virtual bool Finished() const = 0;

  // Runs `fn` once when the client cancels the call or disconnects before it
  // is completed (at once when that has already happened).  Runs on the
  // connection's thread, or in the caller when already cancelled.
  virtual void OnCancel(std::function<void()> fn) = 0;
};

using DeviceHandler = std::function<void(const std::shared_ptr<DeviceCall>& call)>;

class DeviceServer {
 public:
  // Creates `folder` (mode 0700) or takes an existing one of this user,
  // narrowed to 0700; refuses a folder that is a symbolic link, that is
  // reached through a link another user made, that belongs to another user
  // or that group or others can write to.  Replaces a stale endpoint `name`
  // in it only when that is a socket of this user that nobody answers on,
  // and listens there (socket mode 0600), bound inside the checked folder.
  // nullptr with `error` describing why.
  static std::unique_ptr<DeviceServer> Start(const std::string& folder, const std::string& name,
                                             DeviceHandler handler, std::string& error);

  // Stops serving: removes the endpoint, drops every connection (their
  // pending calls count as cancelled), joins all threads.
  virtual ~DeviceServer();
  virtual void Stop() = 0;

  virtual const std::string& Path() const = 0;
  // Connections currently open (clients holding the device open).
  virtual size_t ConnectionCount() const = 0;
};

// Creates the device folder with mode 0700 (parents as needed) by the
// rules of DeviceServer::Start.  False with `error` set when it cannot or
// must not be used.
bool PrepareDeviceFolder(const std::string& folder, std::string& error);

}  // namespace platform
