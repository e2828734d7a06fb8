// The device handle against a real endpoint in the same process: completion
// at once and later, buffer bounds, cancellation, and a driver that vanishes.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "device_test_util.h"
#include "morlex/driver.h"
#include "platform/device.h"
#include "platform/device_server.h"
#include "socket_io.h"
#include "wire.h"

using namespace platform;
using devtest::Guarded;
using devtest::TempFolder;
using devtest::WaitUntil;

namespace {

constexpr uint32_t kEcho = 0x100;      // completes at once with its input
constexpr uint32_t kHold = 0x200;      // pends; the test completes it
constexpr uint32_t kFailIo = 0x300;    // fails at once with 1117
constexpr uint32_t kPendDone = 0x400;  // declares pending, then completes in the handler
const std::string kName = std::string(morlex::kDeviceClassGuid) + "-0";

// An endpoint whose handler echoes, fails or holds calls for the test.
class Driver {
 public:
  explicit Driver(const std::string& folder) {
    std::string error;
    server_ = DeviceServer::Start(folder, kName, [this](const std::shared_ptr<DeviceCall>& call) { Handle(call); },
                                  error);
    if (!server_) ADD_FAILURE() << error;
  }
  DeviceServer& Server() { return *server_; }
  void Stop() { server_->Stop(); }

  std::shared_ptr<DeviceCall> TakeHeld() {
    std::shared_ptr<DeviceCall> call;
    EXPECT_TRUE(WaitUntil([&] {
      std::lock_guard lock(mu_);
      if (held_.empty()) return false;
      call = held_.front();
      held_.erase(held_.begin());
      return true;
    }));
    return call;
  }
  int Cancelled() const { return cancelled_.load(); }

 private:
  void Handle(const std::shared_ptr<DeviceCall>& call) {
    switch (call->Code()) {
      case kEcho:
        call->Complete(ERROR_SUCCESS, call->Input());
        break;
      case kFailIo:
        call->Complete(ERROR_IO_DEVICE);
        break;
      case kPendDone:
        call->Pend();
        call->Complete(ERROR_SUCCESS, call->Input());
        break;
      case kHold: {
        call->OnCancel([this] { ++cancelled_; });
        std::lock_guard lock(mu_);
        held_.push_back(call);
        break;
      }
      default:
        call->Complete(ERROR_INVALID_FUNCTION);
    }
  }
  std::unique_ptr<DeviceServer> server_;
  std::mutex mu_;
  std::vector<std::shared_ptr<DeviceCall>> held_;
  std::atomic<int> cancelled_{0};
};

std::unique_ptr<Device> OpenOrFail(const std::string& path) {
  uint32_t error = 0;
  auto dev = Device::Open(path, error);
  EXPECT_TRUE(dev) << "open error " << error;
  return dev;
}

TEST(DeviceRequest, ImmediateCompletionCopiesTheReplyAndSignalsTheEvent) {
  TempFolder dir;
  Driver driver(dir.Path());
  auto dev = OpenOrFail(driver.Server().Path());
  ASSERT_TRUE(dev);

  const std::array<uint8_t, 5> in{1, 2, 3, 4, 5};
  Guarded out(8);
  Event ev;
  Overlapped ov;
  ov.event = &ev;
  uint32_t bytes = 99, error = 0;
  ASSERT_TRUE(dev->IoControl(kEcho, in.data(), 5, out.Out(), out.Size(), &bytes, &ov, error)) << error;
  EXPECT_EQ(bytes, 5u);
  EXPECT_TRUE(ev.IsSet());
  EXPECT_EQ(0, std::memcmp(out.Out(), in.data(), 5));
  EXPECT_EQ(out.Out()[5], 0xA5);  // beyond the byte count: untouched
  EXPECT_TRUE(out.GuardsIntact());

  uint32_t got = 0;
  EXPECT_TRUE(dev->GetOverlappedResult(&ov, &got, false, error));
  EXPECT_EQ(got, 5u);
}

TEST(DeviceRequest, ImmediateFailurePassesTheDriversErrorCode) {
  TempFolder dir;
  Driver driver(dir.Path());
  auto dev = OpenOrFail(driver.Server().Path());
  ASSERT_TRUE(dev);
  Event ev;
  Overlapped ov;
  ov.event = &ev;
  uint32_t error = 0, bytes = 7;
  EXPECT_FALSE(dev->IoControl(kFailIo, nullptr, 0, nullptr, 0, &bytes, &ov, error));
  EXPECT_EQ(error, ERROR_IO_DEVICE);
  EXPECT_EQ(bytes, 0u);
  EXPECT_FALSE(dev->IoControl(0x999, nullptr, 0, nullptr, 0, &bytes, &ov, error));
  EXPECT_EQ(error, ERROR_INVALID_FUNCTION);
}

TEST(DeviceRequest, PendingRequestCompletesLaterThroughItsEvent) {
  TempFolder dir;
  Driver driver(dir.Path());
  auto dev = OpenOrFail(driver.Server().Path());
  ASSERT_TRUE(dev);

  Guarded out(16);
  Event ev;
  Overlapped ov;
  ov.event = &ev;
  uint32_t error = 0;
  ASSERT_FALSE(dev->IoControl(kHold, nullptr, 0, out.Out(), out.Size(), nullptr, &ov, error));
  ASSERT_EQ(error, ERROR_IO_PENDING);
  EXPECT_FALSE(ev.IsSet());
  uint32_t bytes = 0;
  EXPECT_FALSE(dev->GetOverlappedResult(&ov, &bytes, false, error));
  EXPECT_EQ(error, ERROR_IO_INCOMPLETE);

  auto call = driver.TakeHeld();
  ASSERT_TRUE(call);
  EXPECT_EQ(call->OutputLength(), 16u);
  const std::array<uint8_t, 12> reply{9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2};
  std::thread later([&] { EXPECT_TRUE(call->Complete(ERROR_SUCCESS, reply)); });
  EXPECT_EQ(ev.Wait(10000), WAIT_OBJECT_0);
  later.join();
  ASSERT_TRUE(dev->GetOverlappedResult(&ov, &bytes, true, error)) << error;
  EXPECT_EQ(bytes, 12u);
  EXPECT_EQ(0, std::memcmp(out.Out(), reply.data(), reply.size()));
  EXPECT_TRUE(out.GuardsIntact());
  EXPECT_FALSE(call->Complete(ERROR_SUCCESS, reply));  // only the first completion counts
}

TEST(DeviceRequest, RequestDeclaredPendingStaysPendingEvenWhenItsCompletionFollowsAtOnce) {
  TempFolder dir;
  Driver driver(dir.Path());
  auto dev = OpenOrFail(driver.Server().Path());
  ASSERT_TRUE(dev);
  std::array<uint8_t, 3> out{};
  Event ev;
  Overlapped ov;
  ov.event = &ev;
  uint32_t error = 0, bytes = 0;
  EXPECT_FALSE(dev->IoControl(kPendDone, "abc", 3, out.data(), 3, &bytes, &ov, error));
  EXPECT_EQ(error, ERROR_IO_PENDING);
  ASSERT_EQ(ev.Wait(10000), WAIT_OBJECT_0);
  ASSERT_TRUE(dev->GetOverlappedResult(&ov, &bytes, true, error));
  EXPECT_EQ(bytes, 3u);
  EXPECT_EQ(out[2], 'c');
}

TEST(DeviceRequest, RequestsCompleteOutOfOrderIntoTheirOwnBuffers) {
  TempFolder dir;
  Driver driver(dir.Path());
  auto dev = OpenOrFail(driver.Server().Path());
  ASSERT_TRUE(dev);
  std::array<uint8_t, 4> outA{}, outB{};
  Event evA, evB;
  Overlapped ovA, ovB;
  ovA.event = &evA;
  ovB.event = &evB;
  uint32_t error = 0;
  ASSERT_FALSE(dev->IoControl(kHold, nullptr, 0, outA.data(), 4, nullptr, &ovA, error));
  ASSERT_FALSE(dev->IoControl(kHold, nullptr, 0, outB.data(), 4, nullptr, &ovB, error));
  auto callA = driver.TakeHeld();
  auto callB = driver.TakeHeld();
  ASSERT_TRUE(callA && callB);
  const std::array<uint8_t, 2> b{0xBB, 0xBB};
  callB->Complete(ERROR_SUCCESS, b);
  ASSERT_EQ(evB.Wait(10000), WAIT_OBJECT_0);
  EXPECT_FALSE(evA.IsSet());
  callA->Complete(ERROR_IO_DEVICE);
  ASSERT_EQ(evA.Wait(10000), WAIT_OBJECT_0);
  uint32_t bytes = 0;
  EXPECT_TRUE(dev->GetOverlappedResult(&ovB, &bytes, true, error));
  EXPECT_EQ(bytes, 2u);
  EXPECT_EQ(outB[0], 0xBB);
  EXPECT_FALSE(dev->GetOverlappedResult(&ovA, &bytes, true, error));
  EXPECT_EQ(error, ERROR_IO_DEVICE);
  EXPECT_EQ(outA, (std::array<uint8_t, 4>{}));
}

TEST(DeviceRequest, ReplyClaimingMoreThanTheBufferFailsWithoutOverrun) {
  TempFolder dir;
  Driver driver(dir.Path());
  auto dev = OpenOrFail(driver.Server().Path());
  ASSERT_TRUE(dev);
  Guarded out(8);
  Event ev;
  Overlapped ov;
  ov.event = &ev;
  uint32_t error = 0;
  ASSERT_FALSE(dev->IoControl(kHold, nullptr, 0, out.Out(), out.Size(), nullptr, &ov, error));
  auto call = driver.TakeHeld();
  ASSERT_TRUE(call);
  const std::vector<uint8_t> big(40, 0x11);
  call->Complete(ERROR_SUCCESS, big);  // 40 bytes into an 8-byte buffer
  ASSERT_EQ(ev.Wait(10000), WAIT_OBJECT_0);
  uint32_t bytes = 5;
  EXPECT_FALSE(dev->GetOverlappedResult(&ov, &bytes, true, error));
  EXPECT_EQ(error, ERROR_MORE_DATA);
  EXPECT_EQ(bytes, 0u);
  EXPECT_TRUE(out.Untouched());
}

TEST(DeviceRequest, ReplyShorterOrLongerThanItClaimsFails) {
  TempFolder dir;
  Driver driver(dir.Path());
  auto dev = OpenOrFail(driver.Server().Path());
  ASSERT_TRUE(dev);
  for (const auto& [claimed, sent] : {std::pair<uint32_t, size_t>{8, 4}, {4, 8}, {9, 8}}) {
    Guarded out(16);
    Event ev;
    Overlapped ov;
    ov.event = &ev;
    uint32_t error = 0;
    ASSERT_FALSE(dev->IoControl(kHold, nullptr, 0, out.Out(), out.Size(), nullptr, &ov, error));
    auto call = driver.TakeHeld();
    ASSERT_TRUE(call);
    const std::vector<uint8_t> data(sent, 0x22);
    call->CompleteClaiming(ERROR_SUCCESS, claimed, data);
    ASSERT_EQ(ev.Wait(10000), WAIT_OBJECT_0);
    uint32_t bytes = 0;
    EXPECT_FALSE(dev->GetOverlappedResult(&ov, &bytes, true, error));
    EXPECT_EQ(error, ERROR_INVALID_DATA) << claimed << "/" << sent;
    EXPECT_TRUE(out.Untouched());
  }
}

TEST(DeviceRequest, CancelStopsTheDriverAndLeavesTheBufferAlone) {
  TempFolder dir;
  Driver driver(dir.Path());
  auto dev = OpenOrFail(driver.Server().Path());
  ASSERT_TRUE(dev);
  Guarded out(8);
  Event ev;
  Overlapped ov;
  ov.event = &ev;
  uint32_t error = 0;
  ASSERT_FALSE(dev->IoControl(kHold, nullptr, 0, out.Out(), out.Size(), nullptr, &ov, error));
  auto call = driver.TakeHeld();
  ASSERT_TRUE(call);
  dev->Cancel(&ov);
  uint32_t bytes = 0;
  EXPECT_FALSE(dev->GetOverlappedResult(&ov, &bytes, true, error));
  EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
  EXPECT_TRUE(WaitUntil([&] { return driver.Cancelled() == 1; }));
  EXPECT_TRUE(call->Finished());
  EXPECT_FALSE(call->Complete(ERROR_SUCCESS, std::vector<uint8_t>(8, 0x33)));
  dev->Cancel(&ov);  // a second cancel is harmless
  EXPECT_TRUE(out.Untouched());
}

// A driver written directly against the byte protocol, to send what a
// well-behaved endpoint never would: a reply after cancellation, garbage.
class RawDriver {
 public:
  explicit RawDriver(const std::string& folder) : path_(folder + "/raw") {
    listenFd_ = sockio::ListenUnix(path_);
    EXPECT_GE(listenFd_, 0);
  }
  ~RawDriver() {
    if (fd_ >= 0) ::close(fd_);
    ::close(listenFd_);
  }
  const std::string& Path() const { return path_; }
  void Accept() { fd_ = ::accept(listenFd_, nullptr, nullptr); }
  wire::Header ReadFrame() {
    wire::HeaderBytes raw{};
    EXPECT_TRUE(sockio::RecvAll(fd_, raw));
    auto h = wire::DecodeHeader(raw);
    EXPECT_TRUE(h);
    std::vector<uint8_t> payload(h ? h->payloadLen : 0);
    if (!payload.empty()) {
      EXPECT_TRUE(sockio::RecvAll(fd_, payload));
    }
    return h.value_or(wire::Header{});
  }
  void Reply(wire::FrameKind kind, uint64_t id, uint32_t status, std::vector<uint8_t> data) {
    wire::Header h;
    h.kind = kind;
    h.requestId = id;
    h.word1 = status;
    h.word2 = static_cast<uint32_t>(data.size());
    h.payloadLen = h.word2;
    EXPECT_TRUE(sockio::SendAll(fd_, wire::EncodeHeader(h), data));
  }
  void SendRaw(std::vector<uint8_t> bytes) { EXPECT_TRUE(sockio::SendAll(fd_, bytes)); }
  // A device handle connected to this driver.
  std::unique_ptr<Device> Connect() {
    uint32_t error = 0;
    auto dev = Device::Open(path_, error);
    EXPECT_TRUE(dev) << error;
    if (dev) Accept();
    return dev;
  }
  // Issues kHold on `dev` and answers that it pends; the request's header.
  wire::Header IssuePending(Device& dev, Overlapped& ov, Guarded& out) {
    wire::Header request{};
    std::thread pend([&] {
      request = ReadFrame();
      Reply(wire::FrameKind::Pending, request.requestId, 0, {});
    });
    uint32_t error = 0;
    EXPECT_FALSE(dev.IoControl(kHold, nullptr, 0, out.Out(), out.Size(), nullptr, &ov, error));
    EXPECT_EQ(error, ERROR_IO_PENDING);
    pend.join();
    return request;
  }
  // The bytes of a successful completion of request `id` carrying `data`.
  static std::vector<uint8_t> CompletedFrame(uint64_t id, const std::vector<uint8_t>& data) {
    wire::Header h;
    h.kind = wire::FrameKind::Completed;
    h.requestId = id;
    h.word2 = h.payloadLen = static_cast<uint32_t>(data.size());
    const auto head = wire::EncodeHeader(h);
    std::vector<uint8_t> frame(head.begin(), head.end());
    frame.insert(frame.end(), data.begin(), data.end());
    return frame;
  }
  void Hangup() {
    ::close(fd_);
    fd_ = -1;
  }

 private:
  std::string path_;
  int listenFd_ = -1;
  int fd_ = -1;
};

TEST(DeviceRequest, LateReplyAfterCancelIsIgnored) {
  TempFolder dir;
  RawDriver raw(dir.Path());
  auto dev = raw.Connect();
  ASSERT_TRUE(dev);
  uint32_t error = 0;

  Guarded out(8);
  Event ev;
  Overlapped ov;
  ov.event = &ev;
  std::thread driver([&] {
    const auto req = raw.ReadFrame();
    raw.Reply(wire::FrameKind::Pending, req.requestId, 0, {});
    const auto cancel = raw.ReadFrame();
    EXPECT_EQ(cancel.kind, wire::FrameKind::Cancel);
    EXPECT_EQ(cancel.requestId, req.requestId);
    // The driver finishes anyway: this reply must never reach the buffer.
    raw.Reply(wire::FrameKind::Completed, req.requestId, 0, std::vector<uint8_t>(8, 0x44));
    const auto ping = raw.ReadFrame();
    raw.Reply(wire::FrameKind::Completed, ping.requestId, 0, {1});
  });
  ASSERT_FALSE(dev->IoControl(kHold, nullptr, 0, out.Out(), out.Size(), nullptr, &ov, error));
  ASSERT_EQ(error, ERROR_IO_PENDING);
  dev->Cancel(&ov);
  ASSERT_TRUE(ev.IsSet());
  ev.Reset();

  // The stream is ordered: once the ping's reply is in, the late reply has
  // been read and dropped.
  std::array<uint8_t, 1> pong{};
  Event ev2;
  Overlapped ov2;
  ov2.event = &ev2;
  uint32_t bytes = 0;
  EXPECT_TRUE(dev->IoControl(kEcho, nullptr, 0, pong.data(), 1, &bytes, &ov2, error));
  driver.join();
  EXPECT_TRUE(out.Untouched());
  EXPECT_FALSE(ev.IsSet());
  EXPECT_EQ(ov.internalStatus, ERROR_OPERATION_ABORTED);
  EXPECT_TRUE(dev->Connected());
}

// A thread waiting for its reply reads it off the socket itself.  A wait
// that ends in the middle of a frame must leave the rest to the next reader
// (here the reader thread, for a caller that waits on the event) without
// losing the frame's boundary.
TEST(DeviceRequest, WaitEndingInsideAFrameLeavesTheRestToTheNextReader) {
  TempFolder dir;
  RawDriver raw(dir.Path());
  auto dev = raw.Connect();
  ASSERT_TRUE(dev);
  Guarded out(6);
  Event ev;
  Overlapped ov;
  ov.event = &ev;
  const wire::Header first = raw.IssuePending(*dev, ov, out);
  uint32_t error = 0;
  uint32_t bytes = 0;
  EXPECT_FALSE(dev->GetOverlappedResultEx(&ov, &bytes, 20, error));
  EXPECT_EQ(error, WAIT_TIMEOUT);

  // The completion in three pieces: the waiter times out after the first.
  const std::vector<uint8_t> frame = RawDriver::CompletedFrame(first.requestId, {1, 2, 3, 4, 5, 6});
  const auto piece = [&](size_t from, size_t to) {
    return std::vector<uint8_t>(frame.begin() + from, frame.begin() + to);
  };
  raw.SendRaw(piece(0, 20));
  EXPECT_FALSE(dev->GetOverlappedResultEx(&ov, &bytes, 20, error));
  EXPECT_EQ(error, WAIT_TIMEOUT);
  raw.SendRaw(piece(20, 35));
  EXPECT_FALSE(ev.IsSet());
  raw.SendRaw(piece(35, 38));
  ASSERT_EQ(ev.Wait(10000), WAIT_OBJECT_0);
  ASSERT_TRUE(dev->GetOverlappedResultEx(&ov, &bytes, 0, error)) << error;
  EXPECT_EQ(bytes, 6u);
  EXPECT_EQ(0, std::memcmp(out.Out(), "\x01\x02\x03\x04\x05\x06", 6));
  EXPECT_TRUE(out.GuardsIntact());

  // The stream is still in step: the next request gets its own answer.
  std::thread echo([&] {
    const auto req = raw.ReadFrame();
    raw.Reply(wire::FrameKind::Completed, req.requestId, 0, {7});
  });
  std::array<uint8_t, 1> pong{};
  Overlapped ov2;
  EXPECT_TRUE(dev->IoControl(kEcho, nullptr, 0, pong.data(), 1, &bytes, &ov2, error)) << error;
  echo.join();
  EXPECT_EQ(pong[0], 7);

  // Nothing pending, so nobody reads: a driver gone meanwhile still shows.
  raw.Hangup();
  EXPECT_FALSE(dev->Connected());
}

// A request without an event is read for by nobody but its caller: a look
// at it (no wait) reads what has arrived, keeps a frame that is not whole
// yet, and sees the request end once the frame is in.
TEST(DeviceRequest, RequestWithoutEventEndsAtTheLookAfterItsReply) {
  TempFolder dir;
  RawDriver raw(dir.Path());
  auto dev = raw.Connect();
  ASSERT_TRUE(dev);
  Guarded out(6);
  Overlapped ov;
  const wire::Header first = raw.IssuePending(*dev, ov, out);
  uint32_t error = 0;
  uint32_t bytes = 0;
  EXPECT_FALSE(dev->GetOverlappedResult(&ov, &bytes, false, error));
  EXPECT_EQ(error, ERROR_IO_INCOMPLETE);

  const std::vector<uint8_t> frame = RawDriver::CompletedFrame(first.requestId, {11, 12, 13, 14, 15, 16});
  // A sent piece is in the socket when the send returns: each look below
  // finds everything sent before it.
  raw.SendRaw(std::vector<uint8_t>(frame.begin(), frame.begin() + 20));
  EXPECT_FALSE(dev->GetOverlappedResult(&ov, &bytes, false, error));
  EXPECT_EQ(error, ERROR_IO_INCOMPLETE);
  raw.SendRaw(std::vector<uint8_t>(frame.begin() + 20, frame.end()));
  ASSERT_TRUE(dev->GetOverlappedResult(&ov, &bytes, false, error)) << error;
  EXPECT_EQ(bytes, 6u);
  EXPECT_EQ(0, std::memcmp(out.Out(), "\x0b\x0c\x0d\x0e\x0f\x10", 6));
  EXPECT_TRUE(out.GuardsIntact());
}

// Threads waiting at the same time: one reads, the others wait for its
// deliveries or their turn; a cancel ends the wait of the request's thread.
TEST(DeviceRequest, ThreadsWaitingTogetherEachGetTheirOwnEnd) {
  TempFolder dir;
  Driver driver(dir.Path());
  auto dev = OpenOrFail(driver.Server().Path());
  ASSERT_TRUE(dev);
  constexpr int kWaiters = 3;
  std::array<std::array<uint8_t, 2>, kWaiters> outs{};
  std::array<Event, kWaiters> events;
  std::array<Overlapped, kWaiters> ovs;
  std::array<std::shared_ptr<DeviceCall>, kWaiters> calls;
  for (int i = 0; i < kWaiters; ++i) {
    ovs[i].event = &events[i];
    uint32_t error = 0;
    ASSERT_FALSE(dev->IoControl(kHold, nullptr, 0, outs[i].data(), 2, nullptr, &ovs[i], error));
    calls[i] = driver.TakeHeld();
    ASSERT_TRUE(calls[i]);
  }
  std::array<uint32_t, kWaiters> errors{}, counts{};
  std::array<bool, kWaiters> ok{};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i)
    waiters.emplace_back([&, i] { ok[i] = dev->GetOverlappedResultEx(&ovs[i], &counts[i], INFINITE, errors[i]); });
  // Out of order: the last first, the first cancelled, the middle failed.
  const std::array<uint8_t, 2> last{0xCC, 0xDD};
  calls[2]->Complete(ERROR_SUCCESS, last);
  dev->Cancel(&ovs[0]);
  calls[1]->Complete(ERROR_IO_DEVICE);
  for (auto& t : waiters) t.join();
  EXPECT_FALSE(ok[0]);
  EXPECT_EQ(errors[0], ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(ok[1]);
  EXPECT_EQ(errors[1], ERROR_IO_DEVICE);
  EXPECT_TRUE(ok[2]);
  EXPECT_EQ(counts[2], 2u);
  EXPECT_EQ(outs[2], last);
  EXPECT_EQ(outs[0], (std::array<uint8_t, 2>{}));
}

TEST(DeviceRequest, CorruptStreamDisconnectsAndFailsPendingRequests) {
  TempFolder dir;
  RawDriver raw(dir.Path());
  auto dev = raw.Connect();
  ASSERT_TRUE(dev);
  uint32_t error = 0;
  Event ev;
  Overlapped ov;
  ov.event = &ev;
  std::array<uint8_t, 4> out{};
  std::thread driver([&] {
    const auto req = raw.ReadFrame();
    raw.Reply(wire::FrameKind::Pending, req.requestId, 0, {});
    raw.SendRaw(std::vector<uint8_t>(32, 0xEE));
  });
  ASSERT_FALSE(dev->IoControl(kHold, nullptr, 0, out.data(), 4, nullptr, &ov, error));
  ASSERT_EQ(error, ERROR_IO_PENDING);
  driver.join();
  ASSERT_EQ(ev.Wait(10000), WAIT_OBJECT_0);
  uint32_t bytes = 0;
  EXPECT_FALSE(dev->GetOverlappedResult(&ov, &bytes, true, error));
  EXPECT_EQ(error, ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(dev->Connected());
}

TEST(DeviceRequest, DriverThatVanishesFailsPendingAndEveryLaterRequest) {
  TempFolder dir;
  Driver driver(dir.Path());
  auto dev = OpenOrFail(driver.Server().Path());
  ASSERT_TRUE(dev);
  Guarded out(8);
  Event ev;
  Overlapped ov;
  ov.event = &ev;
  uint32_t error = 0;
  ASSERT_FALSE(dev->IoControl(kHold, nullptr, 0, out.Out(), out.Size(), nullptr, &ov, error));
  ASSERT_TRUE(driver.TakeHeld());
  driver.Stop();

  ASSERT_EQ(ev.Wait(10000), WAIT_OBJECT_0);
  uint32_t bytes = 0;
  EXPECT_FALSE(dev->GetOverlappedResult(&ov, &bytes, true, error));
  EXPECT_EQ(error, ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(dev->Connected());
  EXPECT_TRUE(out.Untouched());

  Event ev2;
  Overlapped ov2;
  ov2.event = &ev2;
  EXPECT_FALSE(dev->IoControl(kEcho, "x", 1, out.Out(), out.Size(), &bytes, &ov2, error));
  EXPECT_EQ(error, ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(ev2.IsSet());
}

TEST(DeviceRequest, ClosingAHandleWithARequestPendingIsSafe) {
  TempFolder dir;
  Driver driver(dir.Path());
  auto dev = OpenOrFail(driver.Server().Path());
  ASSERT_TRUE(dev);
  std::array<uint8_t, 4> out{};
  Event ev;
  Overlapped ov;
  ov.event = &ev;
  uint32_t error = 0;
  ASSERT_FALSE(dev->IoControl(kHold, nullptr, 0, out.data(), 4, nullptr, &ov, error));
  dev.reset();
  EXPECT_TRUE(WaitUntil([&] { return driver.Cancelled() == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return driver.Server().ConnectionCount() == 0; }));
}

TEST(DeviceRequest, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  TempFolder dir;
  Driver driver(dir.Path());
  auto dev = OpenOrFail(driver.Server().Path());
  ASSERT_TRUE(dev);
  uint32_t error = 0;
  EXPECT_FALSE(dev->IoControl(kEcho, nullptr, 0, nullptr, 0, nullptr, nullptr, error));
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
  Overlapped ov;
  EXPECT_FALSE(dev->IoControl(kEcho, nullptr, 4, nullptr, 0, nullptr, &ov, error));
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(dev->IoControl(kEcho, nullptr, 0, nullptr, 4, nullptr, &ov, error));
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
  Overlapped never;  // never issued: waiting on it must not hang
  uint32_t bytes = 0;
  EXPECT_FALSE(dev->GetOverlappedResult(&never, &bytes, true, error));
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
}

TEST(DeviceOpen, MissingStaleAndForbiddenEndpoints) {
  TempFolder dir;
  uint32_t error = 0;
  EXPECT_FALSE(Device::Open(dir.Path() + "/nothing", error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(Device::Open("", error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);

  // A socket whose server is gone.
  const std::string stale = dir.Path() + "/stale";
  const int fd = sockio::ListenUnix(stale);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_FALSE(Device::Open(stale, error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);

  if (::geteuid() != 0) {  // root ignores the socket's mode
    Driver driver(dir.Path());
    ASSERT_EQ(::chmod(driver.Server().Path().c_str(), 0), 0);
    EXPECT_FALSE(Device::Open(driver.Server().Path(), error));
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  }
}

TEST(DeviceOpen, PathsLongerThanASocketAddressStillWork) {
  TempFolder dir;
  const std::string deep = dir.Path() + "/" + std::string(60, 'a') + "/" + std::string(60, 'b');
  Driver driver(deep);
  ASSERT_GT(driver.Server().Path().size(), 108u);
  auto dev = OpenOrFail(driver.Server().Path());
  ASSERT_TRUE(dev);
  std::array<uint8_t, 1> out{};
  Event ev;
  Overlapped ov;
  ov.event = &ev;
  uint32_t bytes = 0, error = 0;
  EXPECT_TRUE(dev->IoControl(kEcho, "z", 1, out.data(), 1, &bytes, &ov, error));
  EXPECT_EQ(out[0], 'z');
}

TEST(DeviceEvent, ManualResetStaysSignalledUntilReset) {
  Event ev;
  EXPECT_EQ(ev.Wait(0), WAIT_TIMEOUT);
  EXPECT_EQ(ev.Wait(20), WAIT_TIMEOUT);
  std::thread setter([&] { ev.Set(); });
  EXPECT_EQ(ev.Wait(INFINITE), WAIT_OBJECT_0);
  setter.join();
  EXPECT_EQ(ev.Wait(0), WAIT_OBJECT_0);  // a wait does not consume it
  EXPECT_EQ(ev.Wait(0), WAIT_OBJECT_0);
  ev.Reset();
  EXPECT_FALSE(ev.IsSet());
  EXPECT_EQ(ev.Wait(0), WAIT_TIMEOUT);
}

}  // namespace
