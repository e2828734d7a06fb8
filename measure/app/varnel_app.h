// The measurement program assembled: the core over Qt timers, the serial
// port, the relay control, the A/D library binding and the main window.
// main() runs one; tests run one in-process against the stand-ins.
#pragma once

#include <QString>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "cycle/morlex_binding.h"
#include "export_dialog.h"
#include "graph/csv_export.h"
#include "graph_painter.h"
#include "platform/clock.h"
#include "platform/qt_timer.h"
#include "platform/qt_winmsg.h"
#include "polmode_window.h"
#include "program/varnel_program.h"
#include "qt_services.h"
#include "relay_host.h"
#include "serial/qt_serial_port.h"

namespace varnel::app {

class VarnelApp {
 public:
  // `endProgram` ends the process (main) or records the end (tests).
  VarnelApp(std::filesystem::path site, std::function<void(int status)> endProgram,
            std::string morlexLibrary = kMorlexLibrary);
  ~VarnelApp();

  // Creates the relay control and the window; false with `why` when the
  // relay control cannot be created.
  bool Build(std::string& why);
  // Start-up of the window (card detection, settings, serial port).
  void Load();

  VarnelProgram& Program() { return *m_program; }
  PolModeWindow& Window() { return *m_window; }
  platform::QtWindowTimer& Timer1() { return m_timer1; }

 private:
  void WireTimers();
  void LogStatusChange();

  std::filesystem::path m_site;
  std::function<void(int)> m_endProgram;
  platform::QtMessagePump m_pump;
  QtMessageBoxes m_boxes;
  MorlexBinding m_morlex;
  platform::QtWindowTimer m_timer1, m_polTimer, m_blockGuard, m_timer2, m_timer3;
  std::unique_ptr<serial::QtSerialPortAdapter> m_port;
  platform::SystemClock m_clock;
  RelayHost m_relay;
  std::unique_ptr<VarnelProgram> m_program;
  std::unique_ptr<PolModeWindow> m_window;
  std::unique_ptr<GraphPainter> m_graph;
  QtSaveFileDialog m_saveDialog;
  std::unique_ptr<graph::CsvExport> m_csvExport;
  std::string m_lastStatus;
};

}  // namespace varnel::app
