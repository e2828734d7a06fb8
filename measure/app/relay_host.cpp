#include "relay_host.h"

#include <cstdio>

#include "kivo/kivo.h"

namespace varnel::app {

RelayHost::RelayHost() = default;
RelayHost::~RelayHost() = default;

bool RelayHost::Create() {
  platform::com::HRESULT hr = 0;
  m_control = kivo::CreateKivoControl(&hr, &m_error);
  if (!m_control) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    m_error = "the relay control KIVO7100 " + std::string(kivo::kClassId) + " cannot be created (" + code +
             (m_error.empty() ? "" : ": " + m_error) + "); register libKivo7100.so with component-register";
    return false;
  }
  m_control->SetUserMode(true);
  m_control->SetOnMsgPost([this](int16_t w, int32_t l) {
    if (onMsgPost) onMsgPost(w, l);
  });
  return true;
}

QWidget* RelayHost::Widget() const { return m_control ? m_control->Widget() : nullptr; }

uint32_t RelayHost::GetKivoWnd() const { return m_control ? m_control->GetKivoWnd() : 0; }

}  // namespace varnel::app
