#include "platform/qt_headless.h"

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

bool Set(const std::function<const char*(const char*)>& getenv, const char* name) {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0';
}

QtMessageHandler g_qtHandler = nullptr;

// Warnings Qt gives about the machine rather than the program: the runtime
// folder a service or a root shell has none of, and the size hints the
// offscreen platform cannot pass to a window manager it does not have.
bool IsEnvironmentRemark(QtMsgType type, const QString& message) {
  return type == QtWarningMsg && (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")) ||
                                  message == QLatin1String("This plugin does not support propagateSizeHints()"));
}

void FilterQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (IsEnvironmentRemark(type, message)) return;
  g_qtHandler(type, context, message);
}

}  // namespace

void DropQtEnvironmentRemarks() {
  if (g_qtHandler == nullptr) g_qtHandler = qInstallMessageHandler(FilterQtMessage);
}

bool LacksDisplay(const std::function<const char*(const char*)>& getenv, int argc, char** argv) {
  if (Set(getenv, "DISPLAY") || Set(getenv, "WAYLAND_DISPLAY") || Set(getenv, "QT_QPA_PLATFORM")) return false;
  // Qt takes its options with one dash or two.
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) return false;
  return true;
}

bool UseOffscreenWithoutDisplay(const char* program, int argc, char** argv) {
  if (!LacksDisplay([](const char* name) { return std::getenv(name); }, argc, argv)) return false;
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  std::fprintf(stderr, "%s: no display (DISPLAY and WAYLAND_DISPLAY are unset): using Qt's offscreen platform\n",
               program);
  return true;
}

}  // namespace platform
