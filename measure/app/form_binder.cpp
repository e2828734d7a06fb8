#include "form_binder.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QSignalBlocker>
#include <QStyle>

#include <algorithm>
#include <functional>
#include <memory>

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
  auto shown = std::make_shared<TextBox>();
  QObject::connect(w, &QLineEdit::textEdited, w, [this, &model, shown, onChange](const QString& t) {
    model.text = t.toStdString();
    shown->text = model.text;
    if (onChange) m_dispatch(onChange);
  });
  m_refreshers.push_back([w, &model, shown] {
    if (shown->text != model.text) {
      QSignalBlocker block(w);
      w->setText(Q(model.text));
      shown->text = model.text;
    }
    if (shown->enabled != model.enabled) {
      w->setEnabled(model.enabled);
      shown->enabled = model.enabled;
    }
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
  auto shown = std::make_shared<TextBox>();
  ConnectCommit(w, [shown, commit = Dispatched(std::move(onCommit))](const std::string& entered) {
    shown->text = entered;
    commit(entered);
  });
  m_refreshers.push_back([w, &model, shown] {
    if (!w->isModified() && shown->text != model.text) {  // an edit in progress keeps its text
      QSignalBlocker block(w);
      w->setText(Q(model.text));
      shown->text = model.text;
    }
    if (shown->enabled != model.enabled) {
      w->setEnabled(model.enabled);
      shown->enabled = model.enabled;
    }
  });
  return w;
}

QComboBox* FormBinder::CommitCombo(ComboBox& model, CommitHandler onCommit) {
  auto* w = new QComboBox;
  w->setEditable(true);
  // The list offers the usual values; a typed value never joins it.
  w->setInsertPolicy(QComboBox::NoInsert);
  QLineEdit* edit = w->lineEdit();
  auto shown = std::make_shared<ComboBox>();
  const CommitHandler commit = [shown, dispatched = Dispatched(std::move(onCommit))](const std::string& entered) {
    shown->text = entered;
    dispatched(entered);
  };
  ConnectCommit(edit, commit);
  QObject::connect(w, &QComboBox::activated, w, [w, commit](int index) {
    w->lineEdit()->setModified(false);
    commit(w->itemText(index).toStdString());
  });
  m_refreshers.push_back([w, edit, &model, shown] {
    // Most refreshes find nothing changed: they then touch no widget.
    if (shown->items == model.items && shown->enabled == model.enabled && shown->text == model.text) return;
    QSignalBlocker block(w);
    bool reselect = false;
    if (shown->items != model.items) {
      QStringList items;
      for (const auto& i : model.items) items << Q(i);
      w->clear();
      w->addItems(items);
      shown->items = model.items;
      reselect = true;  // new items show the first of them
    }
    if (!edit->isModified() && (reselect || shown->text != model.text)) {
      if (w->currentText() != Q(model.text)) w->setEditText(Q(model.text));
      shown->text = model.text;
    }
    if (shown->enabled != model.enabled) {
      w->setEnabled(model.enabled);
      shown->enabled = model.enabled;
    }
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
  auto shown = std::make_shared<ComboBox>();
  if (editable) {
    QObject::connect(w, &QComboBox::currentTextChanged, w, [this, w, &model, shown, onChange](const QString& t) {
      model.text = t.toStdString();
      model.listIndex = w->currentIndex();
      shown->text = model.text;
      shown->listIndex = model.listIndex;
      if (onChange) m_dispatch(onChange);
    });
  } else {
    QObject::connect(w, &QComboBox::activated, w, [this, w, &model, shown, onChange](int index) {
      model.listIndex = index;
      model.text = w->itemText(index).toStdString();
      shown->listIndex = model.listIndex;
      shown->text = model.text;
      if (onChange) m_dispatch(onChange);
    });
  }
  m_refreshers.push_back([w, &model, shown, editable] {
    // Most refreshes find nothing changed: they then touch no widget.
    if (shown->items == model.items && shown->enabled == model.enabled &&
        (editable ? shown->text == model.text : shown->listIndex == model.listIndex))
      return;
    QSignalBlocker block(w);
    bool reselect = false;
    if (shown->items != model.items) {
      QStringList items;
      for (const auto& i : model.items) items << Q(i);
      w->clear();
      w->addItems(items);
      shown->items = model.items;
      reselect = true;  // new items select the first of them
    }
    if (editable) {
      if (reselect || shown->text != model.text) {
        if (w->currentText() != Q(model.text)) w->setEditText(Q(model.text));
        shown->text = model.text;
      }
    } else if (reselect || shown->listIndex != model.listIndex) {
      if (w->currentIndex() != model.listIndex) w->setCurrentIndex(model.listIndex);
      shown->listIndex = model.listIndex;
    }
    if (shown->enabled != model.enabled) {
      w->setEnabled(model.enabled);
      shown->enabled = model.enabled;
    }
  });
  return w;
}

QRadioButton* FormBinder::Option(OptionButton& model, Handler onClick) {
  auto* w = new QRadioButton(Q(model.caption));
  w->setAutoExclusive(false);  // the model keeps the options of a group exclusive
  auto shown = std::make_shared<OptionButton>();
  QObject::connect(w, &QRadioButton::clicked, w, [this, w, shown, onClick] {
    shown->selected = w->isChecked();  // a click toggles the button itself
    m_dispatch(onClick);
  });
  m_refreshers.push_back([w, &model, shown] {
    if (shown->selected != model.selected) {
      QSignalBlocker block(w);
      w->setChecked(model.selected);
      shown->selected = model.selected;
    }
  });
  return w;
}

QCheckBox* FormBinder::Check(CheckBox& model, Handler onClick) {
  auto* w = new QCheckBox(Q(model.caption));
  auto shown = std::make_shared<CheckBox>();
  QObject::connect(w, &QCheckBox::clicked, w, [this, &model, shown, onClick](bool checked) {
    model.checked = checked;
    shown->checked = checked;
    if (onClick) m_dispatch(onClick);
  });
  m_refreshers.push_back([w, &model, shown] {
    if (shown->checked != model.checked) {
      QSignalBlocker block(w);
      w->setChecked(model.checked);
      shown->checked = model.checked;
    }
    if (shown->enabled != model.enabled) {
      w->setEnabled(model.enabled);
      shown->enabled = model.enabled;
    }
  });
  return w;
}

QPushButton* FormBinder::Push(Button& model, Handler onClick) {
  auto* w = new QPushButton(Q(model.caption));
  QObject::connect(w, &QPushButton::clicked, w, [this, onClick] { m_dispatch(onClick); });
  m_refreshers.push_back([w, &model, shown = Button{model.caption, true}]() mutable {
    if (shown.enabled != model.enabled) {
      w->setEnabled(model.enabled);
      shown.enabled = model.enabled;
    }
    if (shown.caption != model.caption) {
      w->setText(Q(model.caption));
      shown.caption = model.caption;
    }
  });
  return w;
}

QGroupBox* FormBinder::Group(Frame& model) {
  auto* w = new QGroupBox(Q(model.caption));
  m_refreshers.push_back([w, &model, shown = true]() mutable {
    if (shown != model.enabled) {
      w->setEnabled(model.enabled);
      shown = model.enabled;
    }
  });
  return w;
}

void FormBinder::Refresh() {
  RefreshLabels();
  for (const auto& r : m_refreshers) r();
}

}  // namespace varnel::app
