// Message boxes of the measurement program over Qt (its clock is
// platform::SystemClock).
#pragma once

#include <QGuiApplication>
#include <QMessageBox>
#include <QWidget>

#include <cstdio>

#include "ports/ports.h"

namespace varnel::app {

class QtMessageBoxes : public MessageBoxes {
 public:
  void SetParent(QWidget* parent) { m_parent = parent; }
  void Show(const std::string& text, const std::string& title, MessageIcon icon) override {
    // Without a screen nobody can press OK: a modal box would stop the
    // measurement for good, so the text goes to the log instead.
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
      std::fprintf(stderr, "Varnel: %s: %s\n", title.c_str(), text.c_str());
      return;
    }
    QMessageBox box(m_parent);
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
  QWidget* m_parent = nullptr;
};

}  // namespace varnel::app
