#include "form_binder.h"

#include <QSignalBlocker>

namespace varnel::app {

namespace {

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

void ApplyBackColor(QLabel* label, const std::optional<Rgb>& color) {
  const QString sheet = color ? QStringLiteral("background-color: rgb(%1,%2,%3); color: white;")
                                    .arg(color->r)
                                    .arg(color->g)
                                    .arg(color->b)
                              : QString();
  if (label->styleSheet() != sheet) label->setStyleSheet(sheet);
}

}  // namespace

QLabel* FormBinder::Caption(const char* utf8) { return new QLabel(QString::fromUtf8(utf8)); }

QLineEdit* FormBinder::Edit(TextBox& model, Handler onChange) {
  auto* w = new QLineEdit;
  QObject::connect(w, &QLineEdit::textEdited, w, [this, &model, onChange](const QString& t) {
    model.text = t.toStdString();
    if (onChange) dispatch_(onChange);
  });
  refreshers_.push_back([w, &model] {
    const QString t = Q(model.text);
    if (w->text() != t) {
      QSignalBlocker block(w);
      w->setText(t);
    }
    w->setEnabled(model.enabled);
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
    dispatch_([&] {
      if (onCommit) onCommit(entered);
    });
  };
}

QLineEdit* FormBinder::CommitEdit(TextBox& model, CommitHandler onCommit) {
  auto* w = new QLineEdit;
  ConnectCommit(w, Dispatched(std::move(onCommit)));
  refreshers_.push_back([w, &model] {
    const QString t = Q(model.text);
    if (!w->isModified() && w->text() != t) {
      QSignalBlocker block(w);
      w->setText(t);
    }
    w->setEnabled(model.enabled);
  });
  return w;
}

QComboBox* FormBinder::CommitCombo(ComboBox& model, CommitHandler onCommit) {
  auto* w = new QComboBox;
  w->setEditable(true);
  // The list offers the usual values; a typed value never joins it.
  w->setInsertPolicy(QComboBox::NoInsert);
  QLineEdit* edit = w->lineEdit();
  const CommitHandler commit = Dispatched(std::move(onCommit));
  ConnectCommit(edit, commit);
  QObject::connect(w, &QComboBox::activated, w, [w, commit](int index) {
    w->lineEdit()->setModified(false);
    commit(w->itemText(index).toStdString());
  });
  refreshers_.push_back([w, edit, &model] {
    QSignalBlocker block(w);
    QStringList items;
    for (const auto& i : model.items) items << Q(i);
    QStringList shown;
    for (int i = 0; i < w->count(); ++i) shown << w->itemText(i);
    if (shown != items) {
      w->clear();
      w->addItems(items);
    }
    if (!edit->isModified() && w->currentText() != Q(model.text)) w->setEditText(Q(model.text));
    w->setEnabled(model.enabled);
  });
  return w;
}

QLabel* FormBinder::Text(Label& model, QWidget* parent) {
  auto* w = new QLabel(parent);
  w->setMinimumWidth(40);
  refreshers_.push_back([w, &model] {
    const QString t = Q(model.text);
    if (w->text() != t) w->setText(t);
    ApplyBackColor(w, model.backColor);
    w->setEnabled(model.enabled);
  });
  return w;
}

QComboBox* FormBinder::Combo(ComboBox& model, bool editable, Handler onChange) {
  auto* w = new QComboBox;
  w->setEditable(editable);
  if (editable) {
    QObject::connect(w, &QComboBox::currentTextChanged, w, [this, w, &model, onChange](const QString& t) {
      model.text = t.toStdString();
      model.listIndex = w->currentIndex();
      if (onChange) dispatch_(onChange);
    });
  } else {
    QObject::connect(w, &QComboBox::activated, w, [this, w, &model, onChange](int index) {
      model.listIndex = index;
      model.text = w->itemText(index).toStdString();
      if (onChange) dispatch_(onChange);
    });
  }
  refreshers_.push_back([w, &model, editable] {
    QSignalBlocker block(w);
    QStringList items;
    for (const auto& i : model.items) items << Q(i);
    QStringList shown;
    for (int i = 0; i < w->count(); ++i) shown << w->itemText(i);
    if (shown != items) {
      w->clear();
      w->addItems(items);
    }
    if (editable) {
      if (w->currentText() != Q(model.text)) w->setEditText(Q(model.text));
    } else if (w->currentIndex() != model.listIndex) {
      w->setCurrentIndex(model.listIndex);
    }
    w->setEnabled(model.enabled);
  });
  return w;
}

QRadioButton* FormBinder::Option(OptionButton& model, Handler onClick) {
  auto* w = new QRadioButton(Q(model.caption));
  w->setAutoExclusive(false);  // the model keeps the options of a group exclusive
  QObject::connect(w, &QRadioButton::clicked, w, [this, onClick] { dispatch_(onClick); });
  refreshers_.push_back([w, &model] {
    if (w->isChecked() != model.selected) {
      QSignalBlocker block(w);
      w->setChecked(model.selected);
    }
  });
  return w;
}

QCheckBox* FormBinder::Check(CheckBox& model, Handler onClick) {
  auto* w = new QCheckBox(Q(model.caption));
  QObject::connect(w, &QCheckBox::clicked, w, [this, &model, onClick](bool checked) {
    model.checked = checked;
    if (onClick) dispatch_(onClick);
  });
  refreshers_.push_back([w, &model] {
    if (w->isChecked() != model.checked) {
      QSignalBlocker block(w);
      w->setChecked(model.checked);
    }
    w->setEnabled(model.enabled);
  });
  return w;
}

QPushButton* FormBinder::Push(Button& model, Handler onClick) {
  auto* w = new QPushButton(Q(model.caption));
  QObject::connect(w, &QPushButton::clicked, w, [this, onClick] { dispatch_(onClick); });
  refreshers_.push_back([w, &model] {
    w->setEnabled(model.enabled);
    if (w->text() != Q(model.caption)) w->setText(Q(model.caption));
  });
  return w;
}

QGroupBox* FormBinder::Group(Frame& model) {
  auto* w = new QGroupBox(Q(model.caption));
  refreshers_.push_back([w, &model] { w->setEnabled(model.enabled); });
  return w;
}

void FormBinder::Refresh() {
  for (const auto& r : refreshers_) r();
}

}  // namespace varnel::app
