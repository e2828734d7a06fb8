#include "varnel_app.h"

#include <cstdio>

#include "platform/winmsg.h"
#include "serial/serial_settings.h"

namespace varnel::app {

namespace {

WindowActions MakeActions(VarnelProgram& p, const std::unique_ptr<graph::CsvExport>& csvExport) {
  WindowActions a;
  a.saveCsv = [&csvExport] {
    if (csvExport) csvExport->IDB_SAVECSV_Click();
  };
  PolMode& w = p.Window();
  a.start = [&w] { w.IDB_START_Click(); };
  a.stop = [&w] { w.IDB_STOP_Click(); };
  a.exit = [&w] { w.IDCANCEL_Click(); };
  a.lostFocus = [&w] { w.Form_LostFocus(); };
  a.text2Changed = [&w] { w.Text2_Change(); };
  a.check1Clicked = [&w] { w.Check1_Click(); };
  a.text1Committed = [&w](const std::string& t) { w.Text1_Commit(t); };
  a.text4Committed = [&w](const std::string& t) { w.Text4_Commit(t); };
  a.combo1Committed = [&w](const std::string& t) { w.Combo1_Commit(t); };
  a.combo2Committed = [&w](const std::string& t) { w.Combo2_Commit(t); };
  a.option1 = [&p, &w](int i) {
    SelectOption(p.form.Option1, static_cast<std::size_t>(i));
    w.Option1_Click(i);
  };
  a.option2 = [&p, &w](int i) {
    SelectOption(p.form.Option2, static_cast<std::size_t>(i));
    w.Option2_Click(i);
  };
  a.option3 = [&p, &w](int i) {
    SelectOption(p.form.Option3, static_cast<std::size_t>(i));
    w.Option3_Click(i);
  };
  a.startInternal = [&w] { w.IDR_START_INTERNAL_Click(); };
  a.startExternal = [&w] { w.IDR_START_EXTERNAL_Click(); };
  a.stopInternal = [&w] { w.IDR_STOP_INTERNAL_Click(); };
  a.stopExternal = [&w] { w.IDR_STOP_EXTERNAL_Click(); };
  return a;
}

serial::SerialSettings LoadPortSettings(const std::filesystem::path& site) {
  const auto load = serial::LoadSerialSettings(QString::fromStdString((site / serial::kPlatformSettingsFile).string()));
  for (const QString& problem : load.problems) std::fprintf(stderr, "Varnel: %s\n", problem.toStdString().c_str());
  return load.settings;
}

}  // namespace

VarnelApp::VarnelApp(std::filesystem::path site, std::function<void(int)> endProgram, std::string morlexLibrary)
    : site_(std::move(site)),
      endProgram_(std::move(endProgram)),
      morlex_(std::move(morlexLibrary),
              [this](const std::string& why) {
                std::fprintf(stderr, "Varnel: %s\n", why.c_str());
                boxes_.Show(why, "Varnel", MessageIcon::Error);
                endProgram_(kExitLibraryMissing);
              }),
      port_(std::make_unique<serial::QtSerialPortAdapter>(LoadPortSettings(site_))) {
  ProgramPlatform pf;
  pf.morlex = &morlex_;
  pf.timer1 = &timer1_;
  pf.polTimer = &polTimer_;
  pf.blockGuard = &blockGuard_;
  pf.timer2 = &timer2_;
  pf.timer3 = &timer3_;
  pf.port = port_.get();
  pf.boxes = &boxes_;
  pf.clock = &clock_;
  pf.siteDir = site_;
  pf.getKivoWnd = [this] { return relay_.GetKivoWnd(); };
  pf.drawScale = [this] {
    if (graph_) graph_->DrawScale();
  };
  pf.plotData = [this] {
    if (graph_) graph_->PlotData();
  };
  pf.repaintStatus = [this] {
    if (window_) window_->RepaintStatus();
    LogStatusChange();
  };
  pf.repaintIndicators = [this] {
    if (window_) window_->RepaintWeatherIndicators();
  };
  pf.endProgram = [this](int status) {
    LogStatusChange();
    endProgram_(status);
  };
  program_ = std::make_unique<VarnelProgram>(std::move(pf));
  platform::SetMessageBoxHook([this](const char* text, const char* title, uint32_t) {
    boxes_.Show(text, title, MessageIcon::Question);
  });
}

VarnelApp::~VarnelApp() { platform::SetMessageBoxHook({}); }

bool VarnelApp::Build(std::string& why) {
  if (!relay_.Create()) {
    why = relay_.Error();
    return false;
  }
  relay_.onMsgPost = [this](int16_t w, int32_t l) {
    if (window_) window_->Dispatch([&] { program_->Window().KIVO7100_OnMsgPost(w, l); });
    LogStatusChange();
  };
  window_ = std::make_unique<PolModeWindow>(program_->form, MakeActions(*program_, csvExport_), relay_.Widget());
  boxes_.SetParent(window_.get());
  saveDialog_.SetParent(window_.get());
  csvExport_ = std::make_unique<graph::CsvExport>(saveDialog_, boxes_, program_->state, program_->Data(), ProgramFolder());
  graph_ = std::make_unique<GraphPainter>(window_->Graph(), *program_);
  WireTimers();
  return true;
}

// Every timer tick and serial notification is followed by a refresh of the
// widgets (once the events waiting then are handled), and a changed status
// is written to the log.
void VarnelApp::WireTimers() {
  timer1_.onTick = [this] { program_->Window().Timer1_Timer(); };
  polTimer_.onTick = [this] {
    program_->Window().PolTimer_Timer();
    // The acquisition call returns with the block's notifications posted:
    // they are handled now, after the tick as always, instead of one pass of
    // the event loop later (every cycle waits for them).
    platform::PumpMessages();
  };
  blockGuard_.onTick = [this] { program_->Window().BlockGuard_Timer(); };
  auto follow = [this](std::function<void()>& slot) {
    auto inner = std::move(slot);
    slot = [this, inner] {
      if (inner) inner();
      if (window_) window_->RequestRefresh();
      LogStatusChange();
    };
  };
  follow(timer1_.onTick);
  follow(polTimer_.onTick);
  follow(blockGuard_.onTick);
  follow(timer2_.onTick);
  follow(timer3_.onTick);
  follow(port_->onComm);
}

void VarnelApp::Load() {
  program_->Load(static_cast<float>(GraphView::kWidth), static_cast<float>(GraphView::kHeight));
  window_->Refresh();
  LogStatusChange();
}

// Status changes go to standard error with the time, so an unattended site
// keeps a trace of what the window showed.  The start notification of every
// cycle is left out: the log then holds one line per change of outcome
// rather than two lines per cycle.
void VarnelApp::LogStatusChange() {
  const std::string& status = program_->form.IDC_STATUS.text;
  if (status == lastStatus_ || status == "変換開始..." || status == "ﾄﾘｶﾞｰ変換開始") return;
  lastStatus_ = status;
  std::fprintf(stderr, "Varnel: %s status: %s\n", text::FormatSlashed(clock_.Now()).c_str(), status.c_str());
}

}  // namespace varnel::app
