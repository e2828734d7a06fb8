// Qt adaptors: the message-queue wake-up, window-timer semantics and the
// platform choice without a display.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/qt_headless.h"
#include "platform/qt_timer.h"
#include "platform/qt_winmsg.h"
#include "platform/winmsg.h"
#include "qt_events.h"

namespace {

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "qt_adaptors_test";
  static char* argv[] = {name, nullptr};
  static auto* app = new QCoreApplication(argc, argv);
  return *app;
}

using lw::testing::ProcessUntil;

class QtAdaptors : public testing::Test {
 protected:
  void SetUp() override { App(); }
};

TEST_F(QtAdaptors, EventLoopDeliversMessagesFromOtherThreadsInOrderOnlyWithAPump) {
  std::vector<intptr_t> got;
  const platform::Hwnd h = platform::CreateMessageWindow([&](uint32_t, uintptr_t, intptr_t l) -> intptr_t {
    got.push_back(l);
    return 0;
  });
  std::thread([h] {
    for (int i = 0; i < 200; ++i) platform::PostMessage(h, platform::WM_USER + 7100, 128, i);
  }).join();
  // Without an adaptor the Qt loop knows nothing of the queue.
  QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_TRUE(got.empty());

  auto pump = std::make_unique<platform::QtMessagePump>();
  auto second = std::make_unique<platform::QtMessagePump>();  // two watchers: no duplicates
  EXPECT_TRUE(ProcessUntil([&] { return got.size() >= 200; }));
  QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_EQ(got.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(got[i], i);

  // Still awake for later posts, with one watcher gone.
  second.reset();
  std::thread([h] { platform::PostMessage(h, 1, 0, 999); }).join();
  EXPECT_TRUE(ProcessUntil([&] { return got.size() == 201; }));
  EXPECT_EQ(got.back(), 999);
  platform::DestroyMessageWindow(h);
}

TEST_F(QtAdaptors, TimerWithIntervalZeroNeverCountsEvenWhenEnabled) {
  platform::QtWindowTimer t(0, true);
  EXPECT_TRUE(t.Enabled());
  EXPECT_FALSE(t.Counting());
  t.SetInterval(25);
  EXPECT_TRUE(t.Counting());
  t.SetInterval(0);
  EXPECT_FALSE(t.Counting());
  EXPECT_TRUE(t.Enabled());
}

TEST_F(QtAdaptors, TimerEnabledSwitchesTheCountdownAndKeepsTheInterval) {
  platform::QtWindowTimer t(40, false);
  EXPECT_FALSE(t.Counting());
  t.SetEnabled(true);
  EXPECT_TRUE(t.Counting());
  t.SetEnabled(false);
  EXPECT_FALSE(t.Counting());
  EXPECT_EQ(t.Interval(), 40u);
  t.SetInterval(60);  // changing a disabled timer's interval does not start it
  EXPECT_FALSE(t.Counting());
}

TEST_F(QtAdaptors, SettingTheIntervalRestartsTheCountdownEnablingAgainDoesNot) {
  constexpr uint32_t kLong = 100000;
  platform::QtWindowTimer t(kLong, true);
  QElapsedTimer clock;
  clock.start();
  // Let a little of the countdown pass (busy-wait on a deadline, no sleep).
  while (t.RemainingMs() > static_cast<int>(kLong) - 20 && clock.elapsed() < 5000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  const int partly = t.RemainingMs();
  ASSERT_LE(partly, static_cast<int>(kLong) - 20);
  t.SetEnabled(true);  // already enabled: same countdown
  EXPECT_LE(t.RemainingMs(), partly);
  t.SetInterval(kLong);  // same value, still a fresh countdown
  EXPECT_GT(t.RemainingMs(), partly);
}

TEST_F(QtAdaptors, TimerTicksRepeatedlyUntilItsHandlerStopsIt) {
  platform::QtWindowTimer t(2, true);
  int ticks = 0;
  t.onTick = [&] {
    if (++ticks == 3) t.SetInterval(0);
  };
  EXPECT_TRUE(ProcessUntil([&] { return ticks >= 3; }));
  EXPECT_EQ(ticks, 3);
  EXPECT_FALSE(t.Counting());
  EXPECT_EQ(t.Interval(), 0u);
}

TEST_F(QtAdaptors, TimerDoesNotTickInsideItsOwnTick) {
  platform::QtWindowTimer t(1, true);
  platform::QtWindowTimer other(1, true);
  int ticks = 0, depth = 0, deepest = 0, otherTicks = 0;
  other.onTick = [&] { ++otherTicks; };
  t.onTick = [&] {
    ++ticks;
    deepest = std::max(deepest, ++depth);
    // A modal loop inside the first tick: the other timer goes on ticking,
    // this one waits for its handler to return.
    if (ticks == 1) {
      EXPECT_TRUE(ProcessUntil([&] { return otherTicks >= 5; }));
    }
    if (ticks == 2) t.SetInterval(0);
    --depth;
  };
  EXPECT_TRUE(ProcessUntil([&] { return ticks >= 2; }));
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(ticks, 2);
}

// A stopped timer's expiry that the loop has not taken yet is dropped, and
// setting the interval of a stopped timer, as the cycle does several times a
// cycle, neither brings it back nor starts a countdown.
TEST_F(QtAdaptors, StoppedTimerStaysQuietWhileItsIntervalChanges) {
  platform::QtWindowTimer t(1, true);
  int ticks = 0;
  t.onTick = [&] { ++ticks; };
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 5) {
  }  // expired in the kernel, not taken: no events processed
  t.SetEnabled(false);
  for (const uint32_t ms : {3u, 0u, 2u}) t.SetInterval(ms);
  EXPECT_FALSE(t.Counting());
  platform::QtWindowTimer reference(30, true);
  bool referenceTicked = false;
  reference.onTick = [&] { referenceTicked = true; };
  EXPECT_TRUE(ProcessUntil([&] { return referenceTicked; }));
  EXPECT_EQ(ticks, 0);
  t.SetEnabled(true);
  EXPECT_TRUE(ProcessUntil([&] { return ticks >= 1; }));
}

TEST_F(QtAdaptors, TimerHandlerMayDeleteItsTimer) {
  auto t = std::make_unique<platform::QtWindowTimer>(1, true);
  bool ticked = false;
  t->onTick = [&] {
    ticked = true;
    t.reset();
  };
  EXPECT_TRUE(ProcessUntil([&] { return ticked; }));
  EXPECT_EQ(t, nullptr);
}

}  // namespace

// --- Platform choice without a display ----------------------------------------

TEST(LacksDisplay, OnlyWhenNoDisplayNoChosenPlatformAndNoPlatformArgument) {
  std::map<std::string, std::string> env;
  const auto getenv = [&env](const char* name) -> const char* {
    const auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  char program[] = "Varnel";
  char option[] = "-platform";
  char longOption[] = "--platform";
  char xcb[] = "xcb";
  char* bare[] = {program, nullptr};
  char* withPlatform[] = {program, option, xcb, nullptr};
  char* withLongPlatform[] = {program, longOption, xcb, nullptr};

  EXPECT_TRUE(platform::LacksDisplay(getenv, 1, bare));
  env = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};  // empty is unset
  EXPECT_TRUE(platform::LacksDisplay(getenv, 1, bare));
  EXPECT_FALSE(platform::LacksDisplay(getenv, 3, withPlatform));
  EXPECT_FALSE(platform::LacksDisplay(getenv, 3, withLongPlatform));
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    env = {{name, name[0] == 'D' ? ":0" : "x"}};
    EXPECT_FALSE(platform::LacksDisplay(getenv, 1, bare)) << name;
  }
}
