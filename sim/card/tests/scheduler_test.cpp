// The stand-in's timer thread.
#include "scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "device_test_util.h"

using cardsim::Scheduler;
using namespace std::chrono_literals;

namespace {

TEST(CardScheduler, RunsTasksInDueOrderNotInOrderOfScheduling) {
  Scheduler s;
  std::mutex mu;
  std::vector<int> order;
  auto note = [&](int n) {
    return [&, n] {
      std::lock_guard lock(mu);
      order.push_back(n);
    };
  };
  s.After(30ms, note(3));
  s.After(10ms, note(1));
  s.After(20ms, note(2));
  s.After(0ms, note(0));
  ASSERT_TRUE(devtest::WaitUntil([&] {
    std::lock_guard lock(mu);
    return order.size() == 4;
  }));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
}

TEST(CardScheduler, CancelledTaskNeverRunsEvenWhileTheThreadWaitsForIt) {
  std::atomic<int> ran{0};
  {
    Scheduler s;
    // The thread is asleep until this task's due time when it goes.
    const auto token = s.After(50ms, [&] { ran += 100; });
    std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(s.Cancel(token));
    EXPECT_FALSE(s.Cancel(token));
    s.After(1ms, [&] { ran += 1; });
    ASSERT_TRUE(devtest::WaitUntil([&] { return ran.load() != 0; }));
    std::this_thread::sleep_for(60ms);  // past the cancelled task's time
  }
  EXPECT_EQ(ran.load(), 1);
}

TEST(CardScheduler, DestroyingDropsTasksNotYetDue) {
  std::atomic<bool> ran{false};
  {
    Scheduler s;
    s.After(1h, [&] { ran = true; });
  }
  EXPECT_FALSE(ran.load());
}

}  // namespace
