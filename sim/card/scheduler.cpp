#include "scheduler.h"

#include <sys/prctl.h>

namespace cardsim {

Scheduler::Scheduler() : thread_([this] { Loop(); }) {}

Scheduler::~Scheduler() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

uint64_t Scheduler::After(Clock::duration delay, std::function<void()> task) {
  std::lock_guard lock(mu_);
  const uint64_t token = next_++;
  const auto due = Clock::now() + delay;
  tasks_.emplace(std::make_pair(due, token), std::move(task));
  due_.emplace(token, due);
  cv_.notify_all();
  return token;
}

bool Scheduler::Cancel(uint64_t token) {
  std::lock_guard lock(mu_);
  const auto it = due_.find(token);
  if (it == due_.end()) return false;
  tasks_.erase(std::make_pair(it->second, token));
  due_.erase(it);
  return true;
}

namespace {
// How long before a task's due time the thread stops sleeping.
constexpr Scheduler::Clock::duration kWakeAhead = std::chrono::microseconds(300);
}  // namespace

void Scheduler::Loop() {
  // Due times are kept to the microsecond, as a card's own clock keeps them,
  // rather than with the 50 us of slack a sleeping thread gets by default.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::unique_lock lock(mu_);
  while (!stop_) {
    if (tasks_.empty()) {
      cv_.wait(lock);
      continue;
    }
    const auto first = tasks_.begin();
    // A copy: Cancel may erase the task (and its key) while this waits.
    const Clock::time_point due = first->first.first;
    const Clock::time_point now = Clock::now();
    if (due - kWakeAhead > now) {
      cv_.wait_until(lock, due - kWakeAhead);
      continue;
    }
    if (due > now) {
      // The last stretch is waited out awake: a thread woken from sleep
      // here runs a tenth of a millisecond or more after its time, a card's
      // own clock does not.  The lock is free meanwhile; the first task is
      // looked up again afterwards, as it may have been cancelled.
      lock.unlock();
      while (Clock::now() < due) std::this_thread::yield();
      lock.lock();
      continue;
    }
    auto task = std::move(first->second);
    due_.erase(first->first.second);
    tasks_.erase(first);
    lock.unlock();
    task();
    lock.lock();
  }
}

}  // namespace cardsim
