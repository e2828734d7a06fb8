// The main window `PolMode` of the measurement program: widgets bound to the
// core's form model, the graph picture and the relay control.  Every event
// (timer tick, click, serial notification, relay event) is forwarded to the
// core and followed by a refresh of the widgets.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

#include "form_binder.h"
#include "graph_view.h"

class QGridLayout;

namespace varnel {
struct PolModeForm;
class PolMode;
}  // namespace varnel

namespace varnel::app {

// What the window forwards to the core, set up by the program.
struct WindowActions {
  std::function<void()> start, stop, exit, saveCsv, lostFocus, text2Changed, check1Clicked;
  std::function<void(int)> option1, option2, option3;
  std::function<void()> startInternal, startExternal, stopInternal, stopExternal;
};

class PolModeWindow : public QWidget {
 public:
  PolModeWindow(PolModeForm& form, WindowActions actions, QWidget* relayControl);
  GraphView& Graph() { return *graph_; }
  // Runs a handler of the core and mirrors the model into the widgets.
  void Dispatch(const std::function<void()>& handler);
  void Refresh();
  // Redraws one status label at once (inside a long handler).
  void RepaintStatus();
  void RepaintWeatherIndicators();

 protected:
  void focusOutEvent(QFocusEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* BuildAcquisitionBox();
  QWidget* BuildStorageBox();
  QWidget* BuildStatusBox();
  QWidget* BuildWeatherBox();
  QWidget* BuildResultsBox();
  void TakeBackgroundOfBox(QLabel* label);

  PolModeForm& form_;
  WindowActions actions_;
  FormBinder binder_;
  GraphView* graph_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* sendLamp_ = nullptr;
  QLabel* receiveLamp_ = nullptr;
  std::vector<QLabel*> cycleLabels_;  // status and values: new text every cycle
  bool sizesFrozen_ = false;
};

}  // namespace varnel::app
