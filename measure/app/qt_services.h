// Platform services of the measurement program over Qt and the C library:
// the local clock and message boxes.
#pragma once

#include <QGuiApplication>
#include <QMessageBox>
#include <QWidget>

#include <cstdio>
#include <ctime>

#include "form/ports.h"

namespace varnel::app {

class SystemClock : public Clock {
 public:
  text::LocalDateTime Now() const override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
            local.tm_min,         local.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
  }
};

class QtMessageBoxes : public MessageBoxes {
 public:
  void SetParent(QWidget* parent) { parent_ = parent; }
  void Show(const std::string& text, const std::string& title, MessageIcon icon) override {
    // Without a screen nobody can press OK: a modal box would stop the
    // measurement for good, so the text goes to the log instead.
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
      std::fprintf(stderr, "Varnel: %s: %s\n", title.c_str(), text.c_str());
      return;
    }
    QMessageBox box(parent_);
    box.setText(QString::fromStdString(text));
    box.setWindowTitle(QString::fromStdString(title));
    box.setIcon(icon == MessageIcon::Error         ? QMessageBox::Critical
                : icon == MessageIcon::Warning     ? QMessageBox::Warning
                : icon == MessageIcon::Information ? QMessageBox::Information
                : icon == MessageIcon::Question    ? QMessageBox::Question
                                                   : QMessageBox::NoIcon);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
  }

 private:
  QWidget* parent_ = nullptr;
};

}  // namespace varnel::app
