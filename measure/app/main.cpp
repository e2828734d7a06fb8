// Varnel: the measurement program.  Runs in its site folder: the working
// directory holds SETDT.DAT, ErrLog.csv, Varnel.ini and Varnel.lock.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "instance/instance_lock.h"
#include "platform/qt_headless.h"
#include "varnel_app.h"

namespace {

constexpr const char* kHelp =
    "Varnel - the measurement program of an insulator leakage-current and weather site.\n"
    "\n"
    "usage: Varnel [--help]\n"
    "\n"
    "Run it with the site folder as its working directory.  About every 0.13 s\n"
    "it acquires a block from the QDA7100 A/D card (libMorlex.so), analyses the\n"
    "leakage currents of up to 16 insulators, polls the weather station on the\n"
    "serial port every 4 s and appends one record per data-save interval to the\n"
    "data file.  Its first cycle starts 60 s after start-up (or at \"変換開始\").\n"
    "\n"
    "Site folder files:\n"
    "  SETDT.DAT    the window's settings (data file path, channel count,\n"
    "               thresholds, save intervals); also read by Tessik\n"
    "  Varnel.ini   the serial port: [Serial] Port, BaudRate (2400), DataBits (8),\n"
    "               Parity, StopBits, FlowControl, InputBufferSize, OutputBufferSize\n"
    "  Varnel.lock  held while Varnel runs, with its process id and, as its\n"
    "               modification time, the last sign of life (every 10 s);\n"
    "               a second Varnel in the folder ends at once\n"
    "  ErrLog.csv   one line per end on a card set-up failure (code page 932)\n"
    "  the data file  named in the window (\"保存ファイル\"): CSV or binary records\n"
    "  *Wev.dat     waveform snapshots, scheduled and peak-triggered\n"
    "\n"
    "Environment:\n"
    "  QDA7100_DEVICE_DIR  the card driver's device folder (default /run/qda7100\n"
    "                      for root)\n"
    "  COMPONENT_REGISTRY  the registry file where the relay control is registered\n"
    "  Without a display (no DISPLAY or WAYLAND_DISPLAY) it uses Qt's offscreen\n"
    "  platform.\n"
    "\n"
    "Exit status:\n"
    "  0  normal end\n"
    "  1  the card refused its set-up or completed no block three times in a row\n"
    "     (see ErrLog.csv)\n"
    "  2  forced stop on abnormal DC\n"
    "  3  another Varnel runs in the folder\n"
    "  4  the A/D library or the relay control cannot be loaded\n";

bool AsksForHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  return false;
}

// Ends the program at once: every record is already on disk and the data
// file closed by the core; nothing else needs an orderly shutdown.
[[noreturn]] void EndNow(int status) {
  std::fflush(nullptr);
  std::_Exit(status);
}

void ShowFatal(const std::string& text) {
  std::fprintf(stderr, "Varnel: %s\n", text.c_str());
  if (QGuiApplication::platformName() != QLatin1String("offscreen"))
    QMessageBox::critical(nullptr, QStringLiteral("Varnel"), QString::fromStdString(text));
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything touches the site folder.
  if (AsksForHelp(argc, argv)) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  platform::UseOffscreenWithoutDisplay("Varnel", argc, argv);
  platform::DropQtEnvironmentRemarks();
  // A file-size limit must surface as a write error of one record, not kill
  // the program.
  std::signal(SIGXFSZ, SIG_IGN);
  // Qt's own event dispatcher rather than GLib's main loop: a measuring
  // cycle passes through the loop several times, and GLib's prepare, check
  // and dispatch steps cost more each pass than the timers and descriptors
  // they serve.  Nothing here needs GLib.  An explicit setting is kept.
  if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
  QApplication app(argc, argv);
  // A steady caret: a blinking one repaints its text box (frame, text and
  // all) twice a second for as long as the window runs, which on an
  // unattended site is for ever.
  QApplication::setCursorFlashTime(0);
  const std::filesystem::path site = std::filesystem::current_path();

  auto lock = varnel::instance::InstanceLock::TryAcquire(site / varnel::instance::kLockFileName);
  if (!lock.held()) {
    ShowFatal(lock.Describe());
    return varnel::kExitAnotherInstance;
  }

  varnel::app::VarnelApp varnel(site, [](int status) { EndNow(status); });
  std::string why;
  if (!varnel.Build(why)) {
    ShowFatal(why);
    return varnel::kExitLibraryMissing;
  }
  varnel.Load();
  varnel.Window().show();

  // Signs of life for the watchdog, from this event loop: a program that
  // stops handling events stops marking, and only such a program is ended.
  QTimer alive;
  QObject::connect(&alive, &QTimer::timeout, [&lock] { lock.MarkAlive(); });
  alive.start(varnel::instance::kAliveMarkPeriod);
  return app.exec();
}
