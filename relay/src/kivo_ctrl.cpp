#include "kivo_ctrl.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QPainter>
#include <QShowEvent>

#include "dialogs.h"
#include "module_state.h"
#include "pictures.h"
#include "platform/qt_winmsg.h"

namespace kivo {
namespace {

// Runs a dialog modally; whoever deletes its parent meanwhile (a handler
// called from the modal loop) also deletes the dialog, so it is held weakly.
void RunModal(std::unique_ptr<QDialog> made) {
  QPointer<QDialog> dialog = made.release();
  dialog->exec();
  delete dialog.data();
}

}  // namespace

intptr_t KivoWindowProc(const EventSink& sink, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  if (msg == AdNotifyMsg) {
    // Only the low 16 bits carry the status; they are a signed value to the
    // host, as the event's first parameter is a 16-bit signed integer.
    const auto status = static_cast<int16_t>(static_cast<uint16_t>(wParam & 0xFFFFu));
    sink.Fire(status, static_cast<int32_t>(lParam));
  }
  return 0;
}

void RunAboutBox(QWidget* parent) { RunModal(MakeAboutDialog(parent)); }
void RunPropertySheet(QWidget* parent) { RunModal(MakePropertySheet(parent)); }

KivoWidget::KivoWidget(std::shared_ptr<EventSink> sink) : m_sink(std::move(sink)) {
  setObjectName("KIVO7100");
  setMinimumSize(1, 1);
  resize(sizeHint());
}

KivoWidget::~KivoWidget() {
  if (m_hwnd != 0) platform::DestroyMessageWindow(m_hwnd);
}

void KivoWidget::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (m_hwnd != 0) return;
  // The control's window exists from its first activation in the host until
  // the control is destroyed; it belongs to this (the GUI) thread.
  std::shared_ptr<EventSink> sink = m_sink;
  m_hwnd = platform::CreateMessageWindow(
      [sink](uint32_t msg, uintptr_t w, intptr_t l) { return KivoWindowProc(*sink, msg, w, l); });
  m_pump = new platform::QtMessagePump(this);
}

void KivoWidget::SetUserMode(bool userMode) {
  m_userMode = userMode;
  update();
}

void KivoWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawImage(rect(), m_userMode ? UserModePicture() : DesignModePicture());
}

void KivoWidget::contextMenuEvent(QContextMenuEvent* event) {
  // The menu has no parent and the widget is watched: a notification handler
  // run from the menu's loop may delete the control.
  QPointer<KivoWidget> self(this);
  QMenu menu;
  QAction* properties = menu.addAction(QStringLiteral("Properties..."));
  QAction* about = menu.addAction(QStringLiteral("About KIVO Control..."));
  QAction* chosen = menu.exec(event->globalPos());
  if (!self) return;
  if (chosen == properties) {
    RunPropertySheet(this);
  } else if (chosen == about) {
    RunAboutBox(this);
  }
}

KivoCtrl::KivoCtrl() : m_widget(new KivoWidget(m_sink)) { module::ObjectCreated(); }

KivoCtrl::~KivoCtrl() {
  delete m_widget.data();
  module::ObjectDestroyed();
}

void KivoCtrl::AboutBox() { RunAboutBox(m_widget.data()); }

void KivoCtrl::ShowProperties() { RunPropertySheet(m_widget.data()); }

uint32_t KivoCtrl::GetKivoWnd() const {
  const KivoWidget* widget = m_widget.data();
  return widget != nullptr ? widget->Window() : 0;
}

void KivoCtrl::SetUserMode(bool userMode) {
  m_userMode = userMode;
  if (KivoWidget* widget = m_widget.data(); widget != nullptr) widget->SetUserMode(userMode);
}

}  // namespace kivo
