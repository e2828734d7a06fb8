#include "cycle/polmode.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "settings/limits.h"
#include "text/numforms.h"
#include "text/paths.h"

namespace varnel {

namespace {

constexpr uint32_t kAutoStartMs = 60000;
constexpr uint32_t kArmingDelayMs = 10;
constexpr int32_t kMaxPauseMs = 65535;
constexpr int kMinBlockEntries = 5056;  // the block has indices 0..5056 at least

std::string HexUpper(int16_t value) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(static_cast<uint16_t>(value)));
  return buf;
}

std::string OutOfRangeText(const std::string& caption) { return "設定値が範囲外です[" + caption + "]"; }

// Why a data-file path is refused, in the words of the status line.
std::string PathRefusalText(const PathCheck& check) {
  switch (check.problem) {
    case PathProblem::Empty: return "保存ﾌｧｲﾙ名がありません";
    case PathProblem::TooLong: return "保存ﾌｧｲﾙ名が長すぎます";
    case PathProblem::NotInCodePage932: return "保存ﾌｧｲﾙ名に使えない文字があります[" + check.character + "]";
    case PathProblem::None: break;
  }
  return {};
}

}  // namespace

uint32_t BlockGuardMs(int32_t sampCount, int16_t sampInterval, int16_t sampUnit) {
  double msPerFrame = 0;
  if (sampUnit == 0) msPerFrame = sampInterval * 1000.0;
  if (sampUnit == 1) msPerFrame = sampInterval;
  if (sampUnit == 2) msPerFrame = sampInterval / 1000.0;
  const double twiceBlockMs = 2.0 * std::max<int32_t>(sampCount, 0) * std::max(msPerFrame, 0.0);
  const double guardMs = std::ceil(std::max(twiceBlockMs, static_cast<double>(kBlockGuardFloorMs)));
  // A window timer counts at most INT32_MAX milliseconds (about 24 days).
  constexpr double kLongest = std::numeric_limits<int32_t>::max();
  return static_cast<uint32_t>(std::min(guardMs, kLongest));
}

PolMode::PolMode(PolModeForm& form, MeasureState& state, MorlexApi& morlex, platform::Timer& timer1,
                 platform::Timer& polTimer, platform::Timer& blockGuard, SerialPort& port, MessageBoxes& boxes,
                 PolModeHooks hooks, uint32_t windowHandle)
    : form_(form),
      state_(state),
      morlex_(morlex),
      timer1_(timer1),
      polTimer_(polTimer),
      blockGuard_(blockGuard),
      port_(port),
      boxes_(boxes),
      hooks_(std::move(hooks)),
      hwnd_(windowHandle) {
  // Design values of the two cycle timers: the first cycle starts by itself
  // a minute after load; the arming timer is silent until a start.
  timer1_.SetInterval(kAutoStartMs);
  timer1_.SetEnabled(true);
  polTimer_.SetInterval(0);
  polTimer_.SetEnabled(true);
  blockGuard_.SetInterval(0);
  blockGuard_.SetEnabled(true);
}

void PolMode::ShowStatus(const std::string& text) { form_.IDC_STATUS.text = text; }

void PolMode::Form_Load(float graphWidth, float graphHeight) {
  CardInfo& card = state_.card;
  const int32_t r = morlex_.AdGetCardResource(hwnd_, 0, &card.cardType, &card.ioBase, &card.irqNumber);
  if (ended_) return;
  if (r != 0) {
    ShowStatus("QDA-7100U/B ADｶｰﾄﾞ検出ｴﾗｰ");
    form_.IDB_START.enabled = false;
    form_.IDB_STOP.enabled = false;
    form_.IDB_SAVECSV.enabled = false;
    return;
  }
  const std::string where = " 正常検出 I/Oﾍﾞｰｽ:0x" + HexUpper(card.ioBase) + " IRQ番号:" + text::ShortForm(card.irqNumber);
  if (card.cardType == 2) {
    ShowStatus("QDA-7100B" + where);
    form_.IDS_YRANGE.text = "±5V";
  } else if (card.cardType == 1) {
    ShowStatus("QDA-7100U" + where);
    form_.IDS_YRANGE.text = "0-2.5V";
  }

  form_.IDE_SAMPTIME.text = "80";
  form_.IDCB_TIMEUNIT.items = {"sec", "msec", "usec"};
  form_.IDCB_TIMEUNIT.listIndex = 2;
  form_.IDCB_TIMEUNIT.text = "usec";
  form_.IDE_CHAN.text = "4";
  form_.IDE_SAMPCOUNT.text = "1260";
  IDR_START_INTERNAL_Click();
  IDR_STOP_INTERNAL_Click();

  GraphGeometry& g = state_.graph;
  g.height = graphHeight;
  g.width = graphWidth;
  if (card.cardType == 1) g.zeroLineY = text::ToInt16(g.height).value_or(0);
  if (card.cardType == 2) g.zeroLineY = text::ToInt16(g.height / 2).value_or(0);
  if (hooks_.drawScale) hooks_.drawScale();

  state_.groupCount = 4;
  const LoadedSettings s = hooks_.stfLood ? hooks_.stfLood() : LoadedSettings{};
  form_.Text1.text = text::GeneralSingle(s.shuntOhm);
  SelectGroupOption();
  form_.Text4.text = s.dataPath;
  SelectOption(form_.Option2, s.freqIndex == 0 ? 0 : 1);
  if (hooks_.buildFrequencyTables) hooks_.buildFrequencyTables();

  // A port that cannot be opened leaves the weather link idle; it retries.
  port_.Open();

  form_.Combo1.text = text::PlainForm(s.dataInterval);
  form_.Combo2.text = text::PlainForm(s.waveInterval < 0 ? -static_cast<int>(s.waveInterval) : s.waveInterval);
  const bool tick = s.waveInterval >= 0;
  if (form_.Check1.checked != tick) {
    form_.Check1.checked = tick;
    Check1_Click();
  }
  state_.waves.Reset(4 * state_.groupCount);
  loaded_ = true;
}

void PolMode::SelectGroupOption() {
  // Selecting the item runs its click handler, which also turns an odd
  // stored count into the one the selected item stands for.
  const int index = state_.groupCount == 1 ? 0 : state_.groupCount == 2 ? 1 : 2;
  SelectOption(form_.Option1, static_cast<std::size_t>(index));
  Option1_Click(index);
}

// Reads the acquisition settings of a first start.  Values that do not fit
// their width are refused with a status text and nothing changes.
bool PolMode::ReadFirstStartSettings() {
  const auto interval = text::ToInt16(text::LeadingNumber(form_.IDE_SAMPTIME.text));
  const auto unit = text::ToInt16(form_.IDCB_TIMEUNIT.listIndex);
  const auto channels = text::ToInt16(text::LeadingNumber(form_.IDE_CHAN.text));
  const auto count = text::ToInt32(text::LeadingNumber(form_.IDE_SAMPCOUNT.text));
  const auto pause = text::ToInt32(text::LeadingNumber(form_.Text2.text));
  if (!interval) return ShowStatus(OutOfRangeText("ｻﾝﾌﾟﾘﾝｸﾞ間隔")), false;
  if (!channels) return ShowStatus(OutOfRangeText("変換ﾁｬﾝﾈﾙ数")), false;
  if (!count) return ShowStatus(OutOfRangeText("ｻﾝﾌﾟﾘﾝｸﾞ個数")), false;
  if (!pause || *pause < 0 || *pause > kMaxPauseMs) return ShowStatus(OutOfRangeText("測定間隔")), false;
  state_.sampInterval = *interval;
  state_.sampUnit = unit.value_or(-1);
  state_.chanCount = *channels;
  state_.sampCount = *count;
  return true;
}

void PolMode::UpdateXRange() {
  static const char* const kUnits[] = {"秒/div", "ﾐﾘ秒/div", "ﾏｲｸﾛ秒/div"};
  if (state_.sampUnit < 0 || state_.sampUnit > 2) return;
  const auto x = text::ToInt16(static_cast<double>(state_.graph.width) / 10 * state_.sampInterval);
  if (!x) return;  // a scale that does not fit leaves the label as it was
  form_.IDS_XRANGE.text = text::ShortForm(*x) + kUnits[state_.sampUnit];
}

void PolMode::SendTrigger() {
  const auto startInternal = form_.IDR_START_INTERNAL.Value() == startTrigSel_;
  const auto startExternal = form_.IDR_START_EXTERNAL.Value() == startTrigSel_;
  const auto stopInternal = form_.IDR_STOP_INTERNAL.Value() == stopTrigSel_;
  const auto stopExternal = form_.IDR_STOP_EXTERNAL.Value() == stopTrigSel_;
  int16_t kind = -1;
  if (startInternal && stopInternal) kind = 0;
  else if (startExternal && stopInternal) kind = 1;
  else if (startInternal && stopExternal) kind = 2;
  else if (startExternal && stopExternal) kind = 3;
  if (kind >= 0) morlex_.AdSetTrigger(kind, 1);
}

// The card set-up of a first start.  False when the start must return.
bool PolMode::SetUpCard() {
  const CardInfo& card = state_.card;
  int32_t r = morlex_.AdSetParam(hwnd_, card.cardType, 3, card.ioBase, card.irqNumber);
  if (ended_) return false;
  if (r != 0) {
    Fatal("ADｶｰﾄﾞﾊﾟﾗﾒｰﾀ設定ｴﾗｰ[CODE:" + text::ShortForm(r) + "]");
    return false;
  }
  const int16_t scanChannels[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  r = morlex_.AdSetChannel(state_.chanCount, scanChannels);
  if (ended_) return false;
  if (r != state_.chanCount) {
    Fatal("AD変換ﾁｬﾝﾈﾙ設定誤り[CODE:" + text::ShortForm(r) + "]");
    return false;
  }
  SendTrigger();
  r = morlex_.AdSetFreq(hwnd_, state_.sampInterval, state_.sampUnit);
  if (ended_) return false;
  if (r != 0) {
    ShowStatus("ｻﾝﾌﾟﾘﾝｸﾞ間隔設定誤り[CODE:" + text::ShortForm(r) + "]");
    return false;
  }
  return true;
}

void PolMode::IDB_START_Click() {
  if (ended_) return;
  // A start while a cycle holds the library's buffer would allocate a second
  // buffer and leak the first: the cycle in flight re-arms by itself.
  if (dataMem_ != 0) return;
  const bool first = running_ == 0;
  if (first) {
    if (!ReadFirstStartSettings()) return;
    UpdateXRange();
    if (!SetUpCard()) return;
  }

  const uintptr_t mem = morlex_.AdAllocDataMem(hwnd_, state_.sampCount);
  if (ended_) return;
  if (mem == 0) {
    Fatal("変換ﾃﾞｰﾀ格納用ﾒﾓﾘﾌﾞﾛｯｸｱﾛｹｰｼｮﾝｴﾗｰ");
    return;
  }
  dataMem_ = mem;
  dataMemSamples_ = static_cast<int64_t>(state_.sampCount) * state_.chanCount;
  acquisitionStarted_ = false;
  stopped_ = false;
  relayBoxShown_ = false;
  polTimer_.SetInterval(kArmingDelayMs);

  if (first) {
    if (!OpenRunFiles()) return;
    running_ = 1;
    timer1_.SetInterval(static_cast<uint32_t>(text::ToInt32(text::LeadingNumber(form_.Text2.text)).value_or(0)));
    timer1_.SetEnabled(false);
    std::string why;
    if (hooks_.stfSave && !hooks_.stfSave(why)) ShowStatus("設定ﾌｧｲﾙ保存ｴﾗｰ: " + why);
  }
  form_.Frame8.enabled = false;
}

// Opens the data file of a new run.  When it cannot be opened the run does
// not start: the buffer is released, the reason shown and logged, and the
// start is retried a minute later so an unattended site recovers once the
// folder is back.
bool PolMode::OpenRunFiles() {
  std::string why;
  if (!hooks_.openDataFile || hooks_.openDataFile(why)) return true;
  const std::string text = "ﾃﾞｰﾀﾌｧｲﾙｵｰﾌﾟﾝｴﾗｰ: " + why;
  ShowStatus(text);
  if (hooks_.logPR) hooks_.logPR(text);
  polTimer_.SetInterval(0);
  ReleaseBuffer();
  timer1_.SetInterval(kAutoStartMs);
  timer1_.SetEnabled(true);
  return false;
}

void PolMode::Timer1_Timer() {
  timer1_.SetEnabled(false);
  IDB_START_Click();
}

void PolMode::PolTimer_Timer() {
  if (ended_) return;
  if (dataMem_ == 0) {  // nothing armed (a stop came first)
    polTimer_.SetInterval(0);
    return;
  }
  const uint32_t h = hooks_.getKivoWnd ? hooks_.getKivoWnd() : 0;
  if (h == 0) {
    // The arming timer keeps ticking and retries; the box is shown once per
    // armed cycle rather than at every 10 ms tick.
    if (!relayBoxShown_) {
      relayBoxShown_ = true;
      boxes_.Show("OLEのハンドルが取得できません。", "エラー", MessageIcon::Error);
    }
    return;
  }
  acquisitionStarted_ = true;
  blockGivenUp_ = false;
  const int32_t r = morlex_.AdStartPolModeThread(h);
  polTimer_.SetInterval(0);
  // The library has posted the block's notifications by the time it
  // returns; they are handled after this tick.  A time-out is told by the
  // result, and a final notification that never comes is waited for no
  // longer than the guard.
  libraryTimedOut_ = r == kPolTimedOut;
  blockGuard_.SetInterval(BlockGuardMs(state_.sampCount, state_.sampInterval, state_.sampUnit));
}

void PolMode::BlockGuard_Timer() {
  blockGuard_.SetInterval(0);
  if (ended_ || dataMem_ == 0 || !acquisitionStarted_) return;
  blockGivenUp_ = true;
  GiveUpBlock();
}

// A block that did not complete in time is never analysed: its all-zero
// samples would pull the averages down.  The buffer goes back to the
// library, the time-out is shown and logged, and the cycle starts again.
// Too many in a row end the program, so that the watchdog starts a fresh
// one.
void PolMode::GiveUpBlock() {
  blockGuard_.SetInterval(0);
  libraryTimedOut_ = false;
  ReleaseBuffer();
  ++timeoutsInRow_;
  const std::string shown = "AD変換ﾀｲﾑｱｳﾄ[連続" + text::ShortForm(timeoutsInRow_) + "回]";
  if (timeoutsInRow_ >= kTimeoutsBeforeEnd) {
    Fatal(shown + " ﾌﾟﾛｸﾞﾗﾑ終了");
    return;
  }
  ShowStatus(shown);
  if (hooks_.repaintStatus) hooks_.repaintStatus();
  if (hooks_.logPR) hooks_.logPR(shown);
  if (!stopped_) RestartTimer1FromText2();
}

void PolMode::CopyBlock(int32_t count) {
  // Never read past the library's buffer, whatever count the notification
  // carries: the block keeps only what the buffer really holds.
  const int64_t n = std::clamp<int64_t>(count, 0, dataMem_ != 0 ? dataMemSamples_ : 0);
  state_.blockCount = static_cast<int32_t>(n);
  if (n > 0) {
    morlex_.VbMemCopy(reinterpret_cast<uintptr_t>(state_.block.data()), dataMem_, static_cast<uint32_t>(n * 2));
  }
}

void PolMode::KIVO7100_OnMsgPost(int16_t wParam, int32_t lParam) {
  if (ended_) return;
  // A block the guard has given up is gone and the cycle has moved on: its
  // notifications, should they still come, are dropped.
  if (blockGivenUp_) return;
  const int32_t count = std::max<int32_t>(lParam, 0);
  state_.block.assign(static_cast<std::size_t>(std::max(count, kMinBlockEntries)) + 1, 0);
  state_.blockCount = lParam;
  form_.IDS_TOTALNUM.text = text::ShortForm(lParam);

  switch (wParam) {
    case kNotifyStarted:
      ShowStatus("変換開始...");
      if (hooks_.repaintStatus) hooks_.repaintStatus();
      return;
    case kNotifyWaitingTrigger:
      ShowStatus("ﾄﾘｶﾞｰ変換開始");
      if (hooks_.repaintStatus) hooks_.repaintStatus();
      return;
    case kNotifyFifoOverrun: ShowStatus("FIFOｵｰﾊﾞｰﾗﾝ停止"); break;
    case kNotifyStopTrigger: ShowStatus("ﾄﾘｶﾞｰ終了"); break;
    case kNotifyCountReached: ShowStatus("指定個数終了"); break;
    default: break;
  }
  // The block's final notification: the guard is no longer needed.
  blockGuard_.SetInterval(0);
  if (libraryTimedOut_) {
    GiveUpBlock();
    return;
  }
  if (wParam != kNotifyFailed) timeoutsInRow_ = 0;
  if (hooks_.repaintStatus) hooks_.repaintStatus();

  CopyBlock(lParam);
  // After a stop the run is over: the block is shown but neither analysed
  // into the closed run's totals nor followed by another cycle.
  if (!stopped_ && hooks_.dtSyori) hooks_.dtSyori();
  if (ended_) return;
  if (!stopped_) RestartTimer1FromText2();
  ReleaseBuffer();
}

void PolMode::RestartTimer1FromText2() {
  const auto pause = text::ToInt32(text::LeadingNumber(form_.Text2.text));
  if (pause && *pause >= 0 && *pause <= kMaxPauseMs) timer1_.SetInterval(static_cast<uint32_t>(*pause));
  timer1_.SetEnabled(true);
}

void PolMode::ReleaseBuffer() {
  morlex_.AdFreeDataMem();
  dataMem_ = 0;
  dataMemSamples_ = 0;
  acquisitionStarted_ = false;
}

void PolMode::IDB_STOP_Click() {
  if (ended_) return;
  if (hooks_.closeDataFile) hooks_.closeDataFile();
  timer1_.SetEnabled(false);
  running_ = 0;
  form_.Frame8.enabled = true;
  // A stop is final: disarm the acquisition; a cycle already acquired still
  // delivers its notification, which then starts nothing.
  polTimer_.SetInterval(0);
  if (dataMem_ != 0) {
    if (acquisitionStarted_) {
      stopped_ = true;
    } else {
      ReleaseBuffer();
    }
  }
}

void PolMode::IDCANCEL_Click() {
  if (ended_) return;
  morlex_.AdFreeDataMem();
  dataMem_ = 0;
  polTimer_.SetInterval(0);
  port_.Close();
  if (hooks_.closeDataFile) hooks_.closeDataFile();
  std::string why;
  if (hooks_.stfSave) hooks_.stfSave(why);
  EndProgram(kExitNormal);
}

void PolMode::Form_LostFocus() { EndProgram(kExitNormal); }

void PolMode::EndProgram(int status) {
  if (ended_) return;
  ended_ = true;
  timer1_.SetEnabled(false);
  polTimer_.SetInterval(0);
  blockGuard_.SetInterval(0);
  if (hooks_.closeDataFile) hooks_.closeDataFile();
  if (hooks_.endProgram) hooks_.endProgram(status);
}

void PolMode::Fatal(const std::string& statusText) {
  ShowStatus(statusText);
  if (hooks_.logPR) hooks_.logPR(form_.IDC_STATUS.text);
  EndProgram(kExitSetupFailure);
}

void PolMode::Text2_Change() {
  const auto pause = text::ToInt32(text::LeadingNumber(form_.Text2.text));
  if (!pause || *pause < 0 || *pause > kMaxPauseMs) {
    ShowStatus(OutOfRangeText("測定間隔"));
    return;
  }
  timer1_.SetInterval(static_cast<uint32_t>(*pause));
}

void PolMode::Option1_Click(int index) {
  if (index < 0 || index > 2) return;
  state_.groupCount = static_cast<int16_t>(1 << index);
  running_ = 0;
  // The waveform store follows the channel count at once; otherwise a
  // "16ch" run would keep storing only the channels of the old count until
  // a scheduled capture happened to size it again.
  state_.waves.Reset(4 * state_.groupCount);
}

void PolMode::Option2_Click(int /*index*/) {
  if (hooks_.buildFrequencyTables) hooks_.buildFrequencyTables();
}

void PolMode::Option3_Click(int index) {
  state_.binaryFormat = static_cast<int16_t>(index);
  form_.Text4.text = text::ReplaceExtension(form_.Text4.text, index == 0 ? "csv" : "bdt");
}

void PolMode::IDR_START_INTERNAL_Click() {
  form_.IDR_START_INTERNAL.selected = true;
  form_.IDR_START_EXTERNAL.selected = false;
  startTrigSel_ = form_.IDR_START_INTERNAL.Value();
}
void PolMode::IDR_START_EXTERNAL_Click() {
  form_.IDR_START_EXTERNAL.selected = true;
  form_.IDR_START_INTERNAL.selected = false;
  startTrigSel_ = form_.IDR_START_EXTERNAL.Value();
}
void PolMode::IDR_STOP_INTERNAL_Click() {
  form_.IDR_STOP_INTERNAL.selected = true;
  form_.IDR_STOP_EXTERNAL.selected = false;
  stopTrigSel_ = form_.IDR_STOP_INTERNAL.Value();
}
void PolMode::IDR_STOP_EXTERNAL_Click() {
  form_.IDR_STOP_EXTERNAL.selected = true;
  form_.IDR_STOP_INTERNAL.selected = false;
  stopTrigSel_ = form_.IDR_STOP_EXTERNAL.Value();
}

void PolMode::Check1_Click() {
  form_.Label30[2].enabled = form_.Check1.checked;
  form_.Combo2.enabled = form_.Check1.checked;
}

bool PolMode::Text1_Commit(const std::string& entered) {
  if (!EnteredShuntOhm(entered)) return ShowStatus(OutOfRangeText("シャント抵抗値")), false;
  form_.Text1.text = entered;
  return true;
}

bool PolMode::Text4_Commit(const std::string& entered) {
  const PathCheck check = CheckDataPath(entered);
  if (check.problem != PathProblem::None) return ShowStatus(PathRefusalText(check)), false;
  form_.Text4.text = entered;
  return true;
}

bool PolMode::Combo1_Commit(const std::string& entered) {
  if (!EnteredDataInterval(entered)) return ShowStatus(OutOfRangeText("データ保存間隔")), false;
  form_.Combo1.text = entered;
  return true;
}

bool PolMode::Combo2_Commit(const std::string& entered) {
  if (!EnteredWaveInterval(entered)) return ShowStatus(OutOfRangeText("保存間隔")), false;
  form_.Combo2.text = entered;
  return true;
}

}  // namespace varnel
