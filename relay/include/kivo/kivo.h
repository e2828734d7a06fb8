// KIVO relay control: the interface its hosts use.
//
// The control gives a library a window to post its notification message to
// (AdNotifyMsg, WM_USER + 7100) and raises every such message as the event
// OnMsgPost in the host, synchronously on the host's GUI thread, in the
// order posted.  The module libKivo7100.so serves the control class by its
// class identity; a host creates it through the component registry:
//
//   platform::com::HRESULT hr;
//   std::unique_ptr<kivo::KivoControl> kivo = kivo::CreateKivoControl(&hr);
//   layout->addWidget(kivo->Widget());
//   kivo->SetOnMsgPost([](int16_t status, int32_t count) { ... });
//   ... once shown: uint32_t hwnd = kivo->GetKivoWnd();
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/registry.h"
#include "platform/winmsg.h"

class QWidget;

namespace kivo {

// Identities.
inline constexpr char kTypeLibId[] = "{AF701960-49D7-11D0-9EA8-002035E6635C}";      // KivoLib 1.0
inline constexpr char kDispatchIid[] = "{AF701961-49D7-11D0-9EA8-002035E6635C}";    // _DKivo
inline constexpr char kEventsIid[] = "{AF701962-49D7-11D0-9EA8-002035E6635C}";      // _DKivoEvents
inline constexpr char kClassId[] = "{AF701963-49D7-11D0-9EA8-002035E6635C}";        // Kivo (CKivoCtrl)
inline constexpr char kPropPageClassId[] = "{AF701964-49D7-11D0-9EA8-002035E6635C}";  // CKivoPropPage
inline constexpr char kProgId[] = "Kivo.KivoCtrl.1";
inline constexpr char kPropPageProgId[] = "Kivo.KivoPropPage.1";
inline constexpr char kTypeLibName[] = "KivoLib";
inline constexpr char kTypeLibHelp[] = "KIVO OLE Control module";
inline constexpr char kClassName[] = "KIVO Control";
inline constexpr char kPropPageName[] = "KIVO Property Page";
inline constexpr char kFileVersion[] = "1.0.0.1";
inline constexpr char kFileDescription[] = "KIVO OLE Control Module";
// Activate when visible, set client site first, inside-out, cannot link
// inside, recompose on resize.
inline constexpr uint32_t kMiscStatus = 0x20191;
// The interface a property page object is handed out under.
inline constexpr char kPropertyPageIid[] = "{B196B28D-BAB4-101A-B69C-00AA00341D07}";

// Dispatch ids of _DKivo and _DKivoEvents.
inline constexpr int32_t kDispidGetKivoWnd = 1;
inline constexpr int32_t kDispidAboutBox = -552;
inline constexpr int32_t kDispidOnMsgPost = 1;

// The notification message the control relays.
inline constexpr uint32_t AdNotifyMsg = platform::WM_USER + 7100;  // 8124

// OnMsgPost(wParam, lParam): wParam is the low 16 bits of the message's
// first parameter as a signed value, lParam its second parameter.
using OnMsgPostHandler = std::function<void(int16_t wParam, int32_t lParam)>;

// The control (dispatch interface _DKivo plus its event).  Deleting it
// deletes its widget and its window.  Use it on the GUI thread only.
class KivoControl {
 public:
  virtual ~KivoControl() = default;

  // The control's widget, to place on the host's form; the control keeps
  // owning it (deleting the widget first is harmless too).
  virtual QWidget* Widget() = 0;

  // The handle of the control's window: 0 until the widget has been shown
  // in its host (and again after the widget is gone).
  virtual uint32_t GetKivoWnd() const = 0;

  // Shows the About dialog modally and returns when it is closed.
  virtual void AboutBox() = 0;

  // The event sink: the handler runs inside the control's message handling.
  // An empty handler drops the events.
  virtual void SetOnMsgPost(OnMsgPostHandler handler) = 0;

  // The host's ambient user mode: true while the host runs (the user-mode
  // picture), false in its design mode (the design-mode picture).
  virtual void SetUserMode(bool userMode) = 0;
  virtual bool UserMode() const = 0;

  // The properties verb: shows the property sheet modally.
  virtual void ShowProperties() = 0;
};

// A property page object (class CKivoPropPage).
class KivoPropertyPage {
 public:
  virtual ~KivoPropertyPage() = default;
  virtual std::string Caption() const = 0;  // UTF-8
  virtual QWidget* Widget() = 0;            // owned by the page object
};

// Creates the control by its registered class identity.  Null on failure,
// with the result code in *hr (REGDB_E_CLASSNOTREG when not registered, ...)
// and a readable reason in *error.  Needs a QApplication on this thread.
inline std::unique_ptr<KivoControl> CreateKivoControl(platform::com::HRESULT* hr = nullptr,
                                                      std::string* error = nullptr) {
  void* object = nullptr;
  const platform::com::HRESULT r = platform::com::CreateInstance(kClassId, kDispatchIid, &object, error);
  if (hr != nullptr) *hr = r;
  if (!platform::com::Succeeded(r)) return nullptr;
  return std::unique_ptr<KivoControl>(static_cast<KivoControl*>(object));
}

}  // namespace kivo
