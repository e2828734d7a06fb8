#include "command_runner.h"

#include <QProcessEnvironment>

namespace varnel::fleet::web {

ProcessCommandRunner::ProcessCommandRunner(const QString& command, std::chrono::milliseconds timeout)
    : timeout_(timeout) {
  QStringList parts = QProcess::splitCommand(command);
  if (!parts.isEmpty()) {
    program_ = parts.takeFirst();
    leading_ = parts;
  }
  timer_.setSingleShot(true);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    if (process_) process_->kill();  // SIGKILL to this child's own pid
  });
}

ProcessCommandRunner::~ProcessCommandRunner() {
  if (process_ && process_->state() != QProcess::NotRunning) {
    // varnel-web is ending: a command on its way (a mail being sent) gets
    // a little time to finish before it is killed.
    process_->disconnect();
    if (!process_->waitForFinished(10000)) {
      process_->kill();
      process_->waitForFinished(5000);
    }
  }
}

void ProcessCommandRunner::Run(const Announcement& a, std::function<void(bool ok, const std::string& detail)> done) {
  done_ = std::move(done);
  process_ = std::make_unique<QProcess>();
  process_->setProcessChannelMode(QProcess::ForwardedChannels);
  process_->setStandardInputFile(QProcess::nullDevice());
  const QString value = QString::number(a.value, 'g', 7);
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  const QList<std::pair<QString, QString>> fields{
      {"EVENT", QString::fromStdString(a.event)}, {"SITE", QString::fromStdString(a.site)},
      {"CHANNEL", QString::number(a.channel)},    {"STAGE", QString::fromStdString(a.stage)},
      {"VALUE", value},                           {"UNIT", QString::fromStdString(a.unit)},
      {"TIME", QString::fromStdString(a.localTime)}, {"RULE", QString::fromStdString(a.rule)},
      {"QUANTITY", QString::fromStdString(a.quantity)}};
  QStringList args = leading_;
  for (const auto& [key, v] : fields) {
    env.insert("VARNEL_ALARM_" + key, v);
    args << v;
  }
  process_->setProcessEnvironment(env);
  QObject::connect(process_.get(), &QProcess::errorOccurred, [this](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) Finish(false, "cannot start " + program_.toStdString() + ": " +
                                                     process_->errorString().toStdString());
  });
  QObject::connect(process_.get(), &QProcess::finished, [this](int code, QProcess::ExitStatus status) {
    if (status == QProcess::CrashExit)
      Finish(false, timer_.isActive() ? "it ended on a signal" : "killed after the time-out");
    else
      Finish(code == 0, "exit status " + std::to_string(code));
  });
  timer_.start(timeout_);
  process_->start(program_, args);
}

void ProcessCommandRunner::Finish(bool ok, const std::string& detail) {
  timer_.stop();
  auto done = std::move(done_);
  done_ = nullptr;
  // The process object goes after its signal has returned.
  if (process_) process_.release()->deleteLater();
  if (done) done(ok, detail);
}

}  // namespace varnel::fleet::web
