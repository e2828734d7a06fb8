// component-register: registers or unregisters a component module.
//
//   component-register [/u] [/s] path/to/module.so
//
// Loads the module and calls its DllRegisterServer (or, with /u,
// DllUnregisterServer).  Exit status: 0 success, 1 bad command line, 3 the
// module cannot be loaded, 4 it lacks the entry point, 5 the entry point
// failed (its result code is printed).  /s prints only failures.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/registry.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: component-register [/u] [/s] MODULE\n"
               "  registers the components of MODULE (a shared library) in %s\n"
               "  /u  unregister instead   /s  silent unless something fails\n"
               "  (-u and -s are accepted too; COMPONENT_REGISTRY names another registry file)\n",
               platform::com::RegistryPath().c_str());
}

bool IsOption(const char* arg, char letter) {
  return (arg[0] == '/' || arg[0] == '-') && (arg[1] == letter || arg[1] == (letter - 'a' + 'A')) && arg[2] == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  bool silent = false;
  const char* module = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (IsOption(argv[i], 'u')) {
      unregister = true;
    } else if (IsOption(argv[i], 's')) {
      silent = true;
    } else if (std::strcmp(argv[i], "--help") == 0 || IsOption(argv[i], 'h') || std::strcmp(argv[i], "/?") == 0) {
      Usage();
      return 0;
    } else if (module == nullptr && argv[i][0] != '\0' && !(argv[i][0] == '-' && argv[i][1] != '\0')) {
      module = argv[i];
    } else {
      Usage();
      return 1;
    }
  }
  if (module == nullptr) {
    Usage();
    return 1;
  }

  // Load by path even for a bare file name, so the module asked for is the
  // one registered (dlopen would otherwise search the library path).
  std::error_code ec;
  std::string path = std::filesystem::absolute(module, ec).string();
  if (ec) path = module;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    std::fprintf(stderr, "component-register: cannot load %s: %s\n", module, why != nullptr ? why : "unknown error");
    return 3;
  }
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto fn = reinterpret_cast<DllRegisterServerFn>(dlsym(handle, entry));
  if (fn == nullptr) {
    std::fprintf(stderr, "component-register: %s was loaded, but the entry point %s was not found.\n", module, entry);
    return 4;
  }
  const platform::com::HRESULT hr = fn();
  if (hr != platform::com::S_OK) {
    std::fprintf(stderr, "component-register: %s in %s failed. Return code was: 0x%08X\n", entry, module,
                 static_cast<unsigned>(hr));
    return 5;
  }
  if (!silent) {
    std::printf("%s in %s succeeded (registry %s).\n", entry, module, platform::com::RegistryPath().c_str());
  }
  // The module is never unloaded here: a module may have registered exit
  // handlers that must still find its code when the process ends.
  return 0;
}
