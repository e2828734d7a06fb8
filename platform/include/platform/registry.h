// Component registry: class identities of in-process components and the
// shared-library modules that serve them.
//
// A module (a shared library) exports four C functions, with the meaning of a
// COM in-process server's entry points:
//
//   HRESULT DllRegisterServer(void);      // write the module's entries
//   HRESULT DllUnregisterServer(void);    // remove them
//   HRESULT DllGetClassObject(const char* clsid, const char* iid, void** out);
//   HRESULT DllCanUnloadNow(void);        // S_OK when no object is alive
//
// DllGetClassObject hands out a ClassFactory (iid IID_IClassFactory) for a
// class the module serves.  A host creates an object by class identity with
// CreateInstance: the registry names the module, the module is loaded, its
// class factory creates the object.  What `iid` names is agreed between the
// module's public header and its hosts (a C++ interface pointer).
//
// The registry is one text file, rewritten whole (temporary file + rename)
// under an advisory lock, so readers always see a complete file:
//   * $COMPONENT_REGISTRY when set (a file path);
//   * else /var/lib/component-registry/registry.ini for root;
//   * else $XDG_DATA_HOME/component-registry/registry.ini, with
//     XDG_DATA_HOME defaulting to ~/.local/share.
// Its sections are "[TypeLib {guid}]", "[Interface {guid}]", "[Class {guid}]"
// and "[ProgID name]", each with Key=Value lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::com {

using HRESULT = int32_t;

// Result codes (Windows' values).
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
inline constexpr HRESULT REGDB_E_READREGDB = static_cast<HRESULT>(0x80040150u);
inline constexpr HRESULT REGDB_E_WRITEREGDB = static_cast<HRESULT>(0x80040151u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT CO_E_DLLNOTFOUND = static_cast<HRESULT>(0x800401F8u);
inline constexpr HRESULT CO_E_ERRORINDLL = static_cast<HRESULT>(0x800401F9u);
inline constexpr HRESULT SELFREG_E_TYPELIB = static_cast<HRESULT>(0x80040200u);
inline constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201u);

inline constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }

inline constexpr char IID_IClassFactory[] = "{00000001-0000-0000-C000-000000000046}";

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, from any accepted
// spelling (with or without braces, any case); empty when not a GUID.
std::string NormalizeGuid(std::string_view text);

struct InterfaceInfo {
  std::string iid;
  std::string name;
  std::string helpString;
  bool hidden = false;
};

struct TypeLibInfo {
  std::string libid;
  std::string name;
  std::string version;  // "1.0"
  std::string helpString;
  std::string modulePath;
  std::vector<InterfaceInfo> interfaces;
};

struct ClassInfo {
  std::string clsid;
  std::string typeName;
  std::string progId;
  std::string modulePath;
  std::string typeLibId;  // empty when the class names no type library
  std::string version;    // "1.0"
  uint32_t miscStatus = 0;
  bool control = false;   // an insertable control (the host's toolbox)
};

// Path of the registry file by the rules above.
std::string RegistryPath();

// Write or remove entries.  REGDB_E_WRITEREGDB when the file cannot be
// written, E_INVALIDARG for a malformed id; removing what is not there is S_OK.
HRESULT RegisterTypeLib(const TypeLibInfo& lib);  // also its interfaces
HRESULT UnregisterTypeLib(std::string_view libid);
HRESULT RegisterClass(const ClassInfo& cls);      // also its ProgID
HRESULT UnregisterClass(std::string_view clsid);

std::optional<ClassInfo> FindClass(std::string_view clsid);
std::optional<TypeLibInfo> FindTypeLib(std::string_view libid);
// Class id registered for a program identifier; empty when none.
std::string ClassIdFromProgId(std::string_view progId);

// Absolute path of the loaded shared library that contains `address`.
std::string ModulePathOf(const void* address);

// The class object a module hands out: makes objects of one class.
class ClassFactory {
 public:
  // Creates an object and returns the interface `iid` of it in *object, owned
  // by the caller (deleted through that interface's virtual destructor).
  virtual HRESULT CreateInstance(const char* iid, void** object) = 0;

 protected:
  ~ClassFactory() = default;
};

// Creates an object of the registered class `clsid` and returns its
// interface `iid`.  REGDB_E_CLASSNOTREG when the class is not registered,
// CO_E_DLLNOTFOUND when its module cannot be loaded, CO_E_ERRORINDLL when the
// module lacks the entry point, or the module's own failure code.  `*object`
// is null on failure.  `error`, when given, receives a readable reason.
HRESULT CreateInstance(std::string_view clsid, const char* iid, void** object, std::string* error = nullptr);

// Unloads the modules loaded by CreateInstance that report they can unload.
void FreeUnusedLibraries();

}  // namespace platform::com

// The entry points of a module, as exported C functions.
extern "C" {
using DllRegisterServerFn = platform::com::HRESULT (*)();
using DllUnregisterServerFn = platform::com::HRESULT (*)();
using DllGetClassObjectFn = platform::com::HRESULT (*)(const char* clsid, const char* iid, void** out);
using DllCanUnloadNowFn = platform::com::HRESULT (*)();
}
