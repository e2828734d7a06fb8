#include "dialogs.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "module_state.h"
#include "pictures.h"

namespace kivo {

PropertyPage::PropertyPage() : m_widget(std::make_unique<QWidget>()) {
  // The size of an empty control property page.
  m_widget->setMinimumSize(250, 62);
  m_widget->setObjectName("KivoPropPageGeneral");
  module::ObjectCreated();
}

PropertyPage::~PropertyPage() { module::ObjectDestroyed(); }

std::unique_ptr<QDialog> MakeAboutDialog(QWidget* parent) {
  auto dialog = std::make_unique<QDialog>(parent);
  dialog->setWindowTitle(kAboutTitle);
  auto* icon = new QLabel;
  icon->setPixmap(QPixmap::fromImage(UserModePicture()));
  auto* text = new QLabel(QStringLiteral("%1, Version 1.0\n%2 %3")
                              .arg(QString::fromLatin1(kClassName), QString::fromLatin1(kFileDescription),
                                   QString::fromLatin1(kFileVersion)));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog.get(), &QDialog::accept);
  auto* row = new QHBoxLayout;
  row->addWidget(icon);
  row->addWidget(text, 1);
  auto* layout = new QVBoxLayout(dialog.get());
  layout->addLayout(row);
  layout->addWidget(buttons);
  return dialog;
}

std::unique_ptr<QDialog> MakePropertySheet(QWidget* parent) {
  auto dialog = std::make_unique<QDialog>(parent);
  dialog->setWindowTitle(kPropertiesTitle);
  auto* tabs = new QTabWidget;
  PropertyPage page;
  tabs->addTab(page.ReleaseWidget(), QString::fromStdString(page.Caption()));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply);
  buttons->button(QDialogButtonBox::Apply)->setEnabled(false);  // nothing to apply
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog.get(), &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog.get(), &QDialog::reject);
  auto* layout = new QVBoxLayout(dialog.get());
  layout->addWidget(tabs);
  layout->addWidget(buttons);
  return dialog;
}

}  // namespace kivo
