#include "qt_process_starter.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace tessik {

StartResult QtProcessStarter::Start(const std::string& program) {
  QString path = QString::fromStdString(program).trimmed();
  if (path.isEmpty()) return {false, "起動ソフトが指定されていません"};

  const QDir site = QDir::current();
  if (QFileInfo(path).isRelative() && site.exists(path)) path = site.absoluteFilePath(path);

  QProcess process;
  process.setProgram(path);
  process.setWorkingDirectory(site.absolutePath());
  // The started program outlives the watchdog; it must not read the
  // watchdog's terminal.
  process.setStandardInputFile(QProcess::nullDevice());
  qint64 pid = 0;
  if (!process.startDetached(&pid)) return {false, process.errorString().toStdString()};
  return {true, {}};
}

}  // namespace tessik
