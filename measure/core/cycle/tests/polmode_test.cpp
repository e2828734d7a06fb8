// The measurement cycle against a scripted A/D library, manual timers and a
// fake relay: the failure table, the state transitions and the mends.
#include "cycle/polmode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "child_process.h"
#include "fakes/fakes.h"
#include "settings/setdt.h"

namespace varnel {
namespace {

// An A/D library that behaves like the real one as far as the cycle can
// tell, with scripted results and a buffer the test fills.
class ScriptedMorlex : public MorlexApi {
 public:
  int32_t cardResult = 0;
  int16_t cardType = 2, ioBase = 0x300, irq = 5;
  int32_t setParamResult = 0;
  int32_t setChannelOverride = 0;  // 0: echo the count like the library
  bool allocFails = false;
  int32_t completionCount = -1;    // -1: the whole buffer
  int16_t completionStatus = 128;
  bool extStart = false;
  // The driver did not complete in time: the library cancels, posts the
  // failure and says so in its result.
  bool timesOut = false;
  // The final notification goes missing (never sent by a real library).
  bool losesCompletion = false;

  std::vector<std::pair<int16_t, int16_t>> triggers;
  int setParamCalls = 0, setFreqCalls = 0, allocCalls = 0, freeCalls = 0, startCalls = 0;
  std::vector<int16_t> buffer;
  int16_t channels = 0;
  // Notifications "posted" during the last acquisition, delivered by the test.
  std::vector<std::pair<int16_t, int32_t>> posted;

  int32_t AdGetCardResource(uint32_t, int32_t, int16_t* t, int16_t* io, int16_t* q) override {
    if (cardResult == 0) *t = cardType, *io = ioBase, *q = irq;
    return cardResult;
  }
  int32_t AdSetParam(uint32_t, int16_t, int32_t, int16_t, int16_t) override {
    ++setParamCalls;
    return setParamResult;
  }
  int32_t AdSetChannel(int16_t count, const int16_t* list) override {
    channels = count;
    EXPECT_EQ(list[7], 7);
    return setChannelOverride != 0 ? setChannelOverride : count;
  }
  int32_t AdSetTrigger(int16_t kind, int16_t edge) override {
    triggers.emplace_back(kind, edge);
    extStart = kind == 1 || kind == 3;
    return 0;
  }
  int32_t AdSetFreq(uint32_t, int16_t interval, int16_t unit) override {
    ++setFreqCalls;
    if (channels <= 0) return -1;
    if (unit == 0 || unit == 1) return 0;
    if (unit == 2) return interval >= 20 * channels ? 0 : -3;
    return -2;
  }
  uintptr_t AdAllocDataMem(uint32_t, int32_t samples) override {
    ++allocCalls;
    if (allocFails) return 0;
    buffer.assign(static_cast<std::size_t>(samples) * static_cast<std::size_t>(channels), 0);
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<int16_t>(2048 + i % 100);
    return reinterpret_cast<uintptr_t>(buffer.data());
  }
  int32_t AdFreeDataMem() override {
    ++freeCalls;
    return 0;
  }
  int32_t AdStartPolModeThread(uint32_t) override {
    ++startCalls;
    posted.emplace_back(extStart ? 4 : 1, 0);
    if (timesOut) {
      posted.emplace_back(kNotifyFailed, 0);
      return kPolTimedOut;
    }
    const int32_t n = completionCount >= 0 ? completionCount : static_cast<int32_t>(buffer.size());
    if (!losesCompletion) posted.emplace_back(completionStatus, n);
    return 0;
  }
  uintptr_t VbMemCopy(uintptr_t dst, uintptr_t src, uint32_t bytes) override {
    std::memcpy(reinterpret_cast<void*>(dst), reinterpret_cast<const void*>(src), bytes);
    return dst;
  }
};

class CycleTest : public ::testing::Test {
 protected:
  PolModeForm form = MakeDesignForm();
  MeasureState state;
  ScriptedMorlex lib;
  fakes::ManualTimerHub hub;
  std::unique_ptr<fakes::ManualTimer> timer1 = hub.Make(0, false);
  std::unique_ptr<fakes::ManualTimer> polTimer = hub.Make(0, false);
  std::unique_ptr<fakes::ManualTimer> blockGuard = hub.Make(0, false);
  fakes::FakeSerialPort port;
  fakes::RecordingMessageBoxes boxes;
  LoadedSettings stored{330, "/var/tmp/data.csv", 0, 1, 10};
  int16_t storedGroups = 4;
  uint32_t relayHwnd = 77;
  int dtSyoriCalls = 0, openCalls = 0, closeCalls = 0, saveCalls = 0;
  bool openFails = false;
  std::vector<std::string> logged;
  std::vector<int> endings;
  std::unique_ptr<PolMode> pm;

  void SetUp() override { port.open = false; }

  void Load() {
    PolModeHooks h;
    h.getKivoWnd = [this] { return relayHwnd; };
    h.dtSyori = [this] { ++dtSyoriCalls; };
    h.stfLood = [this] {
      state.groupCount = storedGroups;
      return stored;
    };
    h.stfSave = [this](std::string&) { return ++saveCalls, true; };
    h.logPR = [this](const std::string& m) { return logged.push_back(m), true; };
    h.openDataFile = [this](std::string& why) {
      ++openCalls;
      if (openFails) why = "no such folder";
      return !openFails;
    };
    h.closeDataFile = [this] { ++closeCalls; };
    h.endProgram = [this](int s) { endings.push_back(s); };
    pm = std::make_unique<PolMode>(form, state, lib, *timer1, *polTimer, *blockGuard, port, boxes, h);
    timer1->onTick = [this] { pm->Timer1_Timer(); };
    polTimer->onTick = [this] { pm->PolTimer_Timer(); };
    blockGuard->onTick = [this] { pm->BlockGuard_Timer(); };
    pm->Form_Load(1000, 330);
  }

  // Delivers what the library posted during the acquisition, like the relay.
  void DeliverNotifications() {
    auto posted = std::exchange(lib.posted, {});
    for (auto [w, l] : posted) pm->KIVO7100_OnMsgPost(w, l);
  }

  // Start, arming tick, notifications.
  void RunOneCycle() {
    pm->IDB_START_Click();
    hub.Advance(10);
    DeliverNotifications();
  }
};

TEST_F(CycleTest, LoadShowsTheCardAndAppliesStoredSettings) {
  stored.shuntOhm = 470;
  stored.waveInterval = -30;
  stored.dataInterval = 10;
  Load();
  EXPECT_EQ(form.IDC_STATUS.text, "QDA-7100B 正常検出 I/Oﾍﾞｰｽ:0x300 IRQ番号: 5");
  EXPECT_EQ(form.IDS_YRANGE.text, "±5V");
  EXPECT_EQ(form.Text1.text, "470");
  EXPECT_EQ(form.Combo1.text, "10");
  EXPECT_EQ(form.Combo2.text, "30");
  EXPECT_FALSE(form.Check1.checked);
  EXPECT_FALSE(form.Combo2.enabled);
  EXPECT_EQ(form.IDCB_TIMEUNIT.listIndex, 2);
  EXPECT_EQ(pm->StartTrigSel(), -1);
  EXPECT_EQ(state.graph.zeroLineY, 165);
  EXPECT_TRUE(port.open);
  EXPECT_EQ(timer1->Interval(), 60000u);
  EXPECT_TRUE(timer1->Enabled());
}

TEST_F(CycleTest, LoadShowsUnipolarCardWithShortHexBase) {
  lib.cardType = 1;
  lib.ioBase = 0x0F0;
  lib.irq = 11;
  Load();
  EXPECT_EQ(form.IDC_STATUS.text, "QDA-7100U 正常検出 I/Oﾍﾞｰｽ:0xF0 IRQ番号: 11");
  EXPECT_EQ(form.IDS_YRANGE.text, "0-2.5V");
  EXPECT_EQ(state.graph.zeroLineY, 330);
}

TEST_F(CycleTest, NoCardCutsStartUpShortButTheAutoStartStillRuns) {
  lib.cardResult = -10;
  Load();
  EXPECT_EQ(form.IDC_STATUS.text, "QDA-7100U/B ADｶｰﾄﾞ検出ｴﾗｰ");
  EXPECT_FALSE(form.IDB_START.enabled);
  EXPECT_FALSE(form.IDB_STOP.enabled);
  EXPECT_FALSE(form.IDB_SAVECSV.enabled);
  EXPECT_EQ(form.Text4.text, kDesignDataPath);
  EXPECT_FALSE(port.open);
  hub.Advance(60000);  // the first start runs with the card values left at 0
  EXPECT_EQ(lib.setParamCalls, 1);
}

TEST_F(CycleTest, StoredGroupCountSelectsItsOptionAndSizesTheStore) {
  storedGroups = 2;
  Load();
  EXPECT_EQ(SelectedOption(form.Option1), 1);
  EXPECT_EQ(state.groupCount, 2);
  EXPECT_EQ(state.waves.Channels(), 8);
}

TEST_F(CycleTest, FirstCycleStartsBySelfAfterAMinuteAndRepeatsAfterThePause) {
  Load();
  hub.Advance(59999);
  EXPECT_EQ(lib.allocCalls, 0);
  hub.Advance(1);
  EXPECT_EQ(lib.allocCalls, 1);
  EXPECT_EQ(openCalls, 1);
  EXPECT_EQ(saveCalls, 1);
  EXPECT_FALSE(form.Frame8.enabled);
  EXPECT_EQ(form.IDS_XRANGE.text, " 8000ﾏｲｸﾛ秒/div");
  hub.Advance(10);  // arming delay: the acquisition runs
  EXPECT_EQ(lib.startCalls, 1);
  EXPECT_EQ(polTimer->Interval(), 0u);
  DeliverNotifications();
  EXPECT_EQ(form.IDC_STATUS.text, "指定個数終了");
  EXPECT_EQ(form.IDS_TOTALNUM.text, " 5040");
  EXPECT_EQ(dtSyoriCalls, 1);
  EXPECT_EQ(lib.freeCalls, 1);
  EXPECT_EQ(timer1->Interval(), 20u);
  EXPECT_TRUE(timer1->Enabled());
  hub.Advance(20);  // the pause, then the next cycle without a new set-up
  EXPECT_EQ(lib.allocCalls, 2);
  EXPECT_EQ(lib.setParamCalls, 1);
  EXPECT_EQ(openCalls, 1);
}

TEST_F(CycleTest, BlockHoldsTheSamplesThenZeros) {
  Load();
  RunOneCycle();
  ASSERT_EQ(state.block.size(), 5057u);
  EXPECT_EQ(state.block[0], 2048);
  EXPECT_EQ(state.block[5039], 2048 + 5039 % 100);
  EXPECT_EQ(state.block[5040], 0);
  EXPECT_EQ(state.block[5056], 0);
  pm->IDB_STOP_Click();
  form.IDE_SAMPCOUNT.text = "1500";  // 6000 samples: one trailing zero
  RunOneCycle();
  ASSERT_EQ(state.block.size(), 6001u);
  EXPECT_EQ(state.block[5999], 2048 + 5999 % 100);
  EXPECT_EQ(state.block[6000], 0);
}

TEST_F(CycleTest, StartNotificationEmptiesTheBlockWithoutAnalysis) {
  Load();
  RunOneCycle();
  pm->KIVO7100_OnMsgPost(4, 0);
  EXPECT_EQ(form.IDC_STATUS.text, "ﾄﾘｶﾞｰ変換開始");
  EXPECT_EQ(state.blockCount, 0);
  EXPECT_EQ(state.block.size(), 5057u);
  EXPECT_EQ(state.block[0], 0);
  EXPECT_EQ(dtSyoriCalls, 1);
}

TEST_F(CycleTest, FailureNotificationAnalysesZerosAndTheCycleGoesOn) {
  Load();
  pm->IDB_START_Click();
  form.IDC_STATUS.text = "before";
  pm->KIVO7100_OnMsgPost(kNotifyFailed, 0);
  EXPECT_EQ(form.IDC_STATUS.text, "before");
  EXPECT_EQ(form.IDS_TOTALNUM.text, " 0");
  EXPECT_EQ(dtSyoriCalls, 1);
  EXPECT_EQ(state.block[0], 0);
  EXPECT_TRUE(timer1->Enabled());
  EXPECT_EQ(lib.freeCalls, 1);
}

// A block the library gave up (the driver did not complete it in time) is
// shown and logged, never analysed, its buffer is freed and the cycle goes
// on after the pause.  A plain failure neither counts nor resets; a
// completed block resets the count; the third time-out in a row ends the
// program with status 1.
TEST_F(CycleTest, TimedOutBlocksAreGivenUpAndTheThirdInARowEndsTheProgram) {
  Load();
  pm->IDB_START_Click();
  auto cycle = [&](bool timesOut, int16_t status) {
    lib.timesOut = timesOut;
    lib.completionStatus = status;
    hub.Advance(10);  // arming delay: the acquisition
    DeliverNotifications();
  };
  cycle(true, 128);
  EXPECT_EQ(form.IDC_STATUS.text, "AD変換ﾀｲﾑｱｳﾄ[連続 1回]");
  EXPECT_EQ(form.IDS_TOTALNUM.text, " 0");
  EXPECT_EQ(logged, std::vector<std::string>{"AD変換ﾀｲﾑｱｳﾄ[連続 1回]"});
  EXPECT_EQ(dtSyoriCalls, 0);
  EXPECT_EQ(lib.freeCalls, 1);
  EXPECT_FALSE(pm->CycleInFlight());
  EXPECT_EQ(timer1->Interval(), 20u);
  EXPECT_TRUE(timer1->Enabled());

  hub.Advance(20);  // the pause: the next cycle
  cycle(false, kNotifyFailed);
  EXPECT_EQ(dtSyoriCalls, 1) << "a plain failure keeps its handling";
  hub.Advance(20);
  cycle(true, 128);
  EXPECT_EQ(form.IDC_STATUS.text, "AD変換ﾀｲﾑｱｳﾄ[連続 2回]");
  hub.Advance(20);
  cycle(false, 128);
  EXPECT_EQ(form.IDC_STATUS.text, "指定個数終了");
  EXPECT_EQ(dtSyoriCalls, 2);

  for (int n = 1; n <= 2; ++n) {
    hub.Advance(20);
    cycle(true, 128);
    EXPECT_EQ(form.IDC_STATUS.text, "AD変換ﾀｲﾑｱｳﾄ[連続" + std::string(n == 1 ? " 1" : " 2") + "回]");
  }
  EXPECT_TRUE(endings.empty());
  hub.Advance(20);
  cycle(true, 128);
  const std::string last = "AD変換ﾀｲﾑｱｳﾄ[連続 3回] ﾌﾟﾛｸﾞﾗﾑ終了";
  EXPECT_EQ(form.IDC_STATUS.text, last);
  ASSERT_EQ(logged.size(), 5u);
  EXPECT_EQ(logged.back(), last);
  EXPECT_EQ(endings, std::vector<int>{kExitSetupFailure});
  EXPECT_EQ(dtSyoriCalls, 2);
  EXPECT_EQ(lib.freeCalls, lib.allocCalls) << "every buffer went back to the library";
  EXPECT_EQ(lib.allocCalls, 7);
}

// The guard's bound: twice SampCount x the sampling interval, at least 5 s,
// worked by hand.
TEST(BlockGuard, TwiceTheBlockTimeWithAFiveSecondFloor) {
  EXPECT_EQ(BlockGuardMs(1260, 80, 2), 5000u);    // 2 x 100.8 ms is below the floor
  EXPECT_EQ(BlockGuardMs(1260, 10, 1), 25200u);   // 2 x 12.6 s
  EXPECT_EQ(BlockGuardMs(3, 1, 0), 6000u);        // 2 x 3 s
  EXPECT_EQ(BlockGuardMs(2501, 1001, 2), 5008u);  // 2 x 2.503501 s = 5007.002 ms, rounded up
  EXPECT_EQ(BlockGuardMs(1260, 80, -1), 5000u);   // no unit: no known duration
  EXPECT_EQ(BlockGuardMs(-5, 80, 2), 5000u);
  EXPECT_EQ(BlockGuardMs(2147483647, 32767, 0), 2147483647u);  // a window timer's longest count
}

// A final notification that never comes (the library returned without
// posting it) is waited for no longer than the guard: then the block is
// given up like a timed-out one, and its late notifications are dropped.
TEST_F(CycleTest, BlockGuardGivesUpABlockWhoseCompletionNeverComes) {
  Load();
  form.IDE_SAMPTIME.text = "10";  // 1260 frames at 10 ms: 12.6 s, guard 25.2 s
  form.IDCB_TIMEUNIT.listIndex = 1;
  pm->IDB_START_Click();
  lib.losesCompletion = true;
  hub.Advance(10);
  DeliverNotifications();
  EXPECT_EQ(form.IDC_STATUS.text, "変換開始...");
  EXPECT_EQ(blockGuard->Interval(), 25200u);
  hub.Advance(25199);
  EXPECT_TRUE(logged.empty());
  EXPECT_EQ(lib.freeCalls, 0);
  hub.Advance(1);
  EXPECT_EQ(form.IDC_STATUS.text, "AD変換ﾀｲﾑｱｳﾄ[連続 1回]");
  EXPECT_EQ(logged.size(), 1u);
  EXPECT_EQ(lib.freeCalls, 1);
  EXPECT_EQ(blockGuard->Interval(), 0u);

  // Arriving now, the lost completion would be read from the next buffer.
  pm->KIVO7100_OnMsgPost(kNotifyCountReached, 5040);
  EXPECT_EQ(form.IDC_STATUS.text, "AD変換ﾀｲﾑｱｳﾄ[連続 1回]");
  EXPECT_EQ(dtSyoriCalls, 0);

  // The next block completes: analysed, the guard disarmed by its
  // notification, nothing given up however long the pause.
  lib.losesCompletion = false;
  hub.Advance(20);
  EXPECT_EQ(lib.allocCalls, 2);
  hub.Advance(10);
  DeliverNotifications();
  EXPECT_EQ(dtSyoriCalls, 1);
  EXPECT_EQ(blockGuard->Interval(), 0u);
  pm->IDB_STOP_Click();
  hub.Advance(100000);
  EXPECT_EQ(logged.size(), 1u);
  EXPECT_EQ(lib.freeCalls, 2);
}

TEST_F(CycleTest, CountBeyondTheBufferIsNeverCopied) {
  Load();
  lib.completionCount = 100000;
  RunOneCycle();
  EXPECT_EQ(state.blockCount, 5040);
  EXPECT_EQ(state.block[5039], 2048 + 5039 % 100);
  EXPECT_EQ(state.block[5040], 0);
}

TEST_F(CycleTest, FatalSetUpFailuresShowLogAndEnd) {
  struct Case {
    int32_t param, channel;
    bool allocFails;
    std::string text;
  };
  const Case cases[] = {
      {5, 0, false, "ADｶｰﾄﾞﾊﾟﾗﾒｰﾀ設定ｴﾗｰ[CODE: 5]"},
      {0, -1, false, "AD変換ﾁｬﾝﾈﾙ設定誤り[CODE:-1]"},
      {0, 0, true, "変換ﾃﾞｰﾀ格納用ﾒﾓﾘﾌﾞﾛｯｸｱﾛｹｰｼｮﾝｴﾗｰ"},
  };
  for (const Case& c : cases) {
    TearDown();
    form = MakeDesignForm();
    lib = ScriptedMorlex{};
    lib.setParamResult = c.param;
    lib.setChannelOverride = c.channel;
    lib.allocFails = c.allocFails;
    logged.clear();
    endings.clear();
    Load();
    pm->IDB_START_Click();
    EXPECT_EQ(form.IDC_STATUS.text, c.text);
    EXPECT_EQ(logged, std::vector<std::string>{c.text});
    EXPECT_EQ(endings, std::vector<int>{kExitSetupFailure});
    EXPECT_TRUE(pm->Ended());
    pm->IDB_START_Click();  // nothing runs after the end
    EXPECT_EQ(endings.size(), 1u);
  }
}

TEST_F(CycleTest, RejectedSamplingIntervalLeavesTheProgramIdleAndRetries) {
  Load();
  form.IDE_SAMPTIME.text = "79";  // below 20 us per channel on 4 channels
  hub.Advance(60000);             // automatic start
  EXPECT_EQ(form.IDC_STATUS.text, "ｻﾝﾌﾟﾘﾝｸﾞ間隔設定誤り[CODE:-3]");
  EXPECT_TRUE(logged.empty());
  EXPECT_FALSE(pm->Running());
  EXPECT_FALSE(timer1->Enabled());
  EXPECT_EQ(lib.allocCalls, 0);
  form.IDE_SAMPTIME.text = "80";
  pm->IDB_START_Click();  // the whole set-up again
  EXPECT_EQ(lib.setParamCalls, 2);
  EXPECT_TRUE(pm->Running());
}

TEST_F(CycleTest, NoUnitSelectedIsRejectedByTheLibrary) {
  Load();
  form.IDCB_TIMEUNIT.listIndex = -1;
  form.IDS_XRANGE.text = "old";
  pm->IDB_START_Click();
  EXPECT_EQ(form.IDC_STATUS.text, "ｻﾝﾌﾟﾘﾝｸﾞ間隔設定誤り[CODE:-2]");
  EXPECT_EQ(form.IDS_XRANGE.text, "old");
}

TEST_F(CycleTest, NumbersThatDoNotFitAreRefusedWithoutTouchingTheCard) {
  Load();
  for (auto [box, caption] : {std::pair{&form.IDE_SAMPTIME, "ｻﾝﾌﾟﾘﾝｸﾞ間隔"}, std::pair{&form.IDE_CHAN, "変換ﾁｬﾝﾈﾙ数"},
                              std::pair{&form.IDE_SAMPCOUNT, "ｻﾝﾌﾟﾘﾝｸﾞ個数"}, std::pair{&form.Text2, "測定間隔"}}) {
    const std::string saved = box->text;
    box->text = "99999999999";
    pm->IDB_START_Click();
    EXPECT_EQ(form.IDC_STATUS.text, std::string("設定値が範囲外です[") + caption + "]");
    box->text = saved;
  }
  EXPECT_EQ(lib.setParamCalls, 0);
  EXPECT_FALSE(pm->Ended());
}

TEST_F(CycleTest, Text2EditMovesTheAutoStartAndZeroHaltsTheRun) {
  Load();
  hub.Advance(1000);
  form.Text2.text = "500";
  pm->Text2_Change();
  hub.Advance(499);
  EXPECT_EQ(lib.allocCalls, 0);
  hub.Advance(1);
  EXPECT_EQ(lib.allocCalls, 1);
  hub.Advance(10);
  form.Text2.text = "0";
  pm->Text2_Change();
  DeliverNotifications();
  hub.Advance(100000);
  EXPECT_EQ(lib.allocCalls, 1);  // interval 0 never ticks
  EXPECT_TRUE(pm->Running());
  form.Text2.text = "20";
  pm->Text2_Change();
  hub.Advance(20);
  EXPECT_EQ(lib.allocCalls, 2);
}

TEST_F(CycleTest, MissingRelayWindowShowsTheBoxOnceAndKeepsTrying) {
  relayHwnd = 0;
  Load();
  pm->IDB_START_Click();
  hub.Advance(50);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "OLEのハンドルが取得できません。");
  EXPECT_EQ(boxes.shown[0].title, "エラー");
  EXPECT_EQ(polTimer->Interval(), 10u);
  EXPECT_EQ(lib.startCalls, 0);
  relayHwnd = 9;
  hub.Advance(10);
  EXPECT_EQ(lib.startCalls, 1);
}

TEST_F(CycleTest, StopWhileArmedIsFinal) {
  Load();
  pm->IDB_START_Click();
  pm->IDB_STOP_Click();
  EXPECT_EQ(polTimer->Interval(), 0u);
  EXPECT_EQ(lib.freeCalls, 1);
  EXPECT_EQ(closeCalls, 1);
  EXPECT_TRUE(form.Frame8.enabled);
  hub.Advance(120000);
  EXPECT_EQ(lib.startCalls, 0);
  EXPECT_EQ(lib.allocCalls, 1);
}

TEST_F(CycleTest, CompletionAfterAStopStartsNothing) {
  Load();
  pm->IDB_START_Click();
  hub.Advance(10);  // acquired; notifications still queued
  pm->IDB_STOP_Click();
  DeliverNotifications();
  EXPECT_EQ(dtSyoriCalls, 0);
  EXPECT_FALSE(timer1->Enabled());
  EXPECT_EQ(lib.freeCalls, 1);
  hub.Advance(120000);
  EXPECT_EQ(lib.allocCalls, 1);
}

TEST_F(CycleTest, StartClickDuringACycleIsIgnored) {
  Load();
  pm->IDB_START_Click();
  pm->IDB_START_Click();
  EXPECT_EQ(lib.allocCalls, 1);
  hub.Advance(10);
  pm->IDB_START_Click();  // notifications not yet handled
  EXPECT_EQ(lib.allocCalls, 1);
  DeliverNotifications();
  pm->IDB_START_Click();
  EXPECT_EQ(lib.allocCalls, 2);
}

TEST_F(CycleTest, EveryFirstStartWritesTheHeaderAndSettingsAgain) {
  Load();
  RunOneCycle();
  pm->IDB_STOP_Click();
  RunOneCycle();
  EXPECT_EQ(openCalls, 2);
  EXPECT_EQ(saveCalls, 2);
  EXPECT_EQ(lib.setParamCalls, 2);
}

TEST_F(CycleTest, DataFileThatCannotBeOpenedIsLoggedAndRetried) {
  openFails = true;
  Load();
  pm->IDB_START_Click();
  EXPECT_EQ(form.IDC_STATUS.text, "ﾃﾞｰﾀﾌｧｲﾙｵｰﾌﾟﾝｴﾗｰ: no such folder");
  EXPECT_EQ(logged.size(), 1u);
  EXPECT_FALSE(pm->Running());
  EXPECT_FALSE(pm->CycleInFlight());
  EXPECT_EQ(lib.freeCalls, 1);
  EXPECT_FALSE(pm->Ended());
  openFails = false;
  hub.Advance(60000);
  EXPECT_TRUE(pm->Running());
}

TEST_F(CycleTest, TriggerKindFollowsTheSelectedOptions) {
  Load();
  const std::vector<std::pair<bool, bool>> choices = {{false, false}, {true, false}, {false, true}, {true, true}};
  for (auto [startExt, stopExt] : choices) {
    startExt ? pm->IDR_START_EXTERNAL_Click() : pm->IDR_START_INTERNAL_Click();
    stopExt ? pm->IDR_STOP_EXTERNAL_Click() : pm->IDR_STOP_INTERNAL_Click();
    RunOneCycle();
    pm->IDB_STOP_Click();
  }
  const std::vector<std::pair<int16_t, int16_t>> expected = {{0, 1}, {1, 1}, {2, 1}, {3, 1}};
  EXPECT_EQ(lib.triggers, expected);
}

TEST_F(CycleTest, DataFormatReplacesOnlyTheFileExtension) {
  Load();
  form.Text4.text = "/data/site.b/data.csv";
  pm->Option3_Click(1);
  EXPECT_EQ(form.Text4.text, "/data/site.b/data.bdt");
  EXPECT_EQ(state.binaryFormat, 1);
  form.Text4.text = "/data/site.b/data";
  pm->Option3_Click(0);
  EXPECT_EQ(form.Text4.text, "/data/site.b/data.csv");
}

TEST_F(CycleTest, ExitReleasesEverythingAndSavesSettings) {
  Load();
  pm->IDB_START_Click();
  pm->IDCANCEL_Click();
  EXPECT_FALSE(port.open);
  EXPECT_EQ(saveCalls, 2);
  EXPECT_GE(closeCalls, 1);
  EXPECT_EQ(endings, std::vector<int>{kExitNormal});
  EXPECT_EQ(polTimer->Interval(), 0u);
}

// --- What the window takes, a restart keeps --------------------------------

// The settings a restart comes back with: SETDT.DAT as the save wrote it,
// loaded into a window fresh from its design.
MeasureSettings Restarted(const std::filesystem::path& site) {
  PolModeForm fresh = MakeDesignForm();
  MeasureState freshState;
  return STFLood(fresh, freshState, site).settings;
}

// Each box at both ends of its range is taken and comes back unchanged after
// a save and a load; one step beyond either end is refused by the window
// (the box keeps its value) and, found in SETDT.DAT, gets the load default.
TEST_F(CycleTest, ValuesAtTheLimitsSurviveARestartAndValuesBeyondAreRefusedAndDefaulted) {
  lw::testing::TempDir site("lw-limits");
  Load();
  struct Box {
    const char* caption;
    bool (PolMode::*commit)(const std::string&);
    std::function<std::string&()> text;
    std::function<double(const MeasureSettings&)> loaded;
    std::vector<std::pair<std::string, double>> taken;  // entered text, value after the restart
    std::vector<std::string> refused;
    double loadDefault;
  };
  const Box entries[] = {
      {"データ保存間隔", &PolMode::Combo1_Commit, [&]() -> std::string& { return form.Combo1.text; },
       [](const MeasureSettings& s) { return s.dataInterval; }, {{"1", 1}, {"60", 60}, {"60.5", 60}},
       {"0", "0.5", "61", "-1", "abc", ""}, 1},
      {"保存間隔", &PolMode::Combo2_Commit, [&]() -> std::string& { return form.Combo2.text; },
       [](const MeasureSettings& s) { return std::abs(s.waveInterval); }, {{"1", 1}, {"1440", 1440}},
       {"0", "1441", "x"}, 10},
      {"シャント抵抗値", &PolMode::Text1_Commit, [&]() -> std::string& { return form.Text1.text; },
       [](const MeasureSettings& s) { return s.shuntOhm; },
       {{"0.01", static_cast<double>(0.01f)}, {"1000000", 1.0e6}, {"1e6", 1.0e6}},
       {"0.0099", "1000001", "0", "-330", "ohm"}, 330},
  };
  for (const Box& box : entries) {
    SCOPED_TRACE(box.caption);
    for (const auto& [entered, value] : box.taken) {
      EXPECT_TRUE((pm.get()->*box.commit)(entered)) << entered;
      EXPECT_EQ(box.text(), entered);
      ASSERT_TRUE(STFSave(form, state, site.Path()).ok);
      EXPECT_EQ(box.loaded(Restarted(site.Path())), value) << entered;
    }
    const std::string kept = box.text();
    for (const std::string& entered : box.refused) {
      form.IDC_STATUS.text.clear();
      EXPECT_FALSE((pm.get()->*box.commit)(entered)) << entered;
      EXPECT_EQ(box.text(), kept) << entered;
      EXPECT_EQ(form.IDC_STATUS.text, std::string("設定値が範囲外です[") + box.caption + "]") << entered;
      // The same text reaching SETDT.DAT another way (an older program)
      // loads as the default.
      box.text() = entered;
      ASSERT_TRUE(STFSave(form, state, site.Path()).ok);
      EXPECT_EQ(box.loaded(Restarted(site.Path())), box.loadDefault) << entered;
      box.text() = kept;
    }
  }
  // A negative waveform interval would come back as the scheduled save
  // switched off.
  form.Check1.checked = true;
  EXPECT_FALSE(pm->Combo2_Commit("-5"));
  // The waveform interval at its limit with the scheduled save off is stored
  // negated and still comes back.
  form.Check1.checked = false;
  ASSERT_TRUE(pm->Combo2_Commit("1440"));
  ASSERT_TRUE(STFSave(form, state, site.Path()).ok);
  EXPECT_EQ(Restarted(site.Path()).waveInterval, -1440);
}

// A path that code page 932 cannot keep would come back from SETDT.DAT as
// another file: refused, with the character named, and the run keeps its
// file.  Paths it keeps come back unchanged.
TEST_F(CycleTest, DataPathWithCharactersCodePage932CannotKeepIsRefused) {
  lw::testing::TempDir site("lw-path");
  Load();
  RunOneCycle();
  const std::string before = form.Text4.text;
  const std::pair<std::string, std::string> refused[] = {
      {"/var/tmp/Messung-ä.csv", "ä"},   // no such character in the code page
      {"/var/tmp/data😀.csv", "😀"},     // an emoji
      {"/var/tmp/9〜17.csv", "〜"},      // U+301C, which comes back as U+FF5E
      {"/var/tmp/a−b.csv", "−"},         // U+2212, which comes back as U+FF0D
  };
  for (const auto& [path, character] : refused) {
    EXPECT_FALSE(pm->Text4_Commit(path)) << path;
    EXPECT_EQ(form.Text4.text, before);
    EXPECT_EQ(form.IDC_STATUS.text, "保存ﾌｧｲﾙ名に使えない文字があります[" + character + "]");
  }
  EXPECT_FALSE(pm->Text4_Commit(""));
  EXPECT_EQ(form.IDC_STATUS.text, "保存ﾌｧｲﾙ名がありません");
  EXPECT_EQ(form.Text4.text, before);
  EXPECT_TRUE(pm->Running());
  EXPECT_EQ(openCalls, 1);  // the run's file was not touched

  // U+FF5E, a circled digit and half-width katakana are kept.
  for (const std::string path : {"/var/tmp/気象・電流～①ｱ.csv", "/var/tmp/plain.csv"}) {
    EXPECT_TRUE(pm->Text4_Commit(path)) << path;
    EXPECT_EQ(form.Text4.text, path);
    ASSERT_TRUE(STFSave(form, state, site.Path()).ok);
    EXPECT_EQ(Restarted(site.Path()).dataPath, path);
  }
}

}  // namespace
}  // namespace varnel
