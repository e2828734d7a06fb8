// Window messages: order, cross-thread posting, dead handles, re-entrancy.
#include "platform/winmsg.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <utility>
#include <vector>

namespace {

using platform::Hwnd;
using Clock = std::chrono::steady_clock;

struct Received {
  uint32_t msg;
  uintptr_t w;
  intptr_t l;
  bool operator==(const Received&) const = default;
};

// Pumps the calling thread until `done` holds or a generous deadline passes.
template <typename Pred>
bool PumpUntil(Pred done) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    platform::WaitAndPumpMessages(100);
  }
  return true;
}

bool FdReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

TEST(WindowMessages, ArriveOnOwnerThreadInPostedOrder) {
  std::vector<Received> got;
  std::vector<std::thread::id> threads;
  const Hwnd h = platform::CreateMessageWindow([&](uint32_t m, uintptr_t w, intptr_t l) -> intptr_t {
    got.push_back({m, w, l});
    threads.push_back(std::this_thread::get_id());
    return 0;
  });
  ASSERT_NE(h, 0u);
  std::thread poster([h] {
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(platform::PostMessage(h, platform::WM_USER + 1, i, -i));
  });
  poster.join();
  EXPECT_TRUE(PumpUntil([&] { return got.size() >= 1000; }));
  ASSERT_EQ(got.size(), 1000u);
  for (int i = 0; i < 1000; ++i) {
    EXPECT_EQ(got[i], (Received{platform::WM_USER + 1, uintptr_t(i), intptr_t(-i)})) << i;
    EXPECT_EQ(threads[i], std::this_thread::get_id());
  }
  platform::DestroyMessageWindow(h);
}

TEST(WindowMessages, ManyConcurrentPostersLoseNothingAndKeepEachPostersOrder) {
  constexpr int kPosters = 8;
  constexpr int kEach = 5000;
  std::vector<int> lastSeen(kPosters, -1);
  int total = 0;
  bool outOfOrder = false;
  const Hwnd h = platform::CreateMessageWindow([&](uint32_t, uintptr_t w, intptr_t l) -> intptr_t {
    const auto poster = static_cast<size_t>(w);
    if (l != lastSeen[poster] + 1) outOfOrder = true;
    lastSeen[poster] = static_cast<int>(l);
    ++total;
    return 0;
  });
  std::atomic<int> failedPosts{0};
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([h, p, &failedPosts] {
      for (int i = 0; i < kEach; ++i) {
        if (!platform::PostMessage(h, 1, p, i)) ++failedPosts;
      }
    });
  }
  // Pump while they post, so delivery and posting really overlap.
  EXPECT_TRUE(PumpUntil([&] { return total >= kPosters * kEach; }));
  for (auto& t : posters) t.join();
  platform::PumpMessages();
  EXPECT_EQ(failedPosts.load(), 0);
  EXPECT_EQ(total, kPosters * kEach);
  EXPECT_FALSE(outOfOrder);
  for (int p = 0; p < kPosters; ++p) EXPECT_EQ(lastSeen[p], kEach - 1);
  platform::DestroyMessageWindow(h);
}

TEST(WindowMessages, PostToUnknownOrDestroyedHandleFails) {
  EXPECT_FALSE(platform::PostMessage(0, 1, 0, 0));
  EXPECT_FALSE(platform::PostMessage(0xFFFFFFF0u, 1, 0, 0));
  const Hwnd h = platform::CreateMessageWindow([](uint32_t, uintptr_t, intptr_t) -> intptr_t { return 0; });
  EXPECT_TRUE(platform::IsMessageWindow(h));
  platform::DestroyMessageWindow(h);
  EXPECT_FALSE(platform::IsMessageWindow(h));
  EXPECT_FALSE(platform::PostMessage(h, 1, 0, 0));
  EXPECT_EQ(platform::PumpMessages(), 0);
}

TEST(WindowMessages, HandlesAreNotReusedAfterDestruction) {
  const Hwnd a = platform::CreateMessageWindow(nullptr);
  platform::DestroyMessageWindow(a);
  const Hwnd b = platform::CreateMessageWindow(nullptr);
  EXPECT_NE(a, b);
  EXPECT_FALSE(platform::PostMessage(a, 1, 0, 0));
  platform::DestroyMessageWindow(b);
}

TEST(WindowMessages, MessagesQueuedForADestroyedWindowAreDroppedOthersStillArrive) {
  int deadCalls = 0;
  std::vector<intptr_t> alive;
  const Hwnd dead = platform::CreateMessageWindow([&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
    ++deadCalls;
    return 0;
  });
  const Hwnd live = platform::CreateMessageWindow([&](uint32_t, uintptr_t, intptr_t l) -> intptr_t {
    alive.push_back(l);
    return 0;
  });
  ASSERT_TRUE(platform::PostMessage(live, 1, 0, 1));
  ASSERT_TRUE(platform::PostMessage(dead, 1, 0, 0));
  ASSERT_TRUE(platform::PostMessage(live, 1, 0, 2));
  platform::DestroyMessageWindow(dead);
  EXPECT_EQ(platform::PumpMessages(), 2);
  EXPECT_EQ(deadCalls, 0);
  EXPECT_EQ(alive, (std::vector<intptr_t>{1, 2}));
  platform::DestroyMessageWindow(live);
}

TEST(WindowMessages, HandlerDestroyingItsWindowDropsTheRest) {
  int calls = 0;
  Hwnd h = 0;
  h = platform::CreateMessageWindow([&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
    ++calls;
    platform::DestroyMessageWindow(h);
    return 0;
  });
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(platform::PostMessage(h, 1, 0, i));
  EXPECT_EQ(platform::PumpMessages(), 1);
  EXPECT_EQ(calls, 1);
}

TEST(WindowMessages, OnlyTheOwnerThreadCanDestroyAWindow) {
  const Hwnd h = platform::CreateMessageWindow(nullptr);
  std::thread([h] { platform::DestroyMessageWindow(h); }).join();
  EXPECT_TRUE(platform::IsMessageWindow(h));
  platform::DestroyMessageWindow(h);
}

TEST(WindowMessages, WindowsOfAnEndedThreadAreGone) {
  Hwnd h = 0;
  std::thread([&h] { h = platform::CreateMessageWindow(nullptr); }).join();
  ASSERT_NE(h, 0u);
  EXPECT_FALSE(platform::IsMessageWindow(h));
  EXPECT_FALSE(platform::PostMessage(h, 1, 0, 0));
}

TEST(WindowMessages, QueueFdIsReadableExactlyWhileMessagesWait) {
  const int fd = platform::MessageQueueFd();
  platform::PumpMessages();
  EXPECT_FALSE(FdReadable(fd));
  const Hwnd h = platform::CreateMessageWindow(nullptr);
  std::thread([h] { platform::PostMessage(h, 1, 0, 0); }).join();
  EXPECT_TRUE(FdReadable(fd));
  EXPECT_EQ(platform::PumpMessages(), 1);
  EXPECT_FALSE(FdReadable(fd));
  // A batch wakes the owner once, and the pump still takes all of it.
  std::thread([h] {
    for (int i = 0; i < 3; ++i) platform::PostMessage(h, 1, 0, i);
  }).join();
  uint64_t wakeUps = 0;
  ASSERT_EQ(read(fd, &wakeUps, sizeof wakeUps), static_cast<ssize_t>(sizeof wakeUps));
  EXPECT_EQ(wakeUps, 1u);
  EXPECT_EQ(platform::PumpMessages(), 3);
  EXPECT_FALSE(FdReadable(fd));
  platform::DestroyMessageWindow(h);
}

TEST(WindowMessages, HandlerPostingToItselfDoesNotKeepOnePumpRunning) {
  Hwnd h = 0;
  int calls = 0;
  h = platform::CreateMessageWindow([&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
    ++calls;
    platform::PostMessage(h, 1, 0, 0);
    return 0;
  });
  platform::PostMessage(h, 1, 0, 0);
  EXPECT_EQ(platform::PumpMessages(), 1);
  EXPECT_EQ(calls, 1);
  // The message it posted is still waiting, and the fd says so.
  EXPECT_TRUE(FdReadable(platform::MessageQueueFd()));
  platform::DestroyMessageWindow(h);
  EXPECT_EQ(platform::PumpMessages(), 0);
}

TEST(WindowMessages, NestedPumpInsideAHandlerKeepsPostedOrder) {
  std::vector<intptr_t> order;
  const Hwnd h = platform::CreateMessageWindow([&](uint32_t, uintptr_t, intptr_t l) -> intptr_t {
    order.push_back(l);
    if (l == 0) platform::PumpMessages();  // like a modal dialog's loop
    return 0;
  });
  for (int i = 0; i < 4; ++i) platform::PostMessage(h, 1, 0, i);
  platform::PumpMessages();
  EXPECT_EQ(order, (std::vector<intptr_t>{0, 1, 2, 3}));
  platform::DestroyMessageWindow(h);
}

TEST(WindowMessages, PostingNeverWaitsForABusyReceiver) {
  std::promise<Hwnd> created;
  std::promise<void> inHandler;
  std::promise<void> release;
  std::shared_future<void> releaseF = release.get_future().share();
  std::atomic<int> handled{0};
  std::thread owner([&] {
    const Hwnd h = platform::CreateMessageWindow([&](uint32_t, uintptr_t, intptr_t l) -> intptr_t {
      if (l == 0) {
        inHandler.set_value();
        releaseF.wait();  // the receiver is stuck in its handler
      }
      ++handled;
      return 0;
    });
    created.set_value(h);
    while (handled.load() < 3) platform::WaitAndPumpMessages(100);
    platform::DestroyMessageWindow(h);
  });
  const Hwnd h = created.get_future().get();
  ASSERT_TRUE(platform::PostMessage(h, 1, 0, 0));
  inHandler.get_future().wait();
  // If a post waited for the receiver this would never return.
  EXPECT_TRUE(platform::PostMessage(h, 1, 0, 1));
  EXPECT_TRUE(platform::PostMessage(h, 1, 0, 2));
  release.set_value();
  owner.join();
  EXPECT_EQ(handled.load(), 3);
}

TEST(WindowMessages, SendCallsTheProcedureAtOnceOnlyOnTheOwnerThread) {
  int calls = 0;
  const Hwnd h = platform::CreateMessageWindow([&](uint32_t m, uintptr_t w, intptr_t l) -> intptr_t {
    ++calls;
    return static_cast<intptr_t>(m + w) + l;
  });
  intptr_t result = -1;
  EXPECT_TRUE(platform::SendMessage(h, 10, 20, 30, &result));
  EXPECT_EQ(result, 60);
  bool fromOther = true;
  std::thread([&] { fromOther = platform::SendMessage(h, 1, 0, 0, &result); }).join();
  EXPECT_FALSE(fromOther);
  EXPECT_EQ(calls, 1);
  platform::DestroyMessageWindow(h);
  EXPECT_FALSE(platform::SendMessage(h, 1, 0, 0));
}

TEST(LibraryMessageBox, DefaultWritesToStandardErrorAndHookReplacesIt) {
  testing::internal::CaptureStderr();
  platform::LibraryMessageBox("driver not found", "Morlex", platform::MB_ICONERROR);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("driver not found"), std::string::npos);
  EXPECT_NE(err.find("Morlex"), std::string::npos);

  std::vector<std::pair<std::string, uint32_t>> seen;
  platform::SetMessageBoxHook([&](const char* text, const char* title, uint32_t flags) {
    seen.emplace_back(std::string(title) + "|" + text, flags);
  });
  testing::internal::CaptureStderr();
  platform::LibraryMessageBox("x", "T", platform::MB_ICONQUESTION);
  platform::LibraryMessageBox(nullptr, nullptr, platform::MB_OK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (std::pair<std::string, uint32_t>{"T|x", platform::MB_ICONQUESTION}));
  EXPECT_EQ(seen[1].first, "|");
  platform::SetMessageBoxHook(nullptr);
}

}  // namespace
