// A single timer thread on the monotonic clock: runs each task at or after
// its due time, in due-time order.  Tasks may be cancelled until they run.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace cardsim {

class Scheduler {
 public:
  using Clock = std::chrono::steady_clock;

  Scheduler();
  ~Scheduler();  // drops the tasks not yet run
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // Returns a token for Cancel.  Tasks run on the scheduler's thread.
  uint64_t After(Clock::duration delay, std::function<void()> task);
  // True when the task had not run yet and now never will.
  bool Cancel(uint64_t token);

 private:
  void Loop();

  std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::pair<Clock::time_point, uint64_t>, std::function<void()>> tasks_;
  std::map<uint64_t, Clock::time_point> due_;
  uint64_t next_ = 1;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace cardsim
