// What every KIVO host test needs: a QApplication, a private component
// registry, and the real module registered in it with the real registrar.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "qt_events.h"

namespace kivotest {

inline QApplication& App() {
  static int argc = 1;
  static char name[] = "kivo_test";
  static char* argv[] = {name, nullptr};
  static auto* app = new QApplication(argc, argv);
  return *app;
}

// component-register run to its end with `args`, the registry file named by
// `registry` when given (else the one the test set up).
inline lw::testing::ProgramRun Registrar(const std::vector<std::string>& args, const std::string& registry = "") {
  lw::testing::ChildOptions options;
  if (!registry.empty()) options.environment["COMPONENT_REGISTRY"] = registry;
  return lw::testing::RunProgram(COMPONENT_REGISTER_PATH, args, options);
}

using lw::testing::ProcessUntil;

// A registry file of the test's own, with the module registered in it.
class RegisteredModule : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    App();
    s_dir = std::make_unique<lw::testing::TempDir>("kivo-test");
    setenv("COMPONENT_REGISTRY", (s_dir->Path() / "registry.ini").c_str(), 1);
  }
  static void TearDownTestSuite() { s_dir.reset(); }
  void SetUp() override {
    const auto r = Registrar({KIVO_MODULE_PATH});
    ASSERT_EQ(r.status, 0) << r.output;
  }
  static inline std::unique_ptr<lw::testing::TempDir> s_dir;
};

}  // namespace kivotest
