// A component module for the registry tests: one class, one interface.
#include <atomic>
#include <cstring>

#include "platform/registry.h"
#include "test_component.h"

using namespace platform::com;

namespace {

std::atomic<int> g_liveObjects{0};

class CounterImpl final : public testcomponent::Counter {
 public:
  CounterImpl() { ++g_liveObjects; }
  ~CounterImpl() override { --g_liveObjects; }
  int Next() override { return ++value_; }

 private:
  int value_ = 0;
};

class Factory final : public ClassFactory {
 public:
  HRESULT CreateInstance(const char* iid, void** object) override {
    if (NormalizeGuid(iid != nullptr ? iid : "") != testcomponent::kIid) return E_NOINTERFACE;
    *object = static_cast<testcomponent::Counter*>(new CounterImpl);
    return S_OK;
  }
};

Factory g_factory;

}  // namespace

extern "C" HRESULT DllRegisterServer() {
  const std::string self = ModulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
  TypeLibInfo lib{testcomponent::kLibId, "TestLib", "1.0", "test module", self,
                  {InterfaceInfo{testcomponent::kIid, "ICounter", "counts", false}}};
  if (RegisterTypeLib(lib) != S_OK) return SELFREG_E_TYPELIB;
  ClassInfo cls{testcomponent::kClsid, "Test Counter", testcomponent::kProgId, self, testcomponent::kLibId, "1.0", 0,
                false};
  if (RegisterClass(cls) != S_OK) return SELFREG_E_CLASS;
  return S_OK;
}

extern "C" HRESULT DllUnregisterServer() {
  if (UnregisterTypeLib(testcomponent::kLibId) != S_OK) return SELFREG_E_TYPELIB;
  if (UnregisterClass(testcomponent::kClsid) != S_OK) return SELFREG_E_CLASS;
  return S_OK;
}

extern "C" HRESULT DllGetClassObject(const char* clsid, const char* iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (NormalizeGuid(clsid != nullptr ? clsid : "") != testcomponent::kClsid) return CLASS_E_CLASSNOTAVAILABLE;
  if (NormalizeGuid(iid != nullptr ? iid : "") != IID_IClassFactory) return E_NOINTERFACE;
  *out = static_cast<ClassFactory*>(&g_factory);
  return S_OK;
}

extern "C" HRESULT DllCanUnloadNow() { return g_liveObjects.load() == 0 ? S_OK : S_FALSE; }
