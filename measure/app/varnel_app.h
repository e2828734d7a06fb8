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

  VarnelProgram& Program() { return *program_; }
  PolModeWindow& Window() { return *window_; }
  platform::QtWindowTimer& Timer1() { return timer1_; }

 private:
  void WireTimers();
  void LogStatusChange();

  std::filesystem::path site_;
  std::function<void(int)> endProgram_;
  platform::QtMessagePump pump_;
  QtMessageBoxes boxes_;
  MorlexBinding morlex_;
  platform::QtWindowTimer timer1_, polTimer_, blockGuard_, timer2_, timer3_;
  std::unique_ptr<serial::QtSerialPortAdapter> port_;
  platform::SystemClock clock_;
  RelayHost relay_;
  std::unique_ptr<VarnelProgram> program_;
  std::unique_ptr<PolModeWindow> window_;
  std::unique_ptr<GraphPainter> graph_;
  QtSaveFileDialog saveDialog_;
  std::unique_ptr<graph::CsvExport> csvExport_;
  std::string lastStatus_;
};

}  // namespace varnel::app
