// Hosts the relay control KIVO7100 on the main window: created by its class
// identity through the component registry, its OnMsgPost forwarded.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QWidget;

namespace kivo {
class KivoControl;
}

namespace varnel::app {

class RelayHost {
 public:
  RelayHost();
  ~RelayHost();
  // Creates the control; false with Error() when the class is not
  // registered or its module cannot be loaded.
  bool Create();
  const std::string& Error() const { return m_error; }
  QWidget* Widget() const;
  // The control's window handle; 0 until the control is shown.
  uint32_t GetKivoWnd() const;
  std::function<void(int16_t wParam, int32_t lParam)> onMsgPost;

 private:
  std::unique_ptr<kivo::KivoControl> m_control;
  std::string m_error;
};

}  // namespace varnel::app
