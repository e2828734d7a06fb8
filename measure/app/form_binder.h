// Mirrors the core's form model into Qt widgets and forwards user input.
//
// The core decides; widgets only show.  After every event the shell calls
// Refresh(), which copies the model into each widget whose shown state
// differs (signals blocked, so a refresh never looks like user input).  Each
// binding remembers what its widget shows, so the comparison needs no widget.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <functional>
#include <vector>

#include "form/form.h"

namespace varnel::app {

class FormBinder {
 public:
  using Handler = std::function<void()>;

  // Every handler runs through `dispatch`, which runs it and refreshes.
  explicit FormBinder(std::function<void(const Handler&)> dispatch) : dispatch_(std::move(dispatch)) {}

  QLineEdit* Edit(TextBox& model, Handler onChange = {});
  QLabel* Text(Label& model, QWidget* parent = nullptr);
  QComboBox* Combo(ComboBox& model, bool editable, Handler onChange = {});
  QRadioButton* Option(OptionButton& model, Handler onClick);
  QCheckBox* Check(CheckBox& model, Handler onClick = {});
  QPushButton* Push(Button& model, Handler onClick);
  QGroupBox* Group(Frame& model);
  // A plain caption that never changes.
  static QLabel* Caption(const char* utf8);

  void Refresh();

 private:
  std::function<void(const Handler&)> dispatch_;
  std::vector<std::function<void()>> refreshers_;
};

}  // namespace varnel::app
