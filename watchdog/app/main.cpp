// Tessik: starts the measurement program again when its data file goes stale.
//
// Run it in the site folder: it reads SETDT.DAT there and starts ./Varnel
// there.  TESSIK_AUTOSTART=<minutes> (for unattended sites and tests) puts
// <minutes> into "再起動時間" and starts watching at once.
#include <QApplication>
#include <QDir>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "form1_window.h"
#include "platform/clock.h"
#include "platform/qt_headless.h"
#include "platform/qt_timer.h"
#include "qt_process_starter.h"
#include "site_lock.h"
#include "system.h"

namespace {

constexpr const char* kHelp =
    "Tessik - the watchdog of an insulator leakage-current and weather site.\n"
    "\n"
    "usage: Tessik [--help]\n"
    "\n"
    "Run it with the site folder as its working directory.  Once a minute\n"
    "while watching (\"スタート\") it looks at the data file's last-modified\n"
    "time and, when the file is older than the restart time (\"再起動時間\",\n"
    "minutes), or no program holds Varnel.lock (none runs: a new site folder,\n"
    "a restarted machine), and no start happened within that time, starts the\n"
    "measurement program again.  A program of this site that holds Varnel.lock\n"
    "while the file is stale is hung: it is ended first (SIGTERM, after 5 s\n"
    "SIGKILL).  Nothing else is ever signalled.\n"
    "\n"
    "Site folder files:\n"
    "  SETDT.DAT    read at start: the data file path it watches (written by\n"
    "               Varnel; when missing, /var/tmp/気象・電流data.csv)\n"
    "  Varnel       the program it starts, in the site folder\n"
    "  Varnel.lock  held by the running Varnel, with its process id\n"
    "  the data file  only its last-modified time is read\n"
    "Tessik writes nothing into the site folder.\n"
    "\n"
    "Environment:\n"
    "  TESSIK_AUTOSTART=<minutes>  puts <minutes> into the restart time and\n"
    "                              starts watching at once (unattended sites)\n"
    "  Without a display (no DISPLAY or WAYLAND_DISPLAY) it uses Qt's\n"
    "  offscreen platform, and so does the Varnel it starts.\n"
    "\n"
    "Exit status:\n"
    "  0  ended by \"終了\" or by closing its window\n";

bool AsksForHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  return false;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (AsksForHelp(argc, argv)) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  platform::UseOffscreenWithoutDisplay("Tessik", argc, argv);
  platform::DropQtEnvironmentRemarks();
  QApplication app(argc, argv);

  const std::string site = QDir::currentPath().toStdString();
  platform::SystemClock clock;
  tessik::SystemFileTimes files;
  tessik::QtProcessStarter starter;
  tessik::ProcSiteLock lock(site);
  tessik::Form1Window window(clock, files, starter, lock, std::make_unique<platform::QtWindowTimer>(),
                             std::make_unique<platform::QtWindowTimer>());
  window.Load(std::filesystem::path(site) / "SETDT.DAT", site);

  if (const char* autostart = std::getenv("TESSIK_AUTOSTART"); autostart != nullptr && *autostart != '\0')
    window.StartWatching(autostart);

  window.show();
  return app.exec();
}
