#include "platform/qt_headless.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

bool Set(const std::function<const char*(const char*)>& getenv, const char* name) {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

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
