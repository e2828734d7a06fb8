#include "form_binder.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QSignalBlocker>
#include <QStyle>

#include <algorithm>
#include <functional>

#include "glyph_line.h"
#include "value_table.h"

namespace varnel::app {

namespace {

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

// A label that paints plain text (numbers, mostly) through a GlyphLine: the
// count of every block, the weather readings, the lamps.  Any other text, or
// a label with a frame, a margin, another alignment or disabled, is painted
// by QLabel.
//
// A label filling its own background (FillOwnBackground) does so with the
// painter of its text: Qt would otherwise begin a painter for the background
// and another for the text, and starting a painter costs more than painting
// a few digits.
//
// A lamp colour is painted by the label itself too, behind white text,
// without touching its palette: the multiplexer's lamps change colour every
// cycle, and a new palette costs a widget far more than its paint (it is
// resolved, propagated and announced with events).
class GlyphLabel final : public QLabel {
 public:
  using QLabel::QLabel;

  void SetLamp(std::optional<QColor> lamp) {
    if (m_lamp == lamp) return;
    m_lamp = lamp;
    UpdateOpaque();
    update();
  }
  const std::optional<QColor>& Lamp() const { return m_lamp; }
  void SetFillsOwnBackground(bool fill) {
    setAutoFillBackground(fill);
    UpdateOpaque();
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    const bool opaque = testAttribute(Qt::WA_OpaquePaintEvent);
    if (!opaque && !Plain()) {
      QLabel::paintEvent(event);
      return;
    }
    QPainter painter(this);
    if (opaque) painter.fillRect(event->rect(), m_lamp ? QBrush(*m_lamp) : palette().brush(backgroundRole()));
    // The label's own palette, as QLabel's style option would carry it (the
    // label is enabled here); white on a lamp.
    painter.setPen(QPen(m_lamp ? QBrush(Qt::white) : palette().brush(foregroundRole()), 1));
    if (Plain() && m_line.Draw(painter, font(), contentsRect(), text())) return;
    if (!m_lamp) {
      painter.end();
      QLabel::paintEvent(event);
      return;
    }
    // Other text on a lamp: as QLabel draws plain text, in the lamp's colours.
    QPalette colours = palette();
    colours.setColor(QPalette::Window, *m_lamp);
    colours.setColor(QPalette::WindowText, Qt::white);
    style()->drawItemText(&painter, contentsRect(), QStyle::visualAlignment(layoutDirection(), alignment()),
                          colours, isEnabled(), text(), foregroundRole());
  }

 private:
  bool Plain() const {
    if (frameWidth() != 0 || margin() != 0 || indent() > 0 || !isEnabled() || wordWrap()) return false;
    return alignment() == (Qt::AlignLeft | Qt::AlignVCenter) && layoutDirection() == Qt::LeftToRight;
  }
  // Every pixel is painted here when a lamp or the own background is.
  void UpdateOpaque() { setAttribute(Qt::WA_OpaquePaintEvent, autoFillBackground() || m_lamp.has_value()); }

  GlyphLine m_line;
  std::optional<QColor> m_lamp;
};

}  // namespace

void FillOwnBackground(QWidget* widget, bool fill) {
  // Only a value label paints the background itself when Qt leaves it out.
  if (auto* label = dynamic_cast<GlyphLabel*>(widget)) {
    label->SetFillsOwnBackground(fill);
    return;
  }
  widget->setAutoFillBackground(fill);
}

std::optional<QColor> LampColour(const QLabel* label) {
  const auto* glyph = dynamic_cast<const GlyphLabel*>(label);
  return glyph != nullptr ? glyph->Lamp() : std::nullopt;
}

// Every binding keeps what its widget shows, as model values (a fresh widget
// shows what a default model holds).  A refresh compares the model with that
// and touches the widget only where they differ, so refreshing after every
// event costs next to nothing when little has changed.  User input updates
// the model and what is shown alike.

QLabel* FormBinder::Caption(const char* utf8) { return new QLabel(QString::fromUtf8(utf8)); }

QLineEdit* FormBinder::Edit(TextBox& model, Handler onChange) {
  auto* w = new QLineEdit;
  const std::size_t i = m_edits.size();
  m_edits.push_back({{w, &model, TextBox{}}, false});
  QObject::connect(w, &QLineEdit::textEdited, w, [this, i, onChange](const QString& t) {
    EditBinding& b = m_edits[i];
    b.model->text = t.toStdString();
    b.shown.text = b.model->text;
    if (onChange) m_dispatch(onChange);
  });
  return w;
}

namespace {

// Hands a finished edit of `edit` to the core, once per edit.
void ConnectCommit(QLineEdit* edit, const std::function<void(const std::string&)>& commit) {
  QObject::connect(edit, &QLineEdit::editingFinished, edit, [edit, commit] {
    if (!edit->isModified()) return;  // left without a change
    edit->setModified(false);
    commit(edit->text().toStdString());
  });
}

}  // namespace

FormBinder::CommitHandler FormBinder::Dispatched(CommitHandler onCommit) {
  return [this, onCommit = std::move(onCommit)](const std::string& entered) {
    m_dispatch([&] {
      if (onCommit) onCommit(entered);
    });
  };
}

// A commit leaves the widget showing the entered text, which is what the
// binding then remembers: the refresh after it puts the model's text back
// when the core refused the entry.

QLineEdit* FormBinder::CommitEdit(TextBox& model, CommitHandler onCommit) {
  auto* w = new QLineEdit;
  const std::size_t i = m_edits.size();
  m_edits.push_back({{w, &model, TextBox{}}, true});
  ConnectCommit(w, [this, i, commit = Dispatched(std::move(onCommit))](const std::string& entered) {
    m_edits[i].shown.text = entered;
    commit(entered);
  });
  return w;
}

QComboBox* FormBinder::CommitCombo(ComboBox& model, CommitHandler onCommit) {
  auto* w = new QComboBox;
  w->setEditable(true);
  // The list offers the usual values; a typed value never joins it.
  w->setInsertPolicy(QComboBox::NoInsert);
  const std::size_t i = m_combos.size();
  m_combos.push_back({{w, &model, ComboBox{}}, true, true});
  const CommitHandler commit = [this, i, dispatched = Dispatched(std::move(onCommit))](const std::string& entered) {
    m_combos[i].shown.text = entered;
    dispatched(entered);
  };
  ConnectCommit(w->lineEdit(), commit);
  QObject::connect(w, &QComboBox::activated, w, [w, commit](int index) {
    w->lineEdit()->setModified(false);
    commit(w->itemText(index).toStdString());
  });
  return w;
}

QLabel* FormBinder::Text(Label& model, QWidget* parent) {
  auto* w = new GlyphLabel(parent);
  w->setMinimumWidth(40);
  m_labels.push_back({&model, w, nullptr, 0, Label{}});
  m_labelsSorted = false;
  return w;
}

void FormBinder::Cell(Label& model, ValueTable& table, int cell) {
  m_labels.push_back({&model, nullptr, &table, cell, Label{}});
  m_labelsSorted = false;
  if (std::find(m_tables.begin(), m_tables.end(), &table) == m_tables.end()) m_tables.push_back(&table);
}

// Labels are most of the bindings (every value of the results table and of
// the weather box) and most refreshes change only a few of them.  Their
// records lie side by side, in the order of their models in the form, so a
// refresh walks both in one sweep through memory instead of chasing a
// separate closure and shown state for each label.
void FormBinder::RefreshLabels() {
  if (!m_labelsSorted) {
    std::sort(m_labels.begin(), m_labels.end(),
              [](const LabelBinding& a, const LabelBinding& b) { return std::less<>()(a.model, b.model); });
    m_labelsSorted = true;
  }
  // A block changes a few rows of a table: they are repainted in one piece.
  for (ValueTable* table : m_tables) table->HoldChanges();
  for (LabelBinding& b : m_labels) {
    const Label& model = *b.model;
    if (b.table != nullptr) {
      RefreshCell(b);
      continue;
    }
    if (b.shown.text != model.text) {
      b.widget->setText(Q(model.text));
      b.shown.text = model.text;
    }
    if (b.shown.backColor != model.backColor) {
      const auto& c = model.backColor;
      // Every label of Text is a GlyphLabel.
      static_cast<GlyphLabel*>(b.widget)->SetLamp(c ? std::optional<QColor>(QColor(c->r, c->g, c->b)) : std::nullopt);
      b.shown.backColor = model.backColor;
    }
    if (b.shown.enabled != model.enabled) {
      b.widget->setEnabled(model.enabled);
      b.shown.enabled = model.enabled;
    }
  }
  for (ValueTable* table : m_tables) table->ShowChanges();
}

void FormBinder::RefreshCell(LabelBinding& b) {
  const Label& model = *b.model;
  if (b.shown.text != model.text) {
    b.table->SetText(b.cell, Q(model.text));
    b.shown.text = model.text;
  }
  if (b.shown.backColor != model.backColor) {
    const auto& c = model.backColor;
    b.table->SetBackColor(b.cell, c ? std::optional<QColor>(QColor(c->r, c->g, c->b)) : std::nullopt);
    b.shown.backColor = model.backColor;
  }
  if (b.shown.enabled != model.enabled) {
    b.table->SetEnabled(b.cell, model.enabled);
    b.shown.enabled = model.enabled;
  }
}

QComboBox* FormBinder::Combo(ComboBox& model, bool editable, Handler onChange) {
  auto* w = new QComboBox;
  w->setEditable(editable);
  const std::size_t i = m_combos.size();
  m_combos.push_back({{w, &model, ComboBox{}}, editable, false});
  // Both the model and what the widget shows take the widget's choice.
  const auto take = [this, i, onChange](const QString& text, int index) {
    ComboBinding& b = m_combos[i];
    b.model->text = text.toStdString();
    b.model->listIndex = index;
    b.shown.text = b.model->text;
    b.shown.listIndex = index;
    if (onChange) m_dispatch(onChange);
  };
  if (editable) {
    QObject::connect(w, &QComboBox::currentTextChanged, w, [w, take](const QString& t) { take(t, w->currentIndex()); });
  } else {
    QObject::connect(w, &QComboBox::activated, w, [w, take](int index) { take(w->itemText(index), index); });
  }
  return w;
}

QRadioButton* FormBinder::Option(OptionButton& model, Handler onClick) {
  auto* w = new QRadioButton(Q(model.caption));
  w->setAutoExclusive(false);  // the model keeps the options of a group exclusive
  const std::size_t i = m_options.size();
  m_options.push_back({w, &model, OptionButton{}});
  QObject::connect(w, &QRadioButton::clicked, w, [this, i, onClick] {
    auto& b = m_options[i];
    b.shown.selected = b.widget->isChecked();  // a click toggles the button itself
    m_dispatch(onClick);
  });
  return w;
}

QCheckBox* FormBinder::Check(CheckBox& model, Handler onClick) {
  auto* w = new QCheckBox(Q(model.caption));
  const std::size_t i = m_checks.size();
  m_checks.push_back({w, &model, CheckBox{}});
  QObject::connect(w, &QCheckBox::clicked, w, [this, i, onClick](bool checked) {
    auto& b = m_checks[i];
    b.model->checked = checked;
    b.shown.checked = checked;
    if (onClick) m_dispatch(onClick);
  });
  return w;
}

QPushButton* FormBinder::Push(Button& model, Handler onClick) {
  auto* w = new QPushButton(Q(model.caption));
  QObject::connect(w, &QPushButton::clicked, w, [this, onClick] { m_dispatch(onClick); });
  m_pushes.push_back({w, &model, Button{model.caption, true}});
  return w;
}

QGroupBox* FormBinder::Group(Frame& model) {
  auto* w = new QGroupBox(Q(model.caption));
  m_groups.push_back({w, &model, Frame{model.caption, true}});
  return w;
}

namespace {

// Shows `enabled` on `w` where it differs from what `shown` holds.
void ShowEnabled(QWidget* w, bool& shown, bool enabled) {
  if (shown == enabled) return;
  w->setEnabled(enabled);
  shown = enabled;
}

}  // namespace

void FormBinder::RefreshEdit(EditBinding& b) {
  const TextBox& model = *b.model;
  // A box whose text the core must accept keeps an edit in progress.
  if (b.shown.text != model.text && !(b.commit && b.widget->isModified())) {
    QSignalBlocker block(b.widget);
    b.widget->setText(Q(model.text));
    b.shown.text = model.text;
  }
  ShowEnabled(b.widget, b.shown.enabled, model.enabled);
}

void FormBinder::RefreshCombo(ComboBinding& b) {
  const ComboBox& model = *b.model;
  ComboBox& shown = b.shown;
  const bool choiceShown = b.editable ? shown.text == model.text : shown.listIndex == model.listIndex;
  // Most refreshes find nothing changed: they then touch no widget.
  if (choiceShown && shown.enabled == model.enabled && shown.items == model.items) return;
  QComboBox* w = b.widget;
  QSignalBlocker block(w);
  bool reselect = false;
  if (shown.items != model.items) {
    QStringList items;
    for (const auto& item : model.items) items << Q(item);
    w->clear();
    w->addItems(items);
    shown.items = model.items;
    reselect = true;  // new items select (or show) the first of them
  }
  if (b.editable) {
    const bool editing = b.commit && w->lineEdit()->isModified();  // keeps its text
    if (!editing && (reselect || shown.text != model.text)) {
      if (w->currentText() != Q(model.text)) w->setEditText(Q(model.text));
      shown.text = model.text;
    }
  } else if (reselect || shown.listIndex != model.listIndex) {
    if (w->currentIndex() != model.listIndex) w->setCurrentIndex(model.listIndex);
    shown.listIndex = model.listIndex;
  }
  ShowEnabled(w, shown.enabled, model.enabled);
}

void FormBinder::Refresh() {
  RefreshLabels();
  for (EditBinding& b : m_edits) RefreshEdit(b);
  for (ComboBinding& b : m_combos) RefreshCombo(b);
  for (auto& b : m_options) {
    if (b.shown.selected == b.model->selected) continue;
    QSignalBlocker block(b.widget);
    b.widget->setChecked(b.model->selected);
    b.shown.selected = b.model->selected;
  }
  for (auto& b : m_checks) {
    if (b.shown.checked != b.model->checked) {
      QSignalBlocker block(b.widget);
      b.widget->setChecked(b.model->checked);
      b.shown.checked = b.model->checked;
    }
    ShowEnabled(b.widget, b.shown.enabled, b.model->enabled);
  }
  for (auto& b : m_pushes) {
    ShowEnabled(b.widget, b.shown.enabled, b.model->enabled);
    if (b.shown.caption == b.model->caption) continue;
    b.widget->setText(Q(b.model->caption));
    b.shown.caption = b.model->caption;
  }
  for (auto& b : m_groups) ShowEnabled(b.widget, b.shown.enabled, b.model->enabled);
}

}  // namespace varnel::app
