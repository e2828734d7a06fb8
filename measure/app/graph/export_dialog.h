// The file-save dialog of the waveform CSV export over QFileDialog.
#pragma once

#include <QStringList>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "graph/csv_export.h"

class QFileDialog;
class QWidget;

namespace varnel::app {

class QtSaveFileDialog : public graph::SaveFileDialog {
 public:
  explicit QtSaveFileDialog(QWidget* parent = nullptr) : m_parent(parent) {}
  // The window the dialog is modal to.
  void SetParent(QWidget* parent) { m_parent = parent; }

  std::optional<std::string> AskSavePath(const graph::SaveDialogRequest& request) override;

  // Sets a dialog up as requested: save mode, the filters, the initial
  // folder and name, the overwrite confirmation, and no default suffix.
  static void Configure(QFileDialog& dialog, const graph::SaveDialogRequest& request);
  // "CSV files{*.csv}" + "*.csv" -> "CSV files{*.csv} (*.csv)".
  static QStringList NameFilters(const std::vector<graph::FileFilter>& filters);

  // Runs the configured dialog (default: modal exec()); returns its result
  // code.  Tests answer the dialog here.
  std::function<int(QFileDialog&)> run;

 private:
  QWidget* m_parent = nullptr;
};

// The folder of the running program (UTF-8): the dialog starts there.
std::string ProgramFolder();

}  // namespace varnel::app
