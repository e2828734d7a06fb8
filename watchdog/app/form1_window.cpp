#include "form1_window.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdio>

namespace tessik {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

QLabel* Caption(const char* text, QWidget* parent) { return new QLabel(QString::fromUtf8(text), parent); }

QLineEdit* Edit(const char* name, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  return edit;
}

QLabel* Value(const char* name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

QPushButton* Button(const char* name, const char* caption, QWidget* parent) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  button->setObjectName(name);
  return button;
}

}  // namespace

Form1Window::Form1Window(const Clock& clock, const FileTimes& files, ProcessStarter& starter, SiteLock& lock,
                         std::unique_ptr<platform::Timer> timer, std::unique_ptr<platform::Timer> endingTimer,
                         QWidget* parent)
    : QWidget(parent),
      m_clock(clock),
      m_watchdog(m_form, clock, files, starter, lock),
      m_timer(std::move(timer)),
      m_endingTimer(std::move(endingTimer)) {
  setObjectName("Form1");
  setWindowTitle(QString::fromUtf8(kWindowCaption));
  Build();

  m_timer->SetEnabled(false);
  m_timer->SetInterval(kWatchIntervalMs);
  m_timer->onTick = [this] { Run([this] { m_watchdog.Tick(); }); };
  m_endingTimer->SetEnabled(false);
  m_endingTimer->SetInterval(kEndingPollMs);
  m_endingTimer->onTick = [this] { Run([this] { m_watchdog.EndingPoll(); }); };

  connect(m_manualCheck, &QPushButton::clicked, this, [this] { Run([this] { m_watchdog.ManualCheck(); }); });
  connect(m_startStop, &QPushButton::clicked, this, [this] { Run([this] { m_watchdog.ToggleWatching(); }); });
  connect(m_exit, &QPushButton::clicked, this, [this] {
    Run([this] { m_watchdog.Exit(); });
    close();
  });
  Refresh();
}

Form1Window::~Form1Window() {
  // The timers outlive no handler: they must not call into a destroyed window.
  m_timer->onTick = nullptr;
  m_endingTimer->onTick = nullptr;
}

void Form1Window::Build() {
  m_watchedPath = Edit("watchedPath", this);
  m_restartMinutes = Edit("restartMinutes", this);
  m_programPath = Edit("programPath", this);
  m_lastUpdate = Value("lastUpdate", this);
  m_lastCheck = Value("lastCheck", this);
  m_lastStart = Value("lastStart", this);
  m_restartCount = Value("restartCount", this);
  m_status = new QLabel(this);
  m_status->setObjectName("status");
  m_status->setWordWrap(true);
  m_manualCheck = Button("manualCheck", kManualCheckCaption, this);
  m_startStop = Button("startStop", kStartCaption, this);
  m_exit = Button("exit", kExitCaption, this);

  auto* grid = new QGridLayout;
  int row = 0;
  grid->addWidget(Caption(kWatchedPathCaption, this), row, 0);
  grid->addWidget(m_watchedPath, row++, 1, 1, 2);
  grid->addWidget(Caption(kRestartMinutesCaption, this), row, 0);
  auto* minutes = new QHBoxLayout;
  m_restartMinutes->setMaximumWidth(80);
  minutes->addWidget(m_restartMinutes);
  minutes->addWidget(Caption(kMinutesUnitCaption, this));
  minutes->addStretch();
  grid->addLayout(minutes, row++, 1, 1, 2);
  grid->addWidget(Caption(kLastUpdateCaption, this), row, 0);
  grid->addWidget(m_lastUpdate, row++, 1);
  grid->addWidget(Caption(kLastCheckCaption, this), row, 0);
  grid->addWidget(m_lastCheck, row++, 1);
  grid->addWidget(Caption(kLastStartCaption, this), row, 0);
  grid->addWidget(m_lastStart, row++, 1);
  grid->addWidget(Caption(kProgramPathCaption, this), row, 0);
  grid->addWidget(m_programPath, row++, 1, 1, 2);
  grid->addWidget(Caption(kRestartCountCaption, this), row, 0);
  grid->addWidget(m_restartCount, row++, 1);
  grid->setColumnStretch(2, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(m_manualCheck);
  buttons->addWidget(m_startStop);
  buttons->addWidget(m_exit);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  layout->addWidget(m_status);
  resize(480, sizeHint().height());
}

void Form1Window::Load(const std::filesystem::path& settingsFile, const std::string& currentDir) {
  Run([&] { m_watchdog.Load(settingsFile, currentDir); });
}

void Form1Window::StartWatching(const std::string& restartMinutes) {
  m_restartMinutes->setText(Q(restartMinutes));
  if (!m_form.timerEnabled) Run([this] { m_watchdog.ToggleWatching(); });
  Report("監視を開始しました: " + m_form.watchedPath + " (再起動時間 " + m_form.restartMinutes + " 分)");
}

void Form1Window::Report(const std::string& text) const {
  // The window may be nowhere to be seen (offscreen, a service): what
  // happened goes to standard error as well, for the service's log.
  std::fprintf(stderr, "Tessik: %s %s\n", varnel::text::FormatSlashed(m_clock.Now()).c_str(), text.c_str());
}

void Form1Window::ReadEdits() {
  m_form.watchedPath = m_watchedPath->text().toStdString();
  m_form.restartMinutes = m_restartMinutes->text().toStdString();
  m_form.programPath = m_programPath->text().toStdString();
}

void Form1Window::Refresh() {
  // Only texts that changed are set, so that an edit in progress keeps its
  // cursor when a tick refreshes the window.
  const auto set = [](auto* widget, const std::string& text) {
    const QString q = Q(text);
    if (widget->text() != q) widget->setText(q);
  };
  set(m_watchedPath, m_form.watchedPath);
  set(m_restartMinutes, m_form.restartMinutes);
  set(m_programPath, m_form.programPath);
  set(m_lastUpdate, m_form.lastUpdateLabel);
  set(m_lastCheck, m_form.lastCheckLabel);
  set(m_lastStart, m_form.lastStartLabel);
  // (The first refresh fills the empty label: that is no start.)
  if (!m_restartCount->text().isEmpty() && m_restartCount->text() != Q(m_form.restartCountLabel))
    Report("起動しました: " + m_form.programPath + " (再起動回数 " + m_form.restartCountLabel + ")");
  set(m_restartCount, m_form.restartCountLabel);
  if (m_status->text() != Q(m_form.statusLabel) && !m_form.statusLabel.empty())
    Report("status: " + m_form.statusLabel);
  set(m_status, m_form.statusLabel);
  set(m_startStop, m_form.startButtonCaption);
  if (m_timer->Enabled() != m_form.timerEnabled) m_timer->SetEnabled(m_form.timerEnabled);
  if (m_endingTimer->Enabled() != m_form.endingTimerEnabled) m_endingTimer->SetEnabled(m_form.endingTimerEnabled);
}

}  // namespace tessik
