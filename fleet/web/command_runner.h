// The alarm command as a child process (QProcess, no shell in between: a
// site name is one argument, whatever characters it holds).
//
//   COMMAND... EVENT SITE CHANNEL STAGE VALUE UNIT TIME RULE QUANTITY
//
// for example `/usr/local/bin/alarm-mail began kansai-north-07 3 danger
// 12.5 mA "2005-06-01 15:30:00+09:00" peak peak`; the same values are in the
// environment as VARNEL_ALARM_EVENT, _SITE, _CHANNEL, _STAGE, _VALUE, _UNIT,
// _TIME, _RULE and _QUANTITY.  Its output goes to varnel-web's own.  A
// command still running after the time-out is killed (by its process id).
#pragma once

#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <memory>

#include "announcer.h"

namespace varnel::fleet::web {

class ProcessCommandRunner final : public CommandRunner {
 public:
  // `command`: the program and its leading arguments, split as a shell
  // would split them (QProcess::splitCommand).
  ProcessCommandRunner(const QString& command, std::chrono::milliseconds timeout);
  ~ProcessCommandRunner() override;
  void Run(const Announcement& a, std::function<void(bool ok, const std::string& detail)> done) override;
  // Whether the command names a program at all.
  bool Valid() const { return !program_.isEmpty(); }

 private:
  void Finish(bool ok, const std::string& detail);

  QString program_;
  QStringList leading_;
  std::chrono::milliseconds timeout_;
  std::unique_ptr<QProcess> process_;
  QTimer timer_;
  std::function<void(bool, const std::string&)> done_;
};

}  // namespace varnel::fleet::web
