// Component registry: a small INI-style file of class identities, type
// libraries and program identifiers, and the loader that creates an object
// of a registered class from its module.
#include "platform/registry.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <utility>

namespace platform::com {
namespace {

namespace fs = std::filesystem;

// One "[Header]" section with its Key=Value lines, in file order.
struct Section {
  std::string header;
  std::vector<std::pair<std::string, std::string>> values;

  std::string Get(std::string_view key) const {
    for (const auto& [k, v] : values) {
      if (k == key) return v;
    }
    return {};
  }
  void Set(std::string key, std::string value) { values.emplace_back(std::move(key), std::move(value)); }
};

using Sections = std::vector<Section>;

bool ParseFile(const std::string& path, Sections& out) {
  std::error_code ec;
  if (!fs::exists(path, ec) && !ec) return true;  // a missing registry is an empty one
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  Section* current = nullptr;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      out.push_back(Section{line.substr(1, line.size() - 2), {}});
      current = &out.back();
      continue;
    }
    const size_t eq = line.find('=');
    if (current == nullptr || eq == std::string::npos) continue;  // stray line: ignored, kept out
    current->Set(line.substr(0, eq), line.substr(eq + 1));
  }
  return !in.bad();
}

std::string Serialize(const Sections& sections) {
  std::ostringstream out;
  out << "# Component registry: class identities and the modules that serve them.\n"
         "# Written by component-register; edit with care.\n";
  for (const Section& s : sections) {
    out << '\n' << '[' << s.header << "]\n";
    for (const auto& [k, v] : s.values) out << k << '=' << v << '\n';
  }
  return out.str();
}

bool WriteWhole(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp." + std::to_string(getpid());
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  bool ok = true;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

// Holds the registry's write lock (a lock file beside it) for one edit.
class WriteLock {
 public:
  explicit WriteLock(const std::string& path) {
    std::error_code ec;
    const fs::path dir = fs::path(path).parent_path();
    if (!dir.empty()) fs::create_directories(dir, ec);
    fd_ = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~WriteLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Reads the registry, lets `edit` change it, writes it back whole.
template <typename Edit>
HRESULT EditRegistry(Edit edit) {
  const std::string path = RegistryPath();
  WriteLock lock(path);
  if (!lock.Held()) return REGDB_E_WRITEREGDB;
  Sections sections;
  if (!ParseFile(path, sections)) return REGDB_E_READREGDB;
  edit(sections);
  return WriteWhole(path, Serialize(sections)) ? S_OK : REGDB_E_WRITEREGDB;
}

Sections ReadRegistry() {
  Sections sections;
  if (!ParseFile(RegistryPath(), sections)) sections.clear();
  return sections;
}

void Remove(Sections& sections, const std::string& header) {
  std::erase_if(sections, [&](const Section& s) { return s.header == header; });
}

// Replaces (or appends) the section `header`.
void Put(Sections& sections, Section s) {
  for (Section& existing : sections) {
    if (existing.header == s.header) {
      existing = std::move(s);
      return;
    }
  }
  sections.push_back(std::move(s));
}

const Section* FindSection(const Sections& sections, const std::string& header) {
  for (const Section& s : sections) {
    if (s.header == header) return &s;
  }
  return nullptr;
}

// A value goes on one line; line breaks would corrupt the file.
bool OneLine(std::string_view v) { return v.find_first_of("\r\n") == std::string_view::npos; }

bool ValidProgId(std::string_view p) {
  if (p.empty() || p.size() > 39 || std::isdigit(static_cast<unsigned char>(p[0]))) return false;
  for (char c : p) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_') return false;
  }
  return true;
}

std::string HomeDir() {
  const char* home = std::getenv("HOME");
  return home != nullptr && *home != '\0' ? home : "/tmp";
}

// Modules loaded by CreateInstance, by path; kept loaded until
// FreeUnusedLibraries finds them idle.
std::mutex g_modulesMutex;
std::map<std::string, void*>& LoadedModules() {
  static auto* modules = new std::map<std::string, void*>;
  return *modules;
}

}  // namespace

std::string NormalizeGuid(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return {};
  std::string out = "{";
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash) {
      if (c != '-') return {};
    } else if (!std::isxdigit(static_cast<unsigned char>(c))) {
      return {};
    }
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out + "}";
}

std::string RegistryPath() {
  if (const char* env = std::getenv("COMPONENT_REGISTRY"); env != nullptr && *env != '\0') return env;
  if (geteuid() == 0) return "/var/lib/component-registry/registry.ini";
  std::string data;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
    data = xdg;  // the XDG rules ignore a relative value
  } else {
    data = HomeDir() + "/.local/share";
  }
  return data + "/component-registry/registry.ini";
}

HRESULT RegisterTypeLib(const TypeLibInfo& lib) {
  const std::string libid = NormalizeGuid(lib.libid);
  if (libid.empty() || !OneLine(lib.name) || !OneLine(lib.version) || !OneLine(lib.helpString) ||
      !OneLine(lib.modulePath)) {
    return E_INVALIDARG;
  }
  std::vector<Section> interfaces;
  for (const InterfaceInfo& itf : lib.interfaces) {
    const std::string iid = NormalizeGuid(itf.iid);
    if (iid.empty() || !OneLine(itf.name) || !OneLine(itf.helpString)) return E_INVALIDARG;
    Section s{"Interface " + iid, {}};
    s.Set("Name", itf.name);
    s.Set("HelpString", itf.helpString);
    s.Set("Hidden", itf.hidden ? "1" : "0");
    s.Set("TypeLib", libid);
    interfaces.push_back(std::move(s));
  }
  Section s{"TypeLib " + libid, {}};
  s.Set("Name", lib.name);
  s.Set("Version", lib.version);
  s.Set("HelpString", lib.helpString);
  s.Set("Module", lib.modulePath);
  return EditRegistry([&](Sections& all) {
    Put(all, std::move(s));
    for (Section& i : interfaces) Put(all, std::move(i));
  });
}

HRESULT UnregisterTypeLib(std::string_view libidText) {
  const std::string libid = NormalizeGuid(libidText);
  if (libid.empty()) return E_INVALIDARG;
  return EditRegistry([&](Sections& all) {
    Remove(all, "TypeLib " + libid);
    std::erase_if(all, [&](const Section& s) { return s.header.starts_with("Interface ") && s.Get("TypeLib") == libid; });
  });
}

HRESULT RegisterClass(const ClassInfo& cls) {
  const std::string clsid = NormalizeGuid(cls.clsid);
  const std::string libid = cls.typeLibId.empty() ? std::string() : NormalizeGuid(cls.typeLibId);
  if (clsid.empty() || (!cls.typeLibId.empty() && libid.empty()) || cls.modulePath.empty() ||
      (!cls.progId.empty() && !ValidProgId(cls.progId)) || !OneLine(cls.typeName) || !OneLine(cls.modulePath) ||
      !OneLine(cls.version)) {
    return E_INVALIDARG;
  }
  Section s{"Class " + clsid, {}};
  s.Set("Name", cls.typeName);
  s.Set("Module", cls.modulePath);
  if (!cls.progId.empty()) s.Set("ProgID", cls.progId);
  if (!libid.empty()) s.Set("TypeLib", libid);
  s.Set("Version", cls.version);
  char misc[16];
  std::snprintf(misc, sizeof misc, "0x%X", cls.miscStatus);
  s.Set("MiscStatus", misc);
  s.Set("Control", cls.control ? "1" : "0");
  return EditRegistry([&](Sections& all) {
    // A class re-registered under another ProgID leaves no stale ProgID.
    if (const Section* old = FindSection(all, "Class " + clsid)) {
      const std::string oldProgId = old->Get("ProgID");
      if (!oldProgId.empty()) Remove(all, "ProgID " + oldProgId);
    }
    Put(all, std::move(s));
    if (!cls.progId.empty()) {
      Section p{"ProgID " + cls.progId, {}};
      p.Set("Class", clsid);
      p.Set("Name", cls.typeName);
      Put(all, std::move(p));
    }
  });
}

HRESULT UnregisterClass(std::string_view clsidText) {
  const std::string clsid = NormalizeGuid(clsidText);
  if (clsid.empty()) return E_INVALIDARG;
  return EditRegistry([&](Sections& all) {
    Remove(all, "Class " + clsid);
    std::erase_if(all, [&](const Section& s) { return s.header.starts_with("ProgID ") && s.Get("Class") == clsid; });
  });
}

std::optional<ClassInfo> FindClass(std::string_view clsidText) {
  const std::string clsid = NormalizeGuid(clsidText);
  if (clsid.empty()) return std::nullopt;
  const Sections all = ReadRegistry();
  const Section* s = FindSection(all, "Class " + clsid);
  if (s == nullptr) return std::nullopt;
  ClassInfo info;
  info.clsid = clsid;
  info.typeName = s->Get("Name");
  info.progId = s->Get("ProgID");
  info.modulePath = s->Get("Module");
  info.typeLibId = s->Get("TypeLib");
  info.version = s->Get("Version");
  info.miscStatus = static_cast<uint32_t>(std::strtoul(s->Get("MiscStatus").c_str(), nullptr, 0));
  info.control = s->Get("Control") == "1";
  return info;
}

std::optional<TypeLibInfo> FindTypeLib(std::string_view libidText) {
  const std::string libid = NormalizeGuid(libidText);
  if (libid.empty()) return std::nullopt;
  const Sections all = ReadRegistry();
  const Section* s = FindSection(all, "TypeLib " + libid);
  if (s == nullptr) return std::nullopt;
  TypeLibInfo info;
  info.libid = libid;
  info.name = s->Get("Name");
  info.version = s->Get("Version");
  info.helpString = s->Get("HelpString");
  info.modulePath = s->Get("Module");
  for (const Section& i : all) {
    if (!i.header.starts_with("Interface ") || i.Get("TypeLib") != libid) continue;
    info.interfaces.push_back(
        InterfaceInfo{i.header.substr(10), i.Get("Name"), i.Get("HelpString"), i.Get("Hidden") == "1"});
  }
  return info;
}

std::string ClassIdFromProgId(std::string_view progId) {
  if (progId.empty()) return {};
  const Sections all = ReadRegistry();
  const Section* s = FindSection(all, "ProgID " + std::string(progId));
  return s == nullptr ? std::string() : s->Get("Class");
}

std::string ModulePathOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
  std::error_code ec;
  const fs::path p = fs::canonical(info.dli_fname, ec);
  return ec ? std::string(info.dli_fname) : p.string();
}

HRESULT CreateInstance(std::string_view clsidText, const char* iid, void** object, std::string* error) {
  auto fail = [&](HRESULT hr, std::string why) {
    if (error != nullptr) *error = std::move(why);
    return hr;
  };
  if (object == nullptr) return fail(E_POINTER, "no place for the object");
  *object = nullptr;
  const std::string clsid = NormalizeGuid(clsidText);
  if (clsid.empty()) return fail(E_INVALIDARG, "not a class identity: " + std::string(clsidText));
  const std::optional<ClassInfo> cls = FindClass(clsid);
  if (!cls) return fail(REGDB_E_CLASSNOTREG, "class " + clsid + " is not registered in " + RegistryPath());

  void* module = nullptr;
  {
    std::lock_guard lock(g_modulesMutex);
    auto& loaded = LoadedModules();
    auto it = loaded.find(cls->modulePath);
    if (it != loaded.end()) {
      module = it->second;
    } else {
      module = dlopen(cls->modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (module == nullptr) {
        const char* why = dlerror();
        return fail(CO_E_DLLNOTFOUND, "cannot load " + cls->modulePath + ": " + (why != nullptr ? why : "?"));
      }
      loaded.emplace(cls->modulePath, module);
    }
  }
  auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(dlsym(module, "DllGetClassObject"));
  if (getClassObject == nullptr) return fail(CO_E_ERRORINDLL, cls->modulePath + " has no DllGetClassObject");
  void* factoryPtr = nullptr;
  HRESULT hr = getClassObject(clsid.c_str(), IID_IClassFactory, &factoryPtr);
  if (!Succeeded(hr) || factoryPtr == nullptr) {
    return fail(Succeeded(hr) ? E_FAIL : hr, cls->modulePath + " has no class object for " + clsid);
  }
  hr = static_cast<ClassFactory*>(factoryPtr)->CreateInstance(iid, object);
  if (!Succeeded(hr)) {
    *object = nullptr;
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<uint32_t>(hr));
    return fail(hr, "the class factory of " + clsid + " failed with " + code);
  }
  return hr;
}

void FreeUnusedLibraries() {
  std::lock_guard lock(g_modulesMutex);
  auto& loaded = LoadedModules();
  for (auto it = loaded.begin(); it != loaded.end();) {
    auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(dlsym(it->second, "DllCanUnloadNow"));
    if (canUnload != nullptr && canUnload() == S_OK) {
      dlclose(it->second);
      it = loaded.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace platform::com
