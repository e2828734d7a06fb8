// Tessik: starts the measurement program again when its data file goes stale.
//
// Run it in the site folder: it reads SETDT.DAT there and starts ./Varnel
// there.  TESSIK_AUTOSTART=<minutes> (for unattended sites and tests) puts
// <minutes> into "再起動時間" and starts watching at once.
#include <QApplication>
#include <QDir>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "form1_window.h"
#include "qt_process_starter.h"
#include "platform/qt_timer.h"
#include "system.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);

  tessik::SystemClock clock;
  tessik::SystemFileTimes files;
  tessik::QtProcessStarter starter;
  tessik::Form1Window window(clock, files, starter, std::make_unique<platform::QtWindowTimer>());
  const std::string site = QDir::currentPath().toStdString();
  window.Load(std::filesystem::path(site) / "SETDT.DAT", site);

  if (const char* autostart = std::getenv("TESSIK_AUTOSTART"); autostart != nullptr && *autostart != '\0')
    window.StartWatching(autostart);

  window.show();
  return app.exec();
}
