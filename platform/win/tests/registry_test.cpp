// Component registry: file location, entry round trips, creation by class
// identity, and the component-register command on a real module.
#include "platform/registry.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "files.h"
#include "test_component.h"

namespace {

namespace fs = std::filesystem;
using namespace platform::com;

using lw::testing::ReadFile;
using lw::testing::ScopedEnv;
using lw::testing::TempDir;

// component-register run to its end with `args`, the registry file named by
// `registry` when given.
lw::testing::ProgramRun RunRegistrar(const std::vector<std::string>& args, const std::string& registry = "") {
  lw::testing::ChildOptions options;
  if (!registry.empty()) options.environment["COMPONENT_REGISTRY"] = registry;
  return lw::testing::RunProgram(COMPONENT_REGISTER_PATH, args, options);
}

class RegistryTest : public testing::Test {
 protected:
  TempDir dir_;
  fs::path file_ = dir_.Path() / "sub" / "registry.ini";
  ScopedEnv env_{"COMPONENT_REGISTRY", file_.c_str()};
};

TEST(Guid, NormalizesSpellingsAndRejectsMalformedIds) {
  EXPECT_EQ(NormalizeGuid("{af701963-49d7-11d0-9ea8-002035e6635c}"), "{AF701963-49D7-11D0-9EA8-002035E6635C}");
  EXPECT_EQ(NormalizeGuid("AF701963-49D7-11D0-9EA8-002035E6635C"), "{AF701963-49D7-11D0-9EA8-002035E6635C}");
  EXPECT_EQ(NormalizeGuid(""), "");
  EXPECT_EQ(NormalizeGuid("{AF701963-49D7-11D0-9EA8-002035E6635}"), "");    // one digit short
  EXPECT_EQ(NormalizeGuid("{AF701963-49D7-11D0-9EA8-002035E6635CX"), "");   // bad closing brace
  EXPECT_EQ(NormalizeGuid("{AF701963_49D7-11D0-9EA8-002035E6635C}"), "");   // dash misplaced
  EXPECT_EQ(NormalizeGuid("{AF70196G-49D7-11D0-9EA8-002035E6635C}"), "");   // not hex
}

TEST(RegistryLocation, FollowsOverrideThenXdgThenHome) {
  {
    ScopedEnv reg("COMPONENT_REGISTRY", "/some/where/reg.ini");
    EXPECT_EQ(RegistryPath(), "/some/where/reg.ini");
  }
  ScopedEnv reg("COMPONENT_REGISTRY", nullptr);
  ScopedEnv home("HOME", "/home/op");
  if (geteuid() == 0) {
    EXPECT_EQ(RegistryPath(), "/var/lib/component-registry/registry.ini");
    return;
  }
  {
    ScopedEnv xdg("XDG_DATA_HOME", "/data/op");
    EXPECT_EQ(RegistryPath(), "/data/op/component-registry/registry.ini");
  }
  {
    ScopedEnv xdg("XDG_DATA_HOME", "relative/ignored");
    EXPECT_EQ(RegistryPath(), "/home/op/.local/share/component-registry/registry.ini");
  }
  ScopedEnv xdg("XDG_DATA_HOME", nullptr);
  EXPECT_EQ(RegistryPath(), "/home/op/.local/share/component-registry/registry.ini");
}

TEST_F(RegistryTest, ClassAndTypeLibRoundTripAndRemovalLeavesOthers) {
  const TypeLibInfo lib{"{11111111-2222-3333-4444-555555555555}", "Lib", "1.0", "help", "/m/lib.so",
                        {{"{11111111-2222-3333-4444-000000000001}", "_DThing", "dispatch", true}}};
  ASSERT_EQ(RegisterTypeLib(lib), S_OK);
  const ClassInfo cls{"{11111111-2222-3333-4444-000000000010}", "Thing Control", "Thing.Ctrl.1", "/m/lib.so",
                      lib.libid, "1.0", 0x20191, true};
  ASSERT_EQ(RegisterClass(cls), S_OK);
  const ClassInfo other{"{99999999-2222-3333-4444-000000000010}", "Other", "Other.1", "/m/other.so", "", "2.0", 0,
                        false};
  ASSERT_EQ(RegisterClass(other), S_OK);

  const auto found = FindClass("{11111111-2222-3333-4444-000000000010}");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->typeName, "Thing Control");
  EXPECT_EQ(found->modulePath, "/m/lib.so");
  EXPECT_EQ(found->typeLibId, lib.libid);
  EXPECT_EQ(found->miscStatus, 0x20191u);
  EXPECT_TRUE(found->control);
  EXPECT_EQ(ClassIdFromProgId("Thing.Ctrl.1"), cls.clsid);
  const auto foundLib = FindTypeLib(lib.libid);
  ASSERT_TRUE(foundLib);
  EXPECT_EQ(foundLib->helpString, "help");
  ASSERT_EQ(foundLib->interfaces.size(), 1u);
  EXPECT_EQ(foundLib->interfaces[0].name, "_DThing");
  EXPECT_TRUE(foundLib->interfaces[0].hidden);
  EXPECT_NE(ReadFile(file_).find("MiscStatus=0x20191"), std::string::npos);

  ASSERT_EQ(UnregisterTypeLib(lib.libid), S_OK);
  ASSERT_EQ(UnregisterClass(cls.clsid), S_OK);
  EXPECT_FALSE(FindClass(cls.clsid));
  EXPECT_FALSE(FindTypeLib(lib.libid));
  EXPECT_EQ(ClassIdFromProgId("Thing.Ctrl.1"), "");
  EXPECT_EQ(ReadFile(file_).find("_DThing"), std::string::npos);
  EXPECT_TRUE(FindClass(other.clsid));  // untouched
  EXPECT_EQ(UnregisterClass(cls.clsid), S_OK);  // removing what is gone is fine
}

TEST_F(RegistryTest, ReRegisteringUnderANewProgIdDropsTheOldOne) {
  ClassInfo cls{"{11111111-2222-3333-4444-000000000020}", "T", "Old.Name.1", "/m/x.so", "", "1.0", 0, false};
  ASSERT_EQ(RegisterClass(cls), S_OK);
  cls.progId = "New.Name.1";
  ASSERT_EQ(RegisterClass(cls), S_OK);
  EXPECT_EQ(ClassIdFromProgId("Old.Name.1"), "");
  EXPECT_EQ(ClassIdFromProgId("New.Name.1"), cls.clsid);
}

TEST_F(RegistryTest, MalformedEntriesAreRefusedAndTheFileIsUntouched) {
  ClassInfo good{"{11111111-2222-3333-4444-000000000030}", "Good", "", "/m/x.so", "", "1.0", 0, false};
  ASSERT_EQ(RegisterClass(good), S_OK);
  const std::string before = ReadFile(file_);
  ClassInfo bad = good;
  bad.clsid = "{11111111-2222-3333-4444-000000000031}";
  bad.typeName = "Two\n[Class {11111111-2222-3333-4444-000000000099}]";
  EXPECT_EQ(RegisterClass(bad), E_INVALIDARG);
  bad.typeName = "ok";
  bad.progId = "has space.1";
  EXPECT_EQ(RegisterClass(bad), E_INVALIDARG);
  bad.progId = "";
  bad.clsid = "not-a-guid";
  EXPECT_EQ(RegisterClass(bad), E_INVALIDARG);
  EXPECT_EQ(RegisterTypeLib(TypeLibInfo{"x", "L", "1.0", "", "/m", {}}), E_INVALIDARG);
  EXPECT_EQ(ReadFile(file_), before);
}

TEST_F(RegistryTest, ConcurrentRegistrarsLoseNoEntry) {
  // Every edit rereads the file under the lock; without it, one writer's
  // rename would drop the other's entries.
  constexpr int kWriters = 4;
  constexpr int kEach = 25;
  std::vector<std::thread> writers;
  std::atomic<int> failures{0};
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([w, &failures] {
      for (int i = 0; i < kEach; ++i) {
        char clsid[64];
        std::snprintf(clsid, sizeof clsid, "{11111111-2222-3333-%04X-%012X}", w, i);
        const ClassInfo cls{clsid, "T", "", "/m/x.so", "", "1.0", 0, false};
        if (RegisterClass(cls) != S_OK) ++failures;
      }
    });
  }
  for (auto& t : writers) t.join();
  EXPECT_EQ(failures.load(), 0);
  int found = 0;
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kEach; ++i) {
      char clsid[64];
      std::snprintf(clsid, sizeof clsid, "{11111111-2222-3333-%04X-%012X}", w, i);
      if (FindClass(clsid)) ++found;
    }
  }
  EXPECT_EQ(found, kWriters * kEach);
}

TEST(RegistryWrite, UnwritableLocationReportsAWriteError) {
  ScopedEnv reg("COMPONENT_REGISTRY", "/proc/no-such-dir/registry.ini");
  const ClassInfo cls{"{11111111-2222-3333-4444-000000000040}", "T", "", "/m/x.so", "", "1.0", 0, false};
  EXPECT_EQ(RegisterClass(cls), REGDB_E_WRITEREGDB);
  EXPECT_FALSE(FindClass(cls.clsid));
}

TEST_F(RegistryTest, CreatingUnregisteredOrBrokenClassesFailsCleanly) {
  void* object = reinterpret_cast<void*>(0x1);
  std::string why;
  EXPECT_EQ(CreateInstance(testcomponent::kClsid, testcomponent::kIid, &object, &why), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  EXPECT_NE(why.find("not registered"), std::string::npos);
  EXPECT_EQ(CreateInstance("garbage", testcomponent::kIid, &object), E_INVALIDARG);
  EXPECT_EQ(CreateInstance(testcomponent::kClsid, testcomponent::kIid, nullptr), E_POINTER);

  // A registered class whose module is missing.
  ClassInfo cls{"{11111111-2222-3333-4444-000000000050}", "T", "", (dir_.Path() / "gone.so").string(), "", "1.0", 0,
                false};
  ASSERT_EQ(RegisterClass(cls), S_OK);
  EXPECT_EQ(CreateInstance(cls.clsid, testcomponent::kIid, &object, &why), CO_E_DLLNOTFOUND);
  EXPECT_EQ(object, nullptr);
  // A module without the class-object entry point (this very library).
  cls.modulePath = ModulePathOf(reinterpret_cast<const void*>(&RegistryPath));
  ASSERT_FALSE(cls.modulePath.empty());
  ASSERT_EQ(RegisterClass(cls), S_OK);
  EXPECT_EQ(CreateInstance(cls.clsid, testcomponent::kIid, &object), CO_E_ERRORINDLL);
  EXPECT_EQ(object, nullptr);
}

// The registrar on a real module: register, create by class id, unregister,
// creation fails again.
TEST_F(RegistryTest, RegistrarRoundTripOnARealModule) {
  const std::string module = TEST_MODULE_PATH;

  auto r = RunRegistrar({module});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("succeeded"), std::string::npos);
  const auto cls = FindClass(testcomponent::kClsid);
  ASSERT_TRUE(cls);
  EXPECT_EQ(cls->modulePath, fs::canonical(module).string());
  EXPECT_EQ(ClassIdFromProgId(testcomponent::kProgId), testcomponent::kClsid);
  ASSERT_TRUE(FindTypeLib(testcomponent::kLibId));

  void* raw = nullptr;
  ASSERT_EQ(CreateInstance(testcomponent::kClsid, testcomponent::kIid, &raw), S_OK);
  std::unique_ptr<testcomponent::Counter> counter(static_cast<testcomponent::Counter*>(raw));
  EXPECT_EQ(counter->Next(), 1);
  EXPECT_EQ(counter->Next(), 2);
  EXPECT_EQ(CreateInstance(testcomponent::kClsid, "{00000000-0000-0000-0000-000000000000}", &raw), E_NOINTERFACE);
  EXPECT_EQ(raw, nullptr);

  // The module stays loaded while an object lives.
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(dlsym(handle, "DllCanUnloadNow"));
  ASSERT_NE(canUnload, nullptr);
  EXPECT_EQ(canUnload(), S_FALSE);
  counter.reset();
  EXPECT_EQ(canUnload(), S_OK);
  dlclose(handle);  // drops only the reference taken here

  r = RunRegistrar({"/u", module});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_FALSE(FindClass(testcomponent::kClsid));
  EXPECT_FALSE(FindTypeLib(testcomponent::kLibId));
  EXPECT_EQ(CreateInstance(testcomponent::kClsid, testcomponent::kIid, &raw), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(raw, nullptr);
}

TEST_F(RegistryTest, RegistrarExitStatusTellsWhatWentWrong) {
  EXPECT_EQ(RunRegistrar({}).status, 1);
  EXPECT_EQ(RunRegistrar({"/x", TEST_MODULE_PATH}).status, 1);
  auto r = RunRegistrar({(dir_.Path() / "missing.so").string()});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.output.find("cannot load"), std::string::npos);
  const std::string noEntry = ModulePathOf(reinterpret_cast<const void*>(&RegistryPath));
  r = RunRegistrar({noEntry});
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.output.find("DllRegisterServer"), std::string::npos);

  // The type-library step is the first to write: an unwritable registry
  // fails there with SELFREG_E_TYPELIB.
  r = RunRegistrar({TEST_MODULE_PATH}, "/proc/no-such-dir/r.ini");
  EXPECT_EQ(r.status, 5);
  EXPECT_NE(r.output.find("0x80040200"), std::string::npos) << r.output;
}

}  // namespace
