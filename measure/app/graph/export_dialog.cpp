#include "export_dialog.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QGuiApplication>

#include <cstdio>

namespace varnel::app {

QStringList QtSaveFileDialog::NameFilters(const std::vector<graph::FileFilter>& filters) {
  QStringList out;
  for (const graph::FileFilter& f : filters)
    out << QString::fromStdString(f.description) + QStringLiteral(" (") + QString::fromStdString(f.pattern) +
               QStringLiteral(")");
  return out;
}

void QtSaveFileDialog::Configure(QFileDialog& dialog, const graph::SaveDialogRequest& request) {
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters(NameFilters(request.filters));
  dialog.setDirectory(QString::fromStdString(request.initialFolder));
  dialog.selectFile(QString::fromStdString(request.fileName));
  // A name typed without an extension is used as typed.
  dialog.setDefaultSuffix(QString::fromStdString(request.defaultExtension));
  dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.overwritePrompt);
}

std::optional<std::string> QtSaveFileDialog::AskSavePath(const graph::SaveDialogRequest& request) {
  if (!run && QGuiApplication::platformName() == QLatin1String("offscreen")) {
    // Without a screen nobody can choose a file: the export is cancelled.
    std::fprintf(stderr, "Varnel: no screen for the file-save dialog\n");
    return std::nullopt;
  }
  QFileDialog dialog(m_parent);
  Configure(dialog, request);
  const int result = run ? run(dialog) : dialog.exec();
  if (result != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty() || chosen.front().isEmpty()) return std::nullopt;
  return chosen.front().toStdString();
}

std::string ProgramFolder() { return QCoreApplication::applicationDirPath().toStdString(); }

}  // namespace varnel::app
