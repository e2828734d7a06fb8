// The watchdog window `Form1`: widgets bound to the core model.
//
// Every event runs the same way: the three text boxes are written into the
// model, the core handles the event, and all widgets and the timer are
// refreshed from the model.
#pragma once

#include <QWidget>
#include <filesystem>
#include <memory>
#include <string>

#include "form1.h"
#include "platform/timer.h"
#include "watch.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace tessik {

class Form1Window : public QWidget {
 public:
  // `timer` becomes the 60 s watch timer; the window sets its interval and
  // keeps it disabled until "スタート".  `endingTimer` polls the site's lock
  // while a hung program is being ended.
  Form1Window(const Clock& clock, const FileTimes& files, ProcessStarter& starter, SiteLock& lock,
              std::unique_ptr<platform::Timer> timer, std::unique_ptr<platform::Timer> endingTimer,
              QWidget* parent = nullptr);
  ~Form1Window() override;

  // Window load: settings from `settingsFile`, program path in `currentDir`.
  void Load(const std::filesystem::path& settingsFile, const std::string& currentDir);

  // Unattended start: puts `restartMinutes` into "再起動時間" and starts
  // watching as "スタート" would.
  void StartWatching(const std::string& restartMinutes);

  const Form1& model() const { return m_form; }
  platform::Timer& timer() { return *m_timer; }
  platform::Timer& endingTimer() { return *m_endingTimer; }

 private:
  void Build();
  void ReadEdits();
  void Refresh();
  // One line on standard error: "Tessik: <date-time> <text>".
  void Report(const std::string& text) const;
  template <typename Handler>
  void Run(Handler handler) {
    ReadEdits();
    handler();
    Refresh();
  }

  Form1 m_form;
  const Clock& m_clock;
  Watchdog m_watchdog;
  std::unique_ptr<platform::Timer> m_timer;
  std::unique_ptr<platform::Timer> m_endingTimer;

  QLineEdit* m_watchedPath = nullptr;
  QLineEdit* m_restartMinutes = nullptr;
  QLineEdit* m_programPath = nullptr;
  QLabel* m_lastUpdate = nullptr;
  QLabel* m_lastCheck = nullptr;
  QLabel* m_lastStart = nullptr;
  QLabel* m_restartCount = nullptr;
  QLabel* m_status = nullptr;
  QPushButton* m_manualCheck = nullptr;
  QPushButton* m_startStop = nullptr;
  QPushButton* m_exit = nullptr;
};

}  // namespace tessik
