// What every KIVO host test needs: a QApplication, a private component
// registry, and the real module registered in it with the real registrar.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace kivotest {

inline QApplication& App() {
  static int argc = 1;
  static char name[] = "kivo_test";
  static char* argv[] = {name, nullptr};
  static auto* app = new QApplication(argc, argv);
  return *app;
}

struct CommandResult {
  int status = -1;
  std::string output;
};

inline CommandResult RunCommand(const std::string& command) {
  CommandResult r;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return r;
  std::array<char, 512> buf{};
  while (fgets(buf.data(), buf.size(), pipe) != nullptr) r.output += buf.data();
  const int raw = pclose(pipe);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

inline CommandResult Registrar(const std::string& args) {
  return RunCommand(std::string(COMPONENT_REGISTER_PATH) + " " + args);
}

// Runs the Qt event loop until `done` holds or a generous deadline passes.
template <typename Pred>
bool ProcessUntil(Pred done, int deadlineMs = 20000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > deadlineMs) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  return true;
}

// A registry file of the test's own, with the module registered in it.
class RegisteredModule : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    App();
    std::string tmpl = (std::filesystem::temp_directory_path() / "kivo-test-XXXXXX").string();
    s_dir = mkdtemp(tmpl.data());
    setenv("COMPONENT_REGISTRY", (s_dir / "registry.ini").c_str(), 1);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    std::filesystem::remove_all(s_dir, ec);
  }
  void SetUp() override {
    const CommandResult r = Registrar(KIVO_MODULE_PATH);
    ASSERT_EQ(r.status, 0) << r.output;
  }
  static inline std::filesystem::path s_dir;
};

}  // namespace kivotest
