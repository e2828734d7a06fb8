#include "relay_host.h"

#include <cstdio>

#include "kivo/kivo.h"

namespace varnel::app {

RelayHost::RelayHost() = default;
RelayHost::~RelayHost() = default;

bool RelayHost::Create() {
  platform::com::HRESULT hr = 0;
  control_ = kivo::CreateKivoControl(&hr, &error_);
  if (!control_) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    error_ = "the relay control KIVO7100 " + std::string(kivo::kClassId) + " cannot be created (" + code +
             (error_.empty() ? "" : ": " + error_) + "); register libKivo7100.so with component-register";
    return false;
  }
  control_->SetUserMode(true);
  control_->SetOnMsgPost([this](int16_t w, int32_t l) {
    if (onMsgPost) onMsgPost(w, l);
  });
  return true;
}

QWidget* RelayHost::Widget() const { return control_ ? control_->Widget() : nullptr; }

uint32_t RelayHost::GetKivoWnd() const { return control_ ? control_->GetKivoWnd() : 0; }

}  // namespace varnel::app
