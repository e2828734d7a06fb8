#include "card.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/device.h"
#include "profile.h"

namespace cardsim {

using namespace morlex;  // the driver's request codes, block layout and sizes
using platform::ERROR_INSUFFICIENT_BUFFER;
using platform::ERROR_INVALID_FUNCTION;
using platform::ERROR_INVALID_PARAMETER;
using platform::ERROR_IO_DEVICE;
using platform::ERROR_NOT_ENOUGH_MEMORY;
using platform::ERROR_OPERATION_ABORTED;

namespace {

// Largest acquisition the stand-in delivers in one reply (bytes).
constexpr uint64_t kMaxReplyBytes = 32ull * 1024 * 1024;
// Ring and limit modes produce samples in steps of this much real time.
constexpr auto kRingTick = std::chrono::milliseconds(20);
// With --instant each step stands for this much acquisition time.
constexpr double kInstantTickSeconds = 0.1;
// Upper bound of samples produced in one step.
constexpr size_t kMaxTickSamples = 1u << 20;

size_t MaxChannels(int cardType) { return cardType == 1 ? 8 : 4; }

std::vector<uint8_t> ToBytes(const std::vector<uint16_t>& samples) {
  std::vector<uint8_t> bytes(samples.size() * 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    bytes[2 * i] = static_cast<uint8_t>(samples[i]);
    bytes[2 * i + 1] = static_cast<uint8_t>(samples[i] >> 8);
  }
  return bytes;
}

// A request's input as one of the driver header's input structs (their wire
// layout is their memory layout), or nothing when the input is too short.
template <typename T>
std::optional<T> InputAs(std::span<const uint8_t> in) {
  if (in.size() < sizeof(T)) return std::nullopt;
  T value;
  std::memcpy(&value, in.data(), sizeof value);
  return value;
}

bool UsesBlock(uint32_t code) {
  switch (code) {
    case IOCTL_AD_SET_PARAM:
    case IOCTL_AD_SET_CHANNEL:
    case IOCTL_AD_SET_FREQ:
    case IOCTL_AD_SET_DATA_MEM:
    case IOCTL_AD_SET_DATA_COUNT:
    case IOCTL_AD_SET_TRIGGER:
    case IOCTL_AD_SET_LIMIT_TRG:
    case IOCTL_AD_SET_INTERNAL_CLOCK:
    case IOCTL_AD_SET_EXTERNAL_CLOCK:
    case IOCTL_AD_START_POL:
    case IOCTL_AD_START_RING:
    case IOCTL_AD_ONE_SHOT:
      return true;
    default:
      return false;
  }
}

// Does a sample cross the limit trigger's levels?
bool Crosses(uint16_t code, const AdParamBlock& b) {
  const uint16_t v = code & 0x0FFF;  // an out-of-range code sits at the range end
  const bool high = v >= b.limitHighCode;
  const bool low = v <= b.limitLowCode;
  switch (b.limitMode) {
    case 1:
      return high;
    case 2:
      return low;
    case 3:
      return high || low;
    default:
      return false;
  }
}

}  // namespace

Card::Card(Options options, std::function<void()> vanish, std::function<void(const std::string&)> notice)
    : opt_(std::move(options)), vanish_(std::move(vanish)), notice_(std::move(notice)) {}

Card::~Card() = default;

// ------------------------------------------------------------ dispatch

void Card::Handle(const Call& call, Clock::time_point arrived) {
  const RequestInfo* info = FindRequestByCode(call->Code());
  if (info == nullptr) {
    call->Complete(ERROR_INVALID_FUNCTION);
    return;
  }
  if (const auto f = opt_.fail.find(call->Code()); f != opt_.fail.end()) {
    call->Complete(f->second);
    return;
  }
  std::optional<AdParamBlock> block;
  if (UsesBlock(info->code)) {
    block = ParseBlock(call->Input());
    if (!block) {
      call->Complete(ERROR_INVALID_PARAMETER);
      return;
    }
  }
  switch (info->code) {
    case IOCTL_AD_GET_RESOURCE:
      return GetResource(call);
    case IOCTL_AD_START_POL:
      return StartPol(call, *block, arrived);
    case IOCTL_AD_START_RING:
      return StartRing(call, *block);
    case IOCTL_AD_ONE_SHOT:
      return OneShot(call, *block);
    case IOCTL_AD_STOP_IRQ:
    case IOCTL_AD_TEST_STOP_POL:
      return Stop(call);
    case IOCTL_AD_TEST_START_POL:
    case IOCTL_AD_STOP_ONESHOT:
      return TestRequest(call);
    case IOCTL_AD_RING_COUNT:
      return RingCount(call);
    case IOCTL_AD_RING_STATUS: {
      uint32_t word;
      {
        std::lock_guard lock(mu_);
        word = ringStatus_;
      }
      return ReplyWord(call, word);
    }
    case IOCTL_AD_READ_RING:
      return ReadBuffer(call, BufKind::Ring);
    case IOCTL_AD_READ_TRG_DATA:
      return ReadBuffer(call, BufKind::Trigger);
    case IOCTL_AD_ALLOC_RING:
      return AllocRing(call);
    case IOCTL_AD_ALLOC_TRG:
      return AllocTrigger(call);
    case IOCTL_AD_FREE_RING:
      return FreeBuffer(call, BufKind::Ring);
    case IOCTL_AD_FREE_TRG:
      return FreeBuffer(call, BufKind::Trigger);
    case IOCTL_AD_CREATE_SYSTEM_THREAD:
      return ReplyWord(call, 0);
    default:
      return SetUp(call, *block, info->code);
  }
}

// ------------------------------------------------------------ replies

uint32_t Card::Word(uint32_t code, uint32_t natural) const {
  const auto s = opt_.status.find(code);
  return s == opt_.status.end() ? natural : s->second;
}

void Card::ReplyData(const Call& call, const std::vector<uint8_t>& bytes) {
  const uint32_t code = call->Code();
  if (opt_.oversizeReply.count(code) != 0) {
    // Claims, and sends, more than the caller's buffer holds.
    std::vector<uint8_t> big(static_cast<size_t>(call->OutputLength()) + 16, 0x5A);
    std::copy_n(bytes.begin(), std::min(bytes.size(), big.size()), big.begin());
    call->CompleteClaiming(0, static_cast<uint32_t>(big.size()), big);
    return;
  }
  if (opt_.shortReply.count(code) != 0 && !bytes.empty()) {
    call->Complete(0, std::span(bytes).first(bytes.size() / 2));
    return;
  }
  call->Complete(0, bytes);
}

void Card::ReplySamples(const Call& call, const std::vector<uint16_t>& samples) { ReplyData(call, ToBytes(samples)); }

void Card::ReplyWord(const Call& call, uint32_t natural, size_t width) {
  if (call->OutputLength() < width) {
    call->Complete(ERROR_INSUFFICIENT_BUFFER);
    return;
  }
  const uint32_t w = Word(call->Code(), natural);
  std::vector<uint8_t> bytes(width);
  for (size_t i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(w >> (8 * i));
  ReplyData(call, bytes);
}

Scheduler::Clock::duration Card::Real(double seconds) const {
  if (opt_.instant || seconds <= 0) return Clock::duration::zero();
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// ------------------------------------------------------------ set-up

void Card::SetUp(const Call& call, const AdParamBlock& b, uint32_t code) {
  uint32_t status = 0;
  if (code == IOCTL_AD_SET_PARAM && b.cardType != opt_.cardType) status = 1;  // not the card present
  ReplyWord(call, status);
}

void Card::GetResource(const Call& call) {
  // A measurement program asks for the card once, when it starts, and its
  // multiplexer lines then begin at group 0: the next acquisition reads
  // group 0 again, also after the program was restarted.
  {
    std::lock_guard lock(mu_);
    polCount_ = 0;
  }
  if (call->OutputLength() < kResourceReplyBytes) {
    call->Complete(ERROR_INSUFFICIENT_BUFFER);
    return;
  }
  std::vector<uint8_t> out(kResourceReplyBytes, 0);
  const uint32_t type = opt_.reportedCardType.value_or(static_cast<uint32_t>(opt_.cardType));
  for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<uint8_t>(type >> (8 * i));
  out[4] = static_cast<uint8_t>(opt_.ioBase);
  out[5] = static_cast<uint8_t>(opt_.ioBase >> 8);
  out[16] = static_cast<uint8_t>(opt_.irq);
  out[17] = static_cast<uint8_t>(opt_.irq >> 8);
  ReplyData(call, out);
}

uint32_t Card::CheckAcquisition(const AdParamBlock& b) const {
  if (b.channelCount < 1 || b.channelCount > MaxChannels(opt_.cardType)) return ERROR_INVALID_PARAMETER;
  if (!IntervalSeconds(b)) return ERROR_INVALID_PARAMETER;
  return 0;
}

std::vector<uint16_t> Card::Generate(size_t frames, const AdParamBlock& b, int group, double interval) {
  // Called with mu_ held: takes the next `frames` frames of the stream.
  std::vector<uint16_t> samples(frames * b.channelCount);
  FillScanFrames(opt_.profile, opt_.cardType, group, std::span(b.channelList).first(b.channelCount), frame_, interval,
                 samples);
  frame_ += frames;
  return samples;
}

// ------------------------------------------------------------ polling

void Card::StartPol(const Call& call, const AdParamBlock& b, Clock::time_point accepted) {
  // A card scans from the moment it takes the request; the time spent since
  // then (noting the request, making the samples) is part of the scan, not
  // added to it.
  if (const uint32_t bad = CheckAcquisition(b); bad != 0 || b.samplesPerChannel == 0) {
    call->Complete(bad != 0 ? bad : ERROR_INVALID_PARAMETER);
    return;
  }
  const double interval = *IntervalSeconds(b);
  const uint64_t total = uint64_t{b.samplesPerChannel} * b.channelCount;
  if (total * 2 > kMaxReplyBytes) {
    call->Complete(ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  if (total * 2 > call->OutputLength()) {
    call->Complete(ERROR_INSUFFICIENT_BUFFER);
    return;
  }
  uint64_t deliver = total;
  if (b.extStopTrigger != 0 && opt_.endEarly) deliver = std::min<uint64_t>(*opt_.endEarly, total);
  const size_t frames = static_cast<size_t>((deliver + b.channelCount - 1) / b.channelCount);
  const bool waitTrigger = b.extStartTrigger != 0;
  const double scanSeconds = static_cast<double>(frames) * interval;
  const double delaySeconds = waitTrigger ? opt_.startDelayMs / 1000.0 : 0.0;

  {
    std::lock_guard lock(mu_);
    if (acq_.kind != AcqKind::None) {
      call->Complete(kErrorBusy);
      return;
    }
    if (HoldsNext()) {
      Hold(call, AcqKind::Pol);
    } else {
      StartPolLocked(call, b, frames, deliver, interval, delaySeconds, scanSeconds, accepted);
      if (opt_.polImmediate) return;
    }
  }
  call->OnCancel([this, call] { Abandon(call); });
}

void Card::StartPolLocked(const Call& call, const AdParamBlock& b, size_t frames, uint64_t deliver, double interval,
                          double delaySeconds, double scanSeconds, Clock::time_point accepted) {
  const int group = static_cast<int>(polCount_ % static_cast<uint64_t>(opt_.groups));
  ++polCount_;
  auto data = Generate(frames, b, group, interval);
  data.resize(static_cast<size_t>(deliver));
  if (opt_.polImmediate) {
    ReplySamples(call, data);
    return;
  }
  acq_ = Acquisition{};
  acq_.kind = AcqKind::Pol;
  acq_.call = call;
  acq_.data = std::move(data);
  acq_.scanStart = accepted + Real(delaySeconds);
  acq_.interval = interval;
  acq_.channels = b.channelCount;
  acq_.block = b;
  call->Pend();
  // Both times count from the acceptance: on a loaded machine the vanishing
  // half way must still come before the end of the scan.
  const auto sinceAccepted = Clock::now() - accepted;
  if (!opt_.polNever)
    acq_.token = scheduler_.After(Real(delaySeconds + scanSeconds) - sinceAccepted,
                                  [this, call] { FinishPol(call, false); });
  if (opt_.exitDuringAcquisition)
    scheduler_.After(Real(delaySeconds + scanSeconds / 2) - sinceAccepted, [this] { vanish_(); });
}

void Card::FinishPol(const Call& call, bool stopped) {
  std::vector<uint16_t> data;
  {
    std::lock_guard lock(mu_);
    if (acq_.kind != AcqKind::Pol || acq_.call != call || acq_.held) return;
    data = std::move(acq_.data);
    if (stopped) {
      scheduler_.Cancel(acq_.token);
      // Only the frames scanned so far are delivered.
      size_t done = data.size();
      if (!opt_.instant) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - acq_.scanStart).count();
        const double frames = elapsed <= 0 ? 0 : std::floor(elapsed / acq_.interval);
        done = static_cast<size_t>(std::min(static_cast<double>(data.size()), frames * acq_.channels));
      }
      data.resize(done);
    }
    acq_ = Acquisition{};
  }
  ReplySamples(call, data);
}

void Card::Abandon(const Call& call) {
  std::lock_guard lock(mu_);
  if (acq_.call != call) return;
  scheduler_.Cancel(acq_.token);
  acq_ = Acquisition{};
}

// ------------------------------------------------------------ hang (--hang-for)

bool Card::HoldsNext() {
  if (!opt_.hangForMs) return false;
  const uint64_t n = accepted_++;
  if (hang_ == HangPhase::Before && n >= opt_.hangAfter) {
    hang_ = HangPhase::Hanging;
    scheduler_.After(std::chrono::milliseconds(*opt_.hangForMs), [this] { EndHang(); });
    if (notice_)
      notice_("qda7100-sim: hanging for " + std::to_string(*opt_.hangForMs) +
              " ms: acquisitions are accepted and never completed");
  }
  return hang_ == HangPhase::Hanging;
}

void Card::Hold(const Call& call, AcqKind kind) {
  // Taken with mu_ held.  No samples are taken and the group sequence stays
  // where it was: a program that gives the block up asks for it again.
  acq_ = Acquisition{};
  acq_.kind = kind;
  acq_.call = call;
  acq_.held = true;
  call->Pend();
}

void Card::EndHang() {
  std::lock_guard lock(mu_);
  hang_ = HangPhase::Over;
  if (notice_) notice_("qda7100-sim: hang over: acquisitions complete again");
}

// ------------------------------------------------------------ one-shot

void Card::OneShot(const Call& call, const AdParamBlock& b) {
  if (const uint32_t bad = CheckAcquisition(b); bad != 0) {
    call->Complete(bad);
    return;
  }
  if (call->OutputLength() < 2u * b.channelCount) {
    call->Complete(ERROR_INSUFFICIENT_BUFFER);
    return;
  }
  const double interval = *IntervalSeconds(b);
  {
    std::lock_guard lock(mu_);
    if (acq_.kind != AcqKind::None) {
      call->Complete(kErrorBusy);
      return;
    }
    if (HoldsNext()) {
      Hold(call, AcqKind::OneShot);
    } else {
      const int group = static_cast<int>(polCount_ % static_cast<uint64_t>(opt_.groups));
      acq_ = Acquisition{};
      acq_.kind = AcqKind::OneShot;
      acq_.call = call;
      acq_.data = Generate(1, b, group, interval);
      call->Pend();
      acq_.token = scheduler_.After(Real(interval * b.channelCount), [this, call] { FinishOneShot(call, 0); });
    }
  }
  call->OnCancel([this, call] { Abandon(call); });
}

void Card::FinishOneShot(const Call& call, uint32_t status) {
  std::vector<uint16_t> data;
  {
    std::lock_guard lock(mu_);
    if (acq_.kind != AcqKind::OneShot || acq_.call != call || acq_.held) return;
    scheduler_.Cancel(acq_.token);
    data = std::move(acq_.data);
    acq_ = Acquisition{};
  }
  if (status != 0) {
    call->Complete(status);
  } else {
    ReplySamples(call, data);
  }
}

// ------------------------------------------------------------ ring and limit trigger

void Card::StartRing(const Call& call, const AdParamBlock& b) {
  if (const uint32_t bad = CheckAcquisition(b); bad != 0) {
    call->Complete(bad);
    return;
  }
  if (call->OutputLength() < 2) {
    call->Complete(ERROR_INSUFFICIENT_BUFFER);
    return;
  }
  {
    std::lock_guard lock(mu_);
    const bool ringMode = b.mode == kModeRing;
    const bool limitMode = b.mode == kModeLimit || b.mode == kModeLimitRestart;
    if ((ringMode && buffer_ != BufKind::Ring) || (limitMode && buffer_ != BufKind::Trigger) ||
        (!ringMode && !limitMode)) {
      call->Complete(ERROR_INVALID_PARAMETER);  // no suitable buffer, or not a ring mode
      return;
    }
    if (acq_.kind != AcqKind::None) {
      call->Complete(kErrorBusy);
      return;
    }
    if (HoldsNext()) {
      Hold(call, AcqKind::Ring);
    } else {
      StartRingLocked(call, b, limitMode);
    }
  }
  call->OnCancel([this, call] { Abandon(call); });
}

void Card::StartRingLocked(const Call& call, const AdParamBlock& b, bool limitMode) {
  acq_ = Acquisition{};
  acq_.kind = AcqKind::Ring;
  acq_.call = call;
  acq_.interval = *IntervalSeconds(b);
  acq_.channels = b.channelCount;
  acq_.group = static_cast<int>(polCount_ % static_cast<uint64_t>(opt_.groups));
  acq_.block = b;
  acq_.scanStart = acq_.lastTick = Clock::now() + Real(b.extStartTrigger != 0 ? opt_.startDelayMs / 1000.0 : 0.0);
  ringStatus_ = kRingStopped;
  overrun_ = false;
  if (limitMode) waiting_.clear();  // a new capture replaces the old one
  call->Pend();
  const auto first = std::max(acq_.scanStart - Clock::now(), Clock::duration::zero()) +
                     (opt_.instant ? std::chrono::milliseconds(1) : kRingTick);
  acq_.token = scheduler_.After(first, [this, call] { RingTick(call); });
}

void Card::RingTick(const Call& call) {
  std::optional<uint32_t> endWord;
  {
    std::lock_guard lock(mu_);
    if (acq_.kind != AcqKind::Ring || acq_.call != call || acq_.held) return;
    const auto now = Clock::now();
    const double seconds =
        opt_.instant ? kInstantTickSeconds : std::chrono::duration<double>(now - acq_.lastTick).count();
    acq_.lastTick = now;
    acq_.carryFrames += seconds / acq_.interval;
    size_t frames = static_cast<size_t>(std::floor(acq_.carryFrames));
    frames = std::min(frames, kMaxTickSamples / acq_.channels);
    acq_.carryFrames -= static_cast<double>(frames);
    if (acq_.carryFrames > 1e6) acq_.carryFrames = 0;  // far behind: do not catch up forever
    const auto samples = Generate(frames, acq_.block, acq_.group, acq_.interval);

    if (acq_.block.mode == kModeRing) {
      for (uint16_t s : samples) waiting_.push_back(s);
      if (waiting_.size() > capacity_) {
        waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<long>(waiting_.size() - capacity_));
        overrun_ = true;
        ringStatus_ = kRingOverrun;
        endWord = kRingOverrun;
      }
    } else {
      for (uint16_t s : samples) {
        if (!acq_.triggered && Crosses(s, acq_.block)) {
          acq_.triggered = true;
          acq_.postLeft = postCount_;
        }
        if (!acq_.triggered) {
          acq_.history.push_back(s);
          if (acq_.history.size() > preCount_) acq_.history.pop_front();
          continue;
        }
        if (acq_.postLeft == 0) break;
        acq_.post.push_back(s);
        --acq_.postLeft;
      }
      if (acq_.triggered && acq_.postLeft == 0) {
        waiting_.assign(acq_.history.begin(), acq_.history.end());
        waiting_.insert(waiting_.end(), acq_.post.begin(), acq_.post.end());
        ringStatus_ = kTriggerDataReady;
        endWord = kTriggerDataReady;
      }
    }
    if (!endWord) {
      acq_.token = scheduler_.After(opt_.instant ? std::chrono::milliseconds(1) : kRingTick,
                                    [this, call] { RingTick(call); });
    }
  }
  if (endWord) EndRing(call, *endWord);
}

void Card::EndRing(const Call& call, uint32_t word) {
  {
    std::lock_guard lock(mu_);
    if (acq_.kind != AcqKind::Ring || acq_.call != call || acq_.held) return;
    scheduler_.Cancel(acq_.token);
    acq_ = Acquisition{};
  }
  ReplyWord(call, word, 2);
}

// ------------------------------------------------------------ stop and test

void Card::Stop(const Call& call) {
  Call running;
  AcqKind kind;
  {
    std::lock_guard lock(mu_);
    running = acq_.call;
    kind = acq_.kind;
  }
  if (kind == AcqKind::Pol) FinishPol(running, true);
  if (kind == AcqKind::Ring) EndRing(running, kRingStopped);
  ReplyWord(call, 0);
}

void Card::TestRequest(const Call& call) {
  if (call->Code() == IOCTL_AD_STOP_ONESHOT) {
    Call running;
    {
      std::lock_guard lock(mu_);
      if (acq_.kind == AcqKind::OneShot) running = acq_.call;
    }
    if (running) FinishOneShot(running, ERROR_OPERATION_ABORTED);
  }
  if (call->OutputLength() < 4) {
    call->Complete(ERROR_INSUFFICIENT_BUFFER);
    return;
  }
  if (opt_.testPendMs && *opt_.testPendMs == 0) {
    ReplyWord(call, 0);
    return;
  }
  call->Pend();
  if (!opt_.testPendMs) return;  // never completes; the client's cancel ends it
  const uint64_t token =
      scheduler_.After(std::chrono::milliseconds(*opt_.testPendMs), [this, call] { ReplyWord(call, 0); });
  call->OnCancel([this, token] { scheduler_.Cancel(token); });
}

// ------------------------------------------------------------ buffers

void Card::RingCount(const Call& call) {
  uint32_t n;
  {
    std::lock_guard lock(mu_);
    n = static_cast<uint32_t>(waiting_.size());
  }
  if (call->OutputLength() < 4) {
    call->Complete(ERROR_INSUFFICIENT_BUFFER);
    return;
  }
  ReplyData(call, {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
                   static_cast<uint8_t>(n >> 24)});
}

void Card::ReadBuffer(const Call& call, BufKind kind) {
  const auto read = InputAs<AdReadRequest>(call->Input());
  if (!read) {
    call->Complete(ERROR_INVALID_PARAMETER);
    return;
  }
  const uint32_t count = read->count;  // read->target: the caller's address, meaningless here
  if (uint64_t{count} * 2 > call->OutputLength()) {
    call->Complete(ERROR_INSUFFICIENT_BUFFER);
    return;
  }
  std::vector<uint16_t> out;
  {
    std::lock_guard lock(mu_);
    if (buffer_ != kind) {
      call->Complete(ERROR_INVALID_FUNCTION);
      return;
    }
    if (kind == BufKind::Ring && overrun_) {
      overrun_ = false;  // reported once; reading resumes with what is held
      call->Complete(ERROR_IO_DEVICE);
      return;
    }
    const size_t n = std::min<size_t>(count, waiting_.size());
    out.assign(waiting_.begin(), waiting_.begin() + static_cast<long>(n));
    waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<long>(n));
  }
  ReplySamples(call, out);
}

void Card::AllocRing(const Call& call) {
  const auto size = InputAs<uint32_t>(call->Input());  // the ring's size in bytes
  if (!size) {
    call->Complete(ERROR_INVALID_PARAMETER);
    return;
  }
  const uint32_t bytes = *size;
  uint32_t status = 0;
  {
    std::lock_guard lock(mu_);
    if (buffer_ != BufKind::None) {
      status = 1;  // a buffer is already held
    } else if (bytes < 2 || bytes > kMaxReplyBytes) {
      status = 2;  // no such buffer can be made
    } else if (Word(call->Code(), 0) == 0) {
      buffer_ = BufKind::Ring;
      capacity_ = bytes / 2;
      overrun_ = false;
      ringStatus_ = kRingStopped;
      AdParamBlock one{};
      one.channelCount = 1;
      waiting_.clear();
      const auto pre = Generate(std::min<size_t>(opt_.ringWaiting, capacity_), one,
                                static_cast<int>(polCount_ % static_cast<uint64_t>(opt_.groups)), 1e-4);
      waiting_.assign(pre.begin(), pre.end());
    }
  }
  ReplyWord(call, status);
}

void Card::AllocTrigger(const Call& call) {
  const auto spans = InputAs<AdTrgAllocRequest>(call->Input());
  if (!spans) {
    call->Complete(ERROR_INVALID_PARAMETER);
    return;
  }
  const uint32_t pre = spans->count1;
  const uint32_t post = spans->count2;
  uint32_t status = 0;
  {
    std::lock_guard lock(mu_);
    const uint64_t total = uint64_t{pre} + post;
    if (buffer_ != BufKind::None) {
      status = 1;
    } else if (total == 0 || total * 2 > kMaxReplyBytes) {
      status = 2;
    } else if (Word(call->Code(), 0) == 0) {
      buffer_ = BufKind::Trigger;
      preCount_ = pre;
      postCount_ = post;
      capacity_ = static_cast<size_t>(total);
      ringStatus_ = kRingStopped;
      AdParamBlock one{};
      one.channelCount = 1;
      const auto held = Generate(std::min<size_t>(opt_.ringWaiting, capacity_), one,
                                 static_cast<int>(polCount_ % static_cast<uint64_t>(opt_.groups)), 1e-4);
      waiting_.assign(held.begin(), held.end());
    }
  }
  ReplyWord(call, status);
}

void Card::FreeBuffer(const Call& call, BufKind kind) {
  Call running;
  {
    std::lock_guard lock(mu_);
    if (acq_.kind == AcqKind::Ring && buffer_ == kind) running = acq_.call;
  }
  if (running) EndRing(running, kRingStopped);  // the buffer goes: its acquisition ends
  {
    std::lock_guard lock(mu_);
    if (buffer_ == kind) {
      buffer_ = BufKind::None;
      capacity_ = 0;
      waiting_.clear();
      overrun_ = false;
    }
  }
  ReplyWord(call, 0);
}

}  // namespace cardsim
