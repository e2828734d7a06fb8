// The main window `PolMode` of the measurement program: widgets bound to the
// core's form model, the graph picture and the relay control.  Every event
// (timer tick, click, serial notification, relay event) is forwarded to the
// core and followed by a refresh of the widgets.
#pragma once

#include <QBasicTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "form_binder.h"
#include "graph_view.h"
#include "value_table.h"

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
  // Finished edits of the boxes the settings file keeps (the shunt, the
  // data-file path and the two save intervals), with the entered text.
  std::function<void(const std::string&)> text1Committed, text4Committed, combo1Committed, combo2Committed;
};

class PolModeWindow : public QWidget {
 public:
  PolModeWindow(PolModeForm& form, WindowActions actions, QWidget* relayControl);
  GraphView& Graph() { return *m_graph; }
  const ValueTable& Values() const { return *m_values; }
  // Runs a handler of the core; the widgets follow the model once the
  // events waiting now are handled (RequestRefresh).
  void Dispatch(const std::function<void()>& handler);
  // Mirrors the model into the widgets now, or once the events waiting now
  // are handled.
  void Refresh();
  void RequestRefresh();
  // The status label shows its new text (the core asks for it inside the
  // handling of a block).
  void RepaintStatus();
  void RepaintWeatherIndicators();

 protected:
  void focusOutEvent(QFocusEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  QWidget* BuildAcquisitionBox();
  QWidget* BuildStorageBox();
  QWidget* BuildStatusBox();
  QWidget* BuildWeatherBox();
  QWidget* BuildResultsBox();
  void TakeBackgroundOfBox(QWidget* label);
  static std::optional<QColor> FlatBackgroundBehind(QWidget* widget);

  PolModeForm& m_form;
  WindowActions m_actions;
  FormBinder m_binder;
  GraphView* m_graph = nullptr;
  QLabel* m_status = nullptr;
  ValueTable* m_values = nullptr;  // the results table's values
  QLabel* m_sendLamp = nullptr;
  QLabel* m_receiveLamp = nullptr;
  std::vector<QLabel*> m_cycleLabels;  // status and count: new text every cycle
  std::vector<QWidget*> m_opaqueWidgets;  // weather values and lamps: paint the box's colour themselves
  bool m_sizesFrozen = false;
  QBasicTimer m_refreshTimer;  // active while a refresh is pending
};

}  // namespace varnel::app
