#include "form_binder.h"

#include <QPalette>
#include <QSignalBlocker>

#include <memory>

namespace varnel::app {

namespace {

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

// A lamp colour as the label's background, with white text; none gives the
// label back the window's own colours.
void ApplyBackColor(QLabel* label, const std::optional<Rgb>& color) {
  if (!color) {
    label->setPalette(QPalette());
    return;
  }
  QPalette palette = label->palette();
  palette.setColor(QPalette::Window, QColor(color->r, color->g, color->b));
  palette.setColor(QPalette::WindowText, Qt::white);
  label->setPalette(palette);
}

}  // namespace

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
    if (onChange) dispatch_(onChange);
  });
  refreshers_.push_back([w, &model, shown] {
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

QLabel* FormBinder::Text(Label& model, QWidget* parent) {
  auto* w = new QLabel(parent);
  w->setMinimumWidth(40);
  // Painted whole by itself (background included), so a changed value does
  // not make the box behind it paint again.
  w->setAutoFillBackground(true);
  refreshers_.push_back([w, &model, shown = Label{}]() mutable {
    if (shown.text != model.text) {
      w->setText(Q(model.text));
      shown.text = model.text;
    }
    if (shown.backColor != model.backColor) {
      ApplyBackColor(w, model.backColor);
      shown.backColor = model.backColor;
    }
    if (shown.enabled != model.enabled) {
      w->setEnabled(model.enabled);
      shown.enabled = model.enabled;
    }
  });
  return w;
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
      if (onChange) dispatch_(onChange);
    });
  } else {
    QObject::connect(w, &QComboBox::activated, w, [this, w, &model, shown, onChange](int index) {
      model.listIndex = index;
      model.text = w->itemText(index).toStdString();
      shown->listIndex = model.listIndex;
      shown->text = model.text;
      if (onChange) dispatch_(onChange);
    });
  }
  refreshers_.push_back([w, &model, shown, editable] {
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
    dispatch_(onClick);
  });
  refreshers_.push_back([w, &model, shown] {
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
    if (onClick) dispatch_(onClick);
  });
  refreshers_.push_back([w, &model, shown] {
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
  QObject::connect(w, &QPushButton::clicked, w, [this, onClick] { dispatch_(onClick); });
  refreshers_.push_back([w, &model, shown = Button{model.caption, true}]() mutable {
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
  refreshers_.push_back([w, &model, shown = true]() mutable {
    if (shown != model.enabled) {
      w->setEnabled(model.enabled);
      shown = model.enabled;
    }
  });
  return w;
}

void FormBinder::Refresh() {
  for (const auto& r : refreshers_) r();
}

}  // namespace varnel::app
