// Bounded waits for tests that run a Qt event loop (link Qt6::Core).
#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>

#include "child_process.h"

namespace lw::testing {

// Runs the Qt event loop until `done` holds or a generous deadline passes.
template <typename Condition>
bool ProcessUntil(Condition done, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
  return WaitUntil(done, [] { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50); }, deadline);
}

}  // namespace lw::testing
