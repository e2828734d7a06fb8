// Entry points of the module: self-registration, the class objects and the
// unload query.
#include <QApplication>
#include <QThread>
#include <atomic>

#include "dialogs.h"
#include "kivo/kivo.h"
#include "kivo_ctrl.h"
#include "module_state.h"

#define KIVO_EXPORT extern "C" __attribute__((visibility("default")))

using namespace platform::com;

namespace kivo {
namespace module {
namespace {
std::atomic<int> g_live{0};
}  // namespace
void ObjectCreated() { ++g_live; }
void ObjectDestroyed() { --g_live; }
int LiveObjects() { return g_live.load(); }
}  // namespace module

namespace {

inline constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);
inline constexpr HRESULT RPC_E_WRONG_THREAD = static_cast<HRESULT>(0x8001010Eu);

bool SameId(const char* a, const char* b) { return a != nullptr && NormalizeGuid(a) == b; }

// Widgets need the host's QApplication, and only its thread may make them.
HRESULT CheckGuiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  if (qobject_cast<QApplication*>(app) == nullptr) return CO_E_NOTINITIALIZED;
  if (QThread::currentThread() != app->thread()) return RPC_E_WRONG_THREAD;
  return S_OK;
}

class ControlFactory final : public ClassFactory {
 public:
  HRESULT CreateInstance(const char* iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!SameId(iid, kDispatchIid)) return E_NOINTERFACE;
    if (const HRESULT hr = CheckGuiThread(); hr != S_OK) return hr;
    *object = static_cast<KivoControl*>(new KivoCtrl);
    return S_OK;
  }
};

class PropPageFactory final : public ClassFactory {
 public:
  HRESULT CreateInstance(const char* iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!SameId(iid, kPropertyPageIid)) return E_NOINTERFACE;
    if (const HRESULT hr = CheckGuiThread(); hr != S_OK) return hr;
    *object = static_cast<KivoPropertyPage*>(new PropertyPage);
    return S_OK;
  }
};

ControlFactory g_controlFactory;
PropPageFactory g_propPageFactory;

std::string ThisModule();

}  // namespace
}  // namespace kivo

using namespace kivo;

// Registers the type library, then the classes.
KIVO_EXPORT HRESULT DllRegisterServer() {
  const std::string self = kivo::ThisModule();
  if (self.empty()) return SELFREG_E_TYPELIB;
  const TypeLibInfo lib{kTypeLibId,
                        kTypeLibName,
                        "1.0",
                        kTypeLibHelp,
                        self,
                        {InterfaceInfo{kDispatchIid, "_DKivo", "Dispatch interface for KIVO Control", true},
                         InterfaceInfo{kEventsIid, "_DKivoEvents", "Event interface for KIVO Control", false}}};
  if (RegisterTypeLib(lib) != S_OK) return SELFREG_E_TYPELIB;
  const ClassInfo control{kClassId, kClassName, kProgId, self, kTypeLibId, "1.0", kMiscStatus, true};
  const ClassInfo page{kPropPageClassId, kPropPageName, kPropPageProgId, self, "", "1.0", 0, false};
  if (RegisterClass(control) != S_OK || RegisterClass(page) != S_OK) return SELFREG_E_CLASS;
  return S_OK;
}

// Removes the type library, then the classes.
KIVO_EXPORT HRESULT DllUnregisterServer() {
  if (UnregisterTypeLib(kTypeLibId) != S_OK) return SELFREG_E_TYPELIB;
  if (UnregisterClass(kClassId) != S_OK || UnregisterClass(kPropPageClassId) != S_OK) return SELFREG_E_CLASS;
  return S_OK;
}

KIVO_EXPORT HRESULT DllGetClassObject(const char* clsid, const char* iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!SameId(iid, IID_IClassFactory)) return E_NOINTERFACE;
  if (SameId(clsid, kClassId)) {
    *out = static_cast<ClassFactory*>(&g_controlFactory);
  } else if (SameId(clsid, kPropPageClassId)) {
    *out = static_cast<ClassFactory*>(&g_propPageFactory);
  } else {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  return S_OK;
}

KIVO_EXPORT HRESULT DllCanUnloadNow() { return module::LiveObjects() == 0 ? S_OK : S_FALSE; }

namespace kivo {
namespace {
std::string ThisModule() { return ModulePathOf(reinterpret_cast<const void*>(&DllRegisterServer)); }
}  // namespace
}  // namespace kivo
