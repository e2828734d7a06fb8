// Both ends of the device wire fed with random and mutated frames: the
// endpoint with requests a broken or hostile client might send, the handle
// with replies a broken driver might send.  Neither may crash, hang, write
// outside a buffer or lose track of a call; under the sanitizers any stray
// access is reported.  Pseudo-random with fixed seeds, so a failure repeats;
// DEVICE_FUZZ_ROUNDS runs more rounds, DEVICE_FUZZ_SEED other ones.
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
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
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kName = std::string(morlex::kDeviceClassGuid) + "-0";
// Every wait of the test on the other side ends by this deadline.
constexpr auto kDeadline = std::chrono::seconds(10);

int Rounds(int normal) {
  const char* env = std::getenv("DEVICE_FUZZ_ROUNDS");
  return env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : normal;
}

uint64_t Seed(uint64_t normal) {
  const char* env = std::getenv("DEVICE_FUZZ_SEED");
  return env != nullptr && *env != '\0' ? normal ^ std::strtoull(env, nullptr, 0) : normal;
}

// ---------------------------------------------------------------- frames

Bytes Frame(wire::FrameKind kind, uint64_t id, uint32_t word1, uint32_t word2, const Bytes& payload = {}) {
  wire::Header h;
  h.kind = kind;
  h.requestId = id;
  h.word1 = word1;
  h.word2 = word2;
  h.payloadLen = static_cast<uint32_t>(payload.size());
  const auto head = wire::EncodeHeader(h);
  Bytes frame(head.begin(), head.end());
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

void Put32(Bytes& frame, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4 && at + i < frame.size(); ++i) frame[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const Bytes& frame, size_t at) {
  uint32_t v = 0;
  for (size_t i = 4; i-- > 0;) v = (v << 8) | frame[at + i];
  return v;
}

class Random {
 public:
  explicit Random(uint64_t seed) : gen_(seed) {}
  uint64_t Next() { return gen_(); }
  // 0 .. n-1
  size_t Below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(gen_() % n); }
  bool OneIn(size_t n) { return Below(n) == 0; }
  Bytes Fill(size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(gen_());
    return b;
  }
  // A length field value near the limits the reader must survive.
  uint32_t EvilLength() {
    const uint32_t choices[] = {wire::kMaxPayload, wire::kMaxPayload + 1, 0xFFFFFFFFu, 0x80000000u,
                                static_cast<uint32_t>(gen_())};
    return choices[Below(std::size(choices))];
  }

 private:
  std::mt19937_64 gen_;
};

// Damages a list of frames the way a broken peer or a bad line would: a
// length off by one or far too large, a wrong kind, id or count, a damaged
// magic or reserved field, a repeated frame, stray bytes, flipped bytes, a
// stream cut short.  Returns the bytes to send.
Bytes Mutate(std::vector<Bytes> frames, Random& rnd, int count) {
  bool cut = false;
  int flips = 0;
  static constexpr size_t kMagicAndReserved[] = {0, 3, 6, 7, 28, 31};
  for (int m = 0; m < count && !frames.empty(); ++m) {
    Bytes& f = frames[rnd.Below(frames.size())];
    if (f.size() < wire::kHeaderSize) continue;  // stray bytes inserted before
    switch (rnd.Below(10)) {
      case 0:  // payload length off by one
        Put32(f, 24, Get32(f, 24) + (rnd.OneIn(2) ? 1u : 0xFFFFFFFFu));
        break;
      case 1:
        Put32(f, 24, rnd.EvilLength());
        break;
      case 2: {  // a kind that does not belong here, or none at all
        const uint16_t kinds[] = {0, 1, 2, 3, 4, 5, 0xFFFF};
        const uint16_t k = kinds[rnd.Below(std::size(kinds))];
        f[4] = static_cast<uint8_t>(k);
        f[5] = static_cast<uint8_t>(k >> 8);
        break;
      }
      case 3:  // magic or a reserved field
        f[kMagicAndReserved[rnd.Below(std::size(kMagicAndReserved))]] ^= static_cast<uint8_t>(1 + rnd.Below(255));
        break;
      case 4: {  // the second word: control code / output length, or status / count claimed
        const uint32_t w = Get32(f, 20);
        const uint32_t choices[] = {0, w + 1, w - 1, 0xFFFFFFFFu, static_cast<uint32_t>(rnd.Next())};
        Put32(f, rnd.OneIn(3) ? 16 : 20, choices[rnd.Below(std::size(choices))]);
        break;
      }
      case 5:  // another id
        Put32(f, 8 + 4 * rnd.Below(2), rnd.OneIn(2) ? Get32(f, 8) + 1 : static_cast<uint32_t>(rnd.Next()));
        break;
      case 6: {
        Bytes copy = f;
        frames.insert(frames.begin() + static_cast<long>(rnd.Below(frames.size() + 1)), std::move(copy));
        break;
      }
      case 7:
        frames.insert(frames.begin() + static_cast<long>(rnd.Below(frames.size() + 1)), rnd.Fill(1 + rnd.Below(48)));
        break;
      case 8:
        ++flips;
        break;
      default:
        cut = true;
    }
  }
  Bytes bytes;
  for (const auto& f : frames) bytes.insert(bytes.end(), f.begin(), f.end());
  for (int i = 0; i < flips && !bytes.empty(); ++i) bytes[rnd.Below(bytes.size())] ^= static_cast<uint8_t>(1 + rnd.Below(255));
  if (cut && !bytes.empty()) bytes.resize(rnd.Below(bytes.size()));
  return bytes;
}

// Sends in pieces of random size, giving the reader a chance to run between
// them, so frames arrive split at every possible place.
void SendInPieces(int fd, const Bytes& bytes, Random& rnd) {
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t n = rnd.OneIn(4) ? bytes.size() - at : std::min(bytes.size() - at, 1 + rnd.Below(40));
    if (!sockio::SendAll(fd, std::span(bytes).subspan(at, n))) return;  // the peer gave up: fine
    at += n;
    ::sched_yield();
  }
}

// Reads what arrives until `enough` holds for the bytes so far, the peer
// closes, or the deadline; false only at the deadline.
template <typename Enough>
bool ReadUntil(int fd, Bytes& got, Enough enough, bool& closed) {
  const auto end = Clock::now() + kDeadline;
  closed = false;
  while (!enough(got)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    uint8_t chunk[4096];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
      closed = true;
      return true;
    }
    got.insert(got.end(), chunk, chunk + n);
  }
  return true;
}

// The frames a reader of `bytes` takes in before it stops at the first bad
// one, as the endpoint and the handle read them.  `complete` says whether
// the bytes end exactly after the last frame taken.
struct Parsed {
  std::vector<std::pair<wire::Header, Bytes>> frames;
  bool complete = true;
};
Parsed Parse(const Bytes& bytes) {
  Parsed out;
  size_t at = 0;
  while (at < bytes.size()) {
    const auto h = wire::DecodeHeader(std::span(bytes).subspan(at));
    if (!h || bytes.size() - at - wire::kHeaderSize < h->payloadLen) {
      out.complete = false;
      break;
    }
    const auto body = bytes.begin() + static_cast<long>(at + wire::kHeaderSize);
    out.frames.emplace_back(*h, Bytes(body, body + h->payloadLen));
    at += wire::kHeaderSize + h->payloadLen;
  }
  return out;
}

// ---------------------------------------------------------------- the endpoint

// What the fuzzed endpoint's handler does, by the low two bits of the code.
enum Behaviour : uint32_t { kEchoNow = 0, kEchoLater = 1, kFailNow = 2, kHoldUntilCancelled = 3 };

class FuzzedEndpoint {
 public:
  explicit FuzzedEndpoint(const std::string& folder) {
    std::string error;
    server_ = DeviceServer::Start(folder, kName, [this](const std::shared_ptr<DeviceCall>& c) { Handle(c); }, error);
    if (!server_) ADD_FAILURE() << error;
  }
  DeviceServer& Server() { return *server_; }
  int Held() const { return held_.load(); }
  int CancelledHeld() const { return cancelledHeld_.load(); }

 private:
  void Handle(const std::shared_ptr<DeviceCall>& call) {
    switch (call->Code() & 3u) {
      case kEchoLater:
        call->Pend();
        [[fallthrough]];
      case kEchoNow: {
        const auto in = call->Input();
        call->Complete(ERROR_SUCCESS, in.first(std::min<size_t>(in.size(), call->OutputLength())));
        break;
      }
      case kFailNow:
        call->Complete(ERROR_IO_DEVICE);
        break;
      default:
        ++held_;
        call->OnCancel([this] { ++cancelledHeld_; });
    }
  }
  std::atomic<int> held_{0};
  std::atomic<int> cancelledHeld_{0};
  std::unique_ptr<DeviceServer> server_;
};

// A request stream a correct client could send: unique ids, now and then a
// cancel of a held call or of an id never used.  `answered` counts the
// calls that complete.
std::vector<Bytes> ValidRequests(Random& rnd, uint64_t& nextId, size_t& answered) {
  std::vector<Bytes> frames;
  answered = 0;
  for (size_t i = 0, count = 1 + rnd.Below(6); i < count; ++i) {
    const uint64_t id = nextId++;
    const auto code = static_cast<uint32_t>(rnd.Next());
    const uint32_t outLen = rnd.OneIn(10) ? 0xFFFFFFFFu : static_cast<uint32_t>(rnd.Below(200));
    frames.push_back(Frame(wire::FrameKind::Request, id, code, outLen, rnd.Fill(rnd.Below(100))));
    const bool held = (code & 3u) == kHoldUntilCancelled;
    answered += held ? 0 : 1;
    if (held && rnd.OneIn(2)) frames.push_back(Frame(wire::FrameKind::Cancel, id, 0, 0));
    if (rnd.OneIn(8)) frames.push_back(Frame(wire::FrameKind::Cancel, 0xFFFF0000u + id, 0, 0));
  }
  return frames;
}

size_t Completions(const Parsed& replies) {
  return static_cast<size_t>(std::count_if(replies.frames.begin(), replies.frames.end(),
                                           [](const auto& f) { return f.first.kind == wire::FrameKind::Completed; }));
}

// Whatever arrived, the endpoint only ever sends well-formed replies to
// requests it was actually given, never more bytes than asked for, and at
// most one completion per request.
void CheckReplies(const Parsed& replies, const Bytes& sentBytes) {
  EXPECT_TRUE(replies.complete) << "a reply frame is malformed or cut short";
  std::map<uint64_t, std::vector<uint32_t>> asked;  // id -> output lengths of the requests read
  for (const auto& [h, payload] : Parse(sentBytes).frames) {
    if (h.kind != wire::FrameKind::Request) {
      if (h.kind != wire::FrameKind::Cancel) break;  // the endpoint stops reading here
      continue;
    }
    asked[h.requestId].push_back(h.word2);
  }
  std::map<uint64_t, size_t> completions;
  for (const auto& [h, payload] : replies.frames) {
    ASSERT_TRUE(h.kind == wire::FrameKind::Completed || h.kind == wire::FrameKind::Pending);
    const auto it = asked.find(h.requestId);
    ASSERT_NE(it, asked.end()) << "reply for an id never requested: " << h.requestId;
    if (h.kind != wire::FrameKind::Completed) continue;
    EXPECT_LE(++completions[h.requestId], it->second.size());
    EXPECT_LE(payload.size(), *std::max_element(it->second.begin(), it->second.end()));
  }
}

TEST(DeviceWireFuzz, EndpointSurvivesRandomAndMutatedRequestsAndLosesNoCall) {
  TempFolder dir;
  FuzzedEndpoint endpoint(dir.Path());
  Random rnd(Seed(0x5EED0001));
  uint64_t nextId = 1;
  const int rounds = Rounds(400);
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    size_t answered = 0;
    auto frames = ValidRequests(rnd, nextId, answered);
    const int kind = static_cast<int>(rnd.Below(10));
    const bool harmed = kind >= 3;
    const Bytes bytes = kind == 9 ? rnd.Fill(rnd.Below(300))  // plain noise
                                  : Mutate(frames, rnd, harmed ? 1 + static_cast<int>(rnd.Below(3)) : 0);

    const int fd = sockio::ConnectUnix(endpoint.Server().Path());
    ASSERT_GE(fd, 0);
    SendInPieces(fd, bytes, rnd);
    Bytes got;
    bool closed = false;
    if (!harmed) {
      // A correct client gets every call answered while it stays connected.
      ASSERT_TRUE(ReadUntil(fd, got, [&](const Bytes& b) { return Completions(Parse(b)) >= answered; }, closed));
      EXPECT_FALSE(closed);
    }
    ::shutdown(fd, SHUT_WR);
    ASSERT_TRUE(ReadUntil(fd, got, [](const Bytes&) { return false; }, closed)) << "the endpoint hangs";
    ::close(fd);
    const Parsed replies = Parse(got);
    CheckReplies(replies, bytes);
    if (!harmed) {
      EXPECT_EQ(Completions(replies), answered);
    }
    if (::testing::Test::HasFatalFailure()) return;
  }

  // Every connection is gone, every held call was cancelled with it (none
  // was lost from the endpoint's books), and a correct client is still
  // served.
  EXPECT_TRUE(WaitUntil([&] { return endpoint.Server().ConnectionCount() == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return endpoint.CancelledHeld() == endpoint.Held(); }))
      << endpoint.CancelledHeld() << " of " << endpoint.Held() << " held calls cancelled";
  EXPECT_GT(endpoint.Held(), 0);
  uint32_t error = 0;
  auto dev = Device::Open(endpoint.Server().Path(), error);
  ASSERT_TRUE(dev) << error;
  const uint8_t in[3] = {7, 8, 9};
  uint8_t out[3] = {};
  Event ev;
  Overlapped ov;
  ov.event = &ev;
  uint32_t bytes = 0;
  ASSERT_TRUE(dev->IoControl(kEchoNow, in, 3, out, 3, &bytes, &ov, error)) << error;
  EXPECT_EQ(bytes, 3u);
  EXPECT_EQ(0, std::memcmp(in, out, 3));
}

// ---------------------------------------------------------------- the handle

// The reply a driver means to give.
struct Reply {
  bool pendFirst = false;
  uint32_t status = ERROR_SUCCESS;
  Bytes payload;
};

Reply RandomReply(Random& rnd, uint32_t outLen) {
  Reply r;
  r.pendFirst = rnd.OneIn(2);
  if (rnd.OneIn(5)) {
    const uint32_t errors[] = {ERROR_IO_DEVICE, ERROR_INVALID_FUNCTION, ERROR_GEN_FAILURE, ERROR_INSUFFICIENT_BUFFER};
    r.status = errors[rnd.Below(std::size(errors))];
  } else if (rnd.OneIn(4)) {
    r.payload = rnd.Fill(outLen + 1 + rnd.Below(3));  // well formed, but more than was asked for
  } else {
    r.payload = rnd.Fill(rnd.Below(static_cast<size_t>(outLen) + 1));
  }
  return r;
}

// What the handle must make of an unharmed reply.
uint32_t Expected(const Reply& r, uint32_t outLen) {
  return r.status == ERROR_SUCCESS && r.payload.size() > outLen ? ERROR_MORE_DATA : r.status;
}

// Accepts one connection on `listenFd`, reads one request, answers it with
// `reply` (harmed by `mutations` when non-zero, or `noise` when given) and
// closes, so the handle never waits for more.
void FakeDriver(int listenFd, const Reply& reply, int mutations, const std::optional<Bytes>& noise, uint64_t seed,
                std::atomic<bool>& sawRequest) {
  Random rnd(seed);
  pollfd p{listenFd, POLLIN, 0};
  if (::poll(&p, 1, 10000) != 1) return;
  const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  Bytes got;
  bool closed = false;
  ReadUntil(fd, got, [](const Bytes& b) { return !Parse(b).frames.empty(); }, closed);
  const Parsed req = Parse(got);
  if (!req.frames.empty()) {
    sawRequest = true;
    const uint64_t id = req.frames.front().first.requestId;
    std::vector<Bytes> frames;
    if (reply.pendFirst) frames.push_back(Frame(wire::FrameKind::Pending, id, 0, 0));
    frames.push_back(Frame(wire::FrameKind::Completed, id, reply.status, static_cast<uint32_t>(reply.payload.size()),
                           reply.payload));
    SendInPieces(fd, noise ? *noise : Mutate(frames, rnd, mutations), rnd);
  }
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

TEST(DeviceWireFuzz, HandleSurvivesRandomAndMutatedRepliesAndNeverWritesPastTheOutput) {
  TempFolder dir;
  const std::string path = dir.Path() + "/" + kName;
  const int listenFd = sockio::ListenUnix(path);
  ASSERT_GE(listenFd, 0);
  Random rnd(Seed(0x5EED0002));
  const int rounds = Rounds(400);
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const uint32_t outLen = rnd.OneIn(8) ? 0 : static_cast<uint32_t>(1 + rnd.Below(300));
    const Bytes input = rnd.Fill(rnd.Below(81));
    const Reply reply = RandomReply(rnd, outLen);
    const int kind = static_cast<int>(rnd.Below(10));
    const int mutations = kind >= 3 && kind < 9 ? 1 + static_cast<int>(rnd.Below(3)) : 0;
    std::optional<Bytes> noise;
    if (kind == 9) {
      noise = rnd.Fill(rnd.Below(200));
      if (rnd.OneIn(2) && noise->size() >= 4) Put32(*noise, 0, wire::kMagic);  // get past the first check
    }
    std::atomic<bool> sawRequest{false};
    std::thread driver(FakeDriver, listenFd, std::cref(reply), mutations, std::cref(noise), rnd.Next(),
                       std::ref(sawRequest));

    uint32_t error = 0;
    auto dev = Device::Open(path, error);
    ASSERT_TRUE(dev) << error;
    auto out = std::make_unique<Guarded>(outLen);
    Event ev;
    Overlapped ov;
    ov.event = &ev;
    uint32_t bytes = 0xDEAD;
    const bool now = dev->IoControl(morlex::IOCTL_AD_START_POL, input.data(), static_cast<uint32_t>(input.size()),
                                    out->Out(), outLen, &bytes, &ov, error);

    bool ok = now;
    uint32_t finalError = now ? ERROR_SUCCESS : error;
    if (!now && error == ERROR_IO_PENDING) {
      const size_t ending = rnd.Below(4);
      if (ending == 0) {
        // Given up at once: the buffer goes back to the heap while the reply
        // may still be on its way; a late write would be a use after free.
        dev->Cancel(&ov);
        out.reset();
        // Aborted, or completed just before the cancel: never still open.
        if (!dev->GetOverlappedResult(&ov, &bytes, false, error)) {
          EXPECT_NE(error, ERROR_IO_INCOMPLETE);
        }
      } else if (ending == 1) {
        dev.reset();  // the handle closed with the request still open
        out.reset();
      } else {
        ASSERT_EQ(ev.Wait(10000), WAIT_OBJECT_0) << "a pending request never ended though the driver left";
        ok = dev->GetOverlappedResult(&ov, &bytes, false, error);
        finalError = ok ? ERROR_SUCCESS : error;
        EXPECT_NE(finalError, ERROR_IO_INCOMPLETE);
      }
    } else if (!now) {
      EXPECT_EQ(bytes, 0u);
    }
    driver.join();
    if (!out) continue;

    if (ok) {
      ASSERT_LE(bytes, outLen);
      EXPECT_TRUE(out->UntouchedFrom(bytes)) << "written past the " << bytes << " bytes reported";
    } else {
      EXPECT_TRUE(out->UntouchedFrom(0)) << "a failed request wrote into the output";
    }
    if (mutations == 0 && !noise && sawRequest) {
      // An unharmed reply is delivered exactly.
      EXPECT_EQ(now, !reply.pendFirst && Expected(reply, outLen) == ERROR_SUCCESS);
      EXPECT_EQ(finalError, Expected(reply, outLen));
      if (ok) {
        ASSERT_EQ(bytes, reply.payload.size());
        EXPECT_EQ(Bytes(out->Out(), out->Out() + bytes), reply.payload);
      }
    }
  }
  ::close(listenFd);
}

}  // namespace
