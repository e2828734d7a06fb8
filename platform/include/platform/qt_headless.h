// A window program on a machine without a display (a headless site PC, a
// program started as a service): Qt would abort in its platform plugin, so
// the program chooses Qt's offscreen platform itself before it creates its
// QApplication.
#pragma once

#include <functional>

namespace platform {

// Whether a program with this environment (`getenv`) and these arguments
// has nowhere to show its windows and no platform was chosen for it: no
// DISPLAY, no WAYLAND_DISPLAY, no QT_QPA_PLATFORM (empty counts as none) and
// no -platform argument.
bool LacksDisplay(const std::function<const char*(const char*)>& getenv, int argc, char** argv);

// When LacksDisplay holds for this process, sets QT_QPA_PLATFORM=offscreen
// (which the programs it starts inherit) and says so once on standard error
// as "<program>: ...".  Call before the QApplication exists.  Returns whether
// it chose the offscreen platform.
bool UseOffscreenWithoutDisplay(const char* program, int argc, char** argv);

// Keeps Qt's remarks about the environment it runs in out of the program's
// log, which operators read: on a headless site PC or under a service
// manager they appear at every start and say nothing about the site
// ("QStandardPaths: XDG_RUNTIME_DIR not set, ...", the offscreen platform's
// "This plugin does not support propagateSizeHints()").  Every other
// message goes on to Qt's own handler.  Call before the QApplication exists.
void DropQtEnvironmentRemarks();

}  // namespace platform
