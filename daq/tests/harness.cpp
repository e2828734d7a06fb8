#include "harness.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/winmsg.h"

namespace morlex_test {

void UseDeviceFolder(const std::string& folder) { ::setenv("QDA7100_DEVICE_DIR", folder.c_str(), 1); }

// ---------------------------------------------------------------- Library

namespace {
std::string LibraryPath() { return (BinDir() / "libMorlex.so").string(); }
}  // namespace

Library::Library() {
  handle_ = ::dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    missing_ = ::dlerror();
    return;
  }
#define MORLEX_TEST_RESOLVE(name)                                                   \
  name = reinterpret_cast<decltype(name)>(::dlsym(handle_, #name));                 \
  if (name == nullptr) missing_ += " " #name;
  MORLEX_TEST_EXPORTS(MORLEX_TEST_RESOLVE)
#undef MORLEX_TEST_RESOLVE
  AdSetXXX = reinterpret_cast<MorlexAdSetXXXFn>(::dlvsym(handle_, "_AdSetXXX", MORLEX_DECORATED_VERSION));
  if (AdSetXXX == nullptr) missing_ += " _AdSetXXX@8";
  AdStartIrq = reinterpret_cast<MorlexAdStartIrqFn>(::dlvsym(handle_, "_AdStartIrq", MORLEX_DECORATED_VERSION));
  if (AdStartIrq == nullptr) missing_ += " _AdStartIrq@8";
}

Library::~Library() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

morlex::AdParamBlock Library::Block() const {
  morlex::AdParamBlock block{};
  if (AdGetParamBlock != nullptr) AdGetParamBlock(reinterpret_cast<MorlexAddr>(&block), sizeof block);
  return block;
}

bool LibraryStillMapped() {
  void* h = ::dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h == nullptr) return false;
  ::dlclose(h);
  return true;
}

// ---------------------------------------------------------------- NotifyWindow

NotifyWindow::NotifyWindow() {
  hwnd_ = platform::CreateMessageWindow([this](uint32_t msg, uintptr_t wParam, intptr_t lParam) -> intptr_t {
    if (msg == AD_NOTIFY_MSG) notes_.push_back(Note{static_cast<uint16_t>(wParam), static_cast<int32_t>(lParam)});
    return 0;
  });
}

NotifyWindow::~NotifyWindow() { platform::DestroyMessageWindow(hwnd_); }

const std::vector<Note>& NotifyWindow::Pump() {
  platform::PumpMessages();
  return notes_;
}

const std::vector<Note>& NotifyWindow::WaitFor(size_t count, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  platform::PumpMessages();
  while (notes_.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    platform::WaitAndPumpMessages(static_cast<int>(std::min<int64_t>(left.count(), 100)));
  }
  return notes_;
}

std::vector<int16_t> Channels(std::initializer_list<int16_t> list) { return std::vector<int16_t>(list); }

}  // namespace morlex_test
