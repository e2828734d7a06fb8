// Mirrors the core's form model into Qt widgets and forwards user input.
//
// The core decides; widgets only show.  After every event the shell calls
// Refresh(), which copies the model into each widget whose shown state
// differs (signals blocked, so a refresh never looks like user input).  Each
// binding remembers what its widget shows, so the comparison needs no widget.
// The bindings of one kind of control are records side by side, walked in
// one sweep: a refresh mostly finds nothing changed, and then costs what
// reading the records and their models costs.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "form/form.h"

namespace varnel::app {

class ValueTable;

// Gives `widget` a background of its palette's colour (autoFillBackground);
// a label made by FormBinder::Text then paints it with its text, in one go.
void FillOwnBackground(QWidget* widget, bool fill);
// The lamp colour a label made by FormBinder::Text shows (white text on it),
// if any; none for any other label or none at all.
std::optional<QColor> LampColour(const QLabel* label);

class FormBinder {
 public:
  using Handler = std::function<void()>;

  // Every handler runs through `dispatch`, which runs it and refreshes.
  explicit FormBinder(std::function<void(const Handler&)> dispatch) : m_dispatch(std::move(dispatch)) {}

  QLineEdit* Edit(TextBox& model, Handler onChange = {});
  // A box whose text the core must accept first.  Typing changes only the
  // widget; when the operator finishes (Enter, or the focus leaves the box,
  // or a list item is chosen) `onCommit` gets the entered text and the core
  // decides whether the model takes it.  The next refresh shows the model
  // again, so a refused text gives way to the value that stays.  While an
  // edit is in progress refreshes leave the widget's text alone.
  using CommitHandler = std::function<void(const std::string& entered)>;
  QLineEdit* CommitEdit(TextBox& model, CommitHandler onCommit);
  QComboBox* CommitCombo(ComboBox& model, CommitHandler onCommit);
  QLabel* Text(Label& model, QWidget* parent = nullptr);
  // A label shown as cell `cell` of a table of values.
  void Cell(Label& model, ValueTable& table, int cell);
  QComboBox* Combo(ComboBox& model, bool editable, Handler onChange = {});
  QRadioButton* Option(OptionButton& model, Handler onClick);
  QCheckBox* Check(CheckBox& model, Handler onClick = {});
  QPushButton* Push(Button& model, Handler onClick);
  QGroupBox* Group(Frame& model);
  // A plain caption that never changes.
  static QLabel* Caption(const char* utf8);

  void Refresh();

 private:
  // `onCommit` run through m_dispatch (and so followed by a refresh).
  CommitHandler Dispatched(CommitHandler onCommit);

  // A control, its model and what it shows.  User input changes the model
  // and `shown` alike; input handlers find their record by its index (the
  // records move as more are added).
  template <class Widget, class Model>
  struct Bound {
    Widget* widget;
    Model* model;
    Model shown;
  };
  struct EditBinding : Bound<QLineEdit, TextBox> {
    bool commit;  // an edit in progress keeps its text
  };
  struct ComboBinding : Bound<QComboBox, ComboBox> {
    bool editable;
    bool commit;  // an edit in progress keeps its text
  };
  // A label, its model and what it shows.
  struct LabelBinding {
    const Label* model;
    QLabel* widget;     // a label of its own, or
    ValueTable* table;  // a cell of a table
    int cell;
    Label shown;
  };
  void RefreshLabels();
  void RefreshCell(LabelBinding& binding);
  static void RefreshEdit(EditBinding& b);
  static void RefreshCombo(ComboBinding& b);

  std::function<void(const Handler&)> m_dispatch;
  std::vector<LabelBinding> m_labels;
  bool m_labelsSorted = true;  // m_labels in the order of their models' addresses
  std::vector<ValueTable*> m_tables;  // every table a label is a cell of
  std::vector<EditBinding> m_edits;
  std::vector<ComboBinding> m_combos;
  std::vector<Bound<QRadioButton, OptionButton>> m_options;
  std::vector<Bound<QCheckBox, CheckBox>> m_checks;
  std::vector<Bound<QPushButton, Button>> m_pushes;
  std::vector<Bound<QGroupBox, Frame>> m_groups;
};

}  // namespace varnel::app
