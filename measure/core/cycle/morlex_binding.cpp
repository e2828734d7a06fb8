#include "cycle/morlex_binding.h"

#include <dlfcn.h>

#include <utility>

namespace varnel {

MorlexBinding::MorlexBinding(std::string libraryName, FailureHandler onFailure)
    : libraryName_(std::move(libraryName)), onFailure_(std::move(onFailure)) {}

MorlexBinding::~MorlexBinding() {
  // The library stays loaded for the life of the process, as a bound DLL
  // does: its worker threads and its device handle belong to the process.
}

void* MorlexBinding::Resolve(const char* name) {
  if (failed_) return nullptr;
  if (handle_ == nullptr) {
    // By the usual search: the program's run path ($ORIGIN) first.
    handle_ = dlopen(libraryName_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      failed_ = true;
      const char* why = dlerror();
      if (onFailure_) onFailure_("A/D library " + libraryName_ + " cannot be loaded: " + (why ? why : "unknown error"));
      return nullptr;
    }
  }
  void* fn = dlsym(handle_, name);
  if (fn == nullptr) {
    failed_ = true;
    if (onFailure_) onFailure_("A/D library " + libraryName_ + " has no entry point " + name);
  }
  return fn;
}

// Every call returns the library's failure value when it cannot be bound.

int32_t MorlexBinding::AdGetCardResource(uint32_t hwnd, int32_t reserved, int16_t* cardType, int16_t* ioBase,
                                         int16_t* irqNumber) {
  auto fn = Bind(getCardResource_, "AdGetCardResource");
  return fn ? fn(hwnd, reserved, cardType, ioBase, irqNumber) : AD_REQUEST_FAILED;
}

int32_t MorlexBinding::AdSetParam(uint32_t hwnd, int16_t cardType, int32_t mode, int16_t ioBase, int16_t irqNumber) {
  auto fn = Bind(setParam_, "AdSetParam");
  return fn ? fn(hwnd, cardType, mode, ioBase, irqNumber) : AD_REQUEST_FAILED;
}

int32_t MorlexBinding::AdSetChannel(int16_t channelCount, const int16_t* channels) {
  auto fn = Bind(setChannel_, "AdSetChannel");
  return fn ? fn(channelCount, channels) : AD_REQUEST_FAILED;
}

int32_t MorlexBinding::AdSetTrigger(int16_t kind, int16_t edge) {
  auto fn = Bind(setTrigger_, "AdSetTrigger");
  return fn ? fn(kind, edge) : AD_REQUEST_FAILED;
}

int32_t MorlexBinding::AdSetFreq(uint32_t hwnd, int16_t interval, int16_t unit) {
  auto fn = Bind(setFreq_, "AdSetFreq");
  return fn ? fn(hwnd, interval, unit) : AD_REQUEST_FAILED;
}

uintptr_t MorlexBinding::AdAllocDataMem(uint32_t hwnd, int32_t samplesPerChannel) {
  auto fn = Bind(allocDataMem_, "AdAllocDataMem");
  return fn ? static_cast<uintptr_t>(fn(hwnd, samplesPerChannel)) : 0;
}

int32_t MorlexBinding::AdFreeDataMem() {
  auto fn = Bind(freeDataMem_, "AdFreeDataMem");
  return fn ? fn() : AD_REQUEST_FAILED;
}

int32_t MorlexBinding::AdStartPolModeThread(uint32_t relayHwnd) {
  auto fn = Bind(startPolModeThread_, "AdStartPolModeThread");
  return fn ? fn(relayHwnd) : AD_REQUEST_FAILED;
}

uintptr_t MorlexBinding::VbMemCopy(uintptr_t destination, uintptr_t source, uint32_t byteCount) {
  auto fn = Bind(memCopy_, "VbMemCopy");
  return fn ? static_cast<uintptr_t>(fn(static_cast<intptr_t>(destination), static_cast<intptr_t>(source), byteCount))
            : 0;
}

}  // namespace varnel
