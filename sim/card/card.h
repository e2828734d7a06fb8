// The simulated QDA7100 card behind its driver: answers every request of the
// driver interface from the options and the synthetic profile.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "options.h"
#include "platform/device_server.h"
#include "requests.h"
#include "scheduler.h"

namespace cardsim {

// Error for a second acquisition while one runs (Windows' ERROR_BUSY).
inline constexpr uint32_t kErrorBusy = 170;

class Card {
 public:
  // `vanish` is run when the driver must disappear mid-acquisition
  // (--exit-during-acquisition); it normally does not return.  `notice`
  // gets one line (without its end) when an injected fault starts or ends
  // (--hang-for); the program writes it to standard error.
  Card(Options options, std::function<void()> vanish, std::function<void(const std::string&)> notice = {});
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  // The endpoint's request handler; safe from several connections at once.
  // `arrived` is when the request reached the card: an acquisition scans
  // from then on.
  void Handle(const std::shared_ptr<platform::DeviceCall>& call,
              Scheduler::Clock::time_point arrived = Scheduler::Clock::now());

 private:
  using Call = std::shared_ptr<platform::DeviceCall>;
  using Clock = Scheduler::Clock;

  enum class AcqKind { None, Pol, Ring, OneShot };
  enum class HangPhase { Before, Hanging, Over };
  enum class BufKind { None, Ring, Trigger };

  struct Acquisition {
    AcqKind kind = AcqKind::None;
    Call call;
    bool held = false;  // accepted during the hang: only a cancel ends it
    uint64_t token = 0;
    std::vector<uint16_t> data;    // Pol and OneShot: the samples to deliver
    Clock::time_point scanStart;   // Pol: when the first frame is taken
    double interval = 0;           // seconds per frame
    size_t channels = 0;
    int group = 0;
    AdParamBlock block{};
    // Ring and limit modes
    Clock::time_point lastTick;
    double carryFrames = 0;
    bool triggered = false;
    uint32_t postLeft = 0;
    std::deque<uint16_t> history;  // samples before the trigger
    std::vector<uint16_t> post;    // samples from the trigger on
  };

  // Request groups.
  void SetUp(const Call& call, const AdParamBlock& b, uint32_t code);
  void GetResource(const Call& call);
  void StartPol(const Call& call, const AdParamBlock& b, Clock::time_point accepted);
  void StartRing(const Call& call, const AdParamBlock& b);
  // The parts of the starts that run with mu_ held, once the card is free.
  void StartPolLocked(const Call& call, const AdParamBlock& b, size_t frames, uint64_t deliver, double interval,
                      double delaySeconds, double scanSeconds, Clock::time_point accepted);
  void StartRingLocked(const Call& call, const AdParamBlock& b, bool limitMode);
  void OneShot(const Call& call, const AdParamBlock& b);
  void Stop(const Call& call);
  void TestRequest(const Call& call);
  void RingCount(const Call& call);
  void ReadBuffer(const Call& call, BufKind kind);
  void AllocRing(const Call& call);
  void AllocTrigger(const Call& call);
  void FreeBuffer(const Call& call, BufKind kind);

  // Checks the acquisition fields of a block; an error code or 0.
  uint32_t CheckAcquisition(const AdParamBlock& b) const;
  void FinishPol(const Call& call, bool stopped);
  void FinishOneShot(const Call& call, uint32_t status);
  void RingTick(const Call& call);
  void EndRing(const Call& call, uint32_t word);
  void Abandon(const Call& call);  // cancelled by the client
  // Called with mu_ held for each acquisition the card accepts: true when it
  // falls into the hang and must be held (Hold) instead of run.
  bool HoldsNext();
  void Hold(const Call& call, AcqKind kind);
  void EndHang();
  std::vector<uint16_t> Generate(size_t frames, const AdParamBlock& b, int group, double interval);

  // Replies.
  void ReplyData(const Call& call, const std::vector<uint8_t>& bytes);
  void ReplySamples(const Call& call, const std::vector<uint16_t>& samples);
  void ReplyWord(const Call& call, uint32_t natural, size_t width = 4);
  uint32_t Word(uint32_t code, uint32_t natural) const;
  Clock::duration Real(double seconds) const;

  const Options opt_;
  const std::function<void()> vanish_;
  const std::function<void(const std::string&)> notice_;

  std::mutex mu_;
  uint64_t polCount_ = 0;  // polling acquisitions started: selects the group
  uint64_t frame_ = 0;     // frames of the sample stream used so far
  Acquisition acq_;
  BufKind buffer_ = BufKind::None;
  size_t capacity_ = 0;    // samples the held buffer holds
  uint32_t preCount_ = 0;  // trigger buffer: samples before / from the trigger
  uint32_t postCount_ = 0;
  std::deque<uint16_t> waiting_;
  bool overrun_ = false;
  uint32_t ringStatus_ = morlex::kRingStopped;
  uint64_t accepted_ = 0;  // acquisitions accepted so far (for --hang-after)
  HangPhase hang_ = HangPhase::Before;

  Scheduler scheduler_;  // last: its thread stops before the state above goes
};

}  // namespace cardsim
