// The About dialog and the property sheet with the control's one page.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

#include "kivo/kivo.h"

namespace kivo {

// The "General" page: the control has no settings, so the page is empty.
class PropertyPage final : public KivoPropertyPage {
 public:
  PropertyPage();
  ~PropertyPage() override;
  PropertyPage(const PropertyPage&) = delete;
  PropertyPage& operator=(const PropertyPage&) = delete;
  std::string Caption() const override { return "General"; }
  QWidget* Widget() override { return m_widget.get(); }
  // Hands the page's widget to a new parent (the sheet) for good.
  QWidget* ReleaseWidget() { return m_widget.release(); }

 private:
  std::unique_ptr<QWidget> m_widget;
};

// Title of the About dialog and of the property sheet.
inline constexpr char kAboutTitle[] = "About KIVO Control";
inline constexpr char kPropertiesTitle[] = "KIVO Control Properties";

std::unique_ptr<QDialog> MakeAboutDialog(QWidget* parent);
std::unique_ptr<QDialog> MakePropertySheet(QWidget* parent);

}  // namespace kivo
