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
    : m_site(std::move(site)),
      m_endProgram(std::move(endProgram)),
      m_morlex(std::move(morlexLibrary),
              [this](const std::string& why) {
                std::fprintf(stderr, "Varnel: %s\n", why.c_str());
                m_boxes.Show(why, "Varnel", MessageIcon::Error);
                m_endProgram(kExitLibraryMissing);
              }),
      m_port(std::make_unique<serial::QtSerialPortAdapter>(LoadPortSettings(m_site))) {
  ProgramPlatform pf;
  pf.morlex = &m_morlex;
  pf.timer1 = &m_timer1;
  pf.polTimer = &m_polTimer;
  pf.blockGuard = &m_blockGuard;
  pf.timer2 = &m_timer2;
  pf.timer3 = &m_timer3;
  pf.port = m_port.get();
  pf.boxes = &m_boxes;
  pf.clock = &m_clock;
  pf.siteDir = m_site;
  pf.getKivoWnd = [this] { return m_relay.GetKivoWnd(); };
  pf.drawScale = [this] {
    if (m_graph) m_graph->DrawScale();
  };
  pf.plotData = [this] {
    if (m_graph) m_graph->PlotData();
  };
  pf.repaintStatus = [this] {
    if (m_window) m_window->RepaintStatus();
    LogStatusChange();
  };
  pf.repaintIndicators = [this] {
    if (m_window) m_window->RepaintWeatherIndicators();
  };
  pf.endProgram = [this](int status) {
    LogStatusChange();
    m_endProgram(status);
  };
  m_program = std::make_unique<VarnelProgram>(std::move(pf));
  platform::SetMessageBoxHook([this](const char* text, const char* title, uint32_t) {
    m_boxes.Show(text, title, MessageIcon::Question);
  });
}

VarnelApp::~VarnelApp() { platform::SetMessageBoxHook({}); }

bool VarnelApp::Build(std::string& why) {
  if (!m_relay.Create()) {
    why = m_relay.Error();
    return false;
  }
  m_relay.onMsgPost = [this](int16_t w, int32_t l) {
    if (m_window) m_window->Dispatch([&] { m_program->Window().KIVO7100_OnMsgPost(w, l); });
    LogStatusChange();
  };
  m_window = std::make_unique<PolModeWindow>(m_program->form, MakeActions(*m_program, m_csvExport), m_relay.Widget());
  m_boxes.SetParent(m_window.get());
  m_saveDialog.SetParent(m_window.get());
  m_csvExport = std::make_unique<graph::CsvExport>(m_saveDialog, m_boxes, m_program->state, m_program->Data(), ProgramFolder());
  m_graph = std::make_unique<GraphPainter>(m_window->Graph(), *m_program);
  WireTimers();
  return true;
}

// Every timer tick and serial notification is followed by a refresh of the
// widgets (once the events waiting then are handled), and a changed status
// is written to the log.
void VarnelApp::WireTimers() {
  m_timer1.onTick = [this] { m_program->Window().Timer1_Timer(); };
  m_polTimer.onTick = [this] {
    m_program->Window().PolTimer_Timer();
    // The acquisition call returns with the block's notifications posted:
    // they are handled now, after the tick as always, instead of one pass of
    // the event loop later (every cycle waits for them).
    platform::PumpMessages();
  };
  m_blockGuard.onTick = [this] { m_program->Window().BlockGuard_Timer(); };
  auto follow = [this](std::function<void()>& slot) {
    auto inner = std::move(slot);
    slot = [this, inner] {
      if (inner) inner();
      if (m_window) m_window->RequestRefresh();
      LogStatusChange();
    };
  };
  follow(m_timer1.onTick);
  follow(m_polTimer.onTick);
  follow(m_blockGuard.onTick);
  follow(m_timer2.onTick);
  follow(m_timer3.onTick);
  follow(m_port->onComm);
  // The weather station's port is retried quietly every few seconds; what
  // goes wrong with it (and when it works again) is logged once.
  m_port->onReport = [this](const QString& line) {
    std::fprintf(stderr, "Varnel: %s serial port: %s\n", text::FormatSlashed(m_clock.Now()).c_str(),
                 line.toStdString().c_str());
  };
}

void VarnelApp::Load() {
  m_program->Load(static_cast<float>(GraphView::kWidth), static_cast<float>(GraphView::kHeight));
  m_window->Refresh();
  LogStatusChange();
}

// Status changes go to standard error with the time, so an unattended site
// keeps a trace of what the window showed.  The start notification of every
// cycle is left out: the log then holds one line per change of outcome
// rather than two lines per cycle.
void VarnelApp::LogStatusChange() {
  const std::string& status = m_program->form.IDC_STATUS.text;
  if (status == m_lastStatus || status == "変換開始..." || status == "ﾄﾘｶﾞｰ変換開始") return;
  m_lastStatus = status;
  std::fprintf(stderr, "Varnel: %s status: %s\n", text::FormatSlashed(m_clock.Now()).c_str(), status.c_str());
}

}  // namespace varnel::app
