// CKivoCtrl: the control, its widget and its message window.
#pragma once

#include <QPointer>
#include <QWidget>
#include <memory>

#include "kivo/kivo.h"

namespace platform {
class QtMessagePump;
}

namespace kivo {

// Where the window's messages go: shared by the control and its window
// procedure, so a handler may delete the control while it is being called.
struct EventSink {
  OnMsgPostHandler onMsgPost;
  void Fire(int16_t wParam, int32_t lParam) const {
    const OnMsgPostHandler handler = onMsgPost;  // the handler may replace itself
    if (handler) handler(wParam, lParam);
  }
};

// The window procedure of the control's window.
intptr_t KivoWindowProc(const EventSink& sink, uint32_t msg, uintptr_t wParam, intptr_t lParam);

class KivoWidget final : public QWidget {
 public:
  explicit KivoWidget(std::shared_ptr<EventSink> sink);
  ~KivoWidget() override;
  KivoWidget(const KivoWidget&) = delete;
  KivoWidget& operator=(const KivoWidget&) = delete;

  platform::Hwnd Window() const { return m_hwnd; }
  void SetUserMode(bool userMode);
  bool UserMode() const { return m_userMode; }
  QSize sizeHint() const override { return {48, 48}; }

 protected:
  void showEvent(QShowEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  std::shared_ptr<EventSink> m_sink;
  platform::Hwnd m_hwnd = 0;
  platform::QtMessagePump* m_pump = nullptr;
  bool m_userMode = true;
};

class KivoCtrl final : public KivoControl {
 public:
  KivoCtrl();
  ~KivoCtrl() override;
  KivoCtrl(const KivoCtrl&) = delete;
  KivoCtrl& operator=(const KivoCtrl&) = delete;

  QWidget* Widget() override { return m_widget.data(); }
  uint32_t GetKivoWnd() const override;
  void AboutBox() override;
  void SetOnMsgPost(OnMsgPostHandler handler) override { m_sink->onMsgPost = std::move(handler); }
  void SetUserMode(bool userMode) override;
  bool UserMode() const override { return m_userMode; }
  void ShowProperties() override;

 private:
  std::shared_ptr<EventSink> m_sink = std::make_shared<EventSink>();
  QPointer<KivoWidget> m_widget;
  bool m_userMode = true;
};

// Modal dialogs of the control, parented to `parent` when given.
void RunAboutBox(QWidget* parent);
void RunPropertySheet(QWidget* parent);

}  // namespace kivo
