// Varnel: the measurement program.  Runs in its site folder: the working
// directory holds SETDT.DAT, ErrLog.csv, Varnel.ini and Varnel.lock.
#include <QApplication>
#include <QMessageBox>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "instance/instance_lock.h"
#include "varnel_app.h"

namespace {

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
  // A file-size limit must surface as a write error of one record, not kill
  // the program.
  std::signal(SIGXFSZ, SIG_IGN);
  QApplication app(argc, argv);
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
  return app.exec();
}
