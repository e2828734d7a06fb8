// Binds the A/D library by file name and each function by name at its first
// call, as the program always has.  A missing library or entry point is
// reported once through `onFailure` (the program shows it and ends with a
// distinct exit status); the call then returns the library's failure value.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "cycle/morlex_api.h"

namespace varnel {

inline constexpr const char* kMorlexLibrary = "libMorlex.so";

class MorlexBinding : public MorlexApi {
 public:
  using FailureHandler = std::function<void(const std::string& message)>;
  explicit MorlexBinding(std::string libraryName = kMorlexLibrary, FailureHandler onFailure = {});
  ~MorlexBinding() override;
  MorlexBinding(const MorlexBinding&) = delete;
  MorlexBinding& operator=(const MorlexBinding&) = delete;

  int32_t AdGetCardResource(uint32_t hwnd, int32_t reserved, int16_t* cardType, int16_t* ioBase,
                            int16_t* irqNumber) override;
  int32_t AdSetParam(uint32_t hwnd, int16_t cardType, int32_t mode, int16_t ioBase, int16_t irqNumber) override;
  int32_t AdSetChannel(int16_t channelCount, const int16_t* channels) override;
  int32_t AdSetTrigger(int16_t kind, int16_t edge) override;
  int32_t AdSetFreq(uint32_t hwnd, int16_t interval, int16_t unit) override;
  uintptr_t AdAllocDataMem(uint32_t hwnd, int32_t samplesPerChannel) override;
  int32_t AdFreeDataMem() override;
  int32_t AdStartPolModeThread(uint32_t relayHwnd) override;
  uintptr_t VbMemCopy(uintptr_t destination, uintptr_t source, uint32_t byteCount) override;

  // True once a binding step has failed.
  bool Failed() const { return failed_; }

 private:
  void* Resolve(const char* name);
  template <typename Fn>
  Fn Bind(Fn& slot, const char* name) {
    if (slot == nullptr) slot = reinterpret_cast<Fn>(Resolve(name));
    return slot;
  }

  std::string libraryName_;
  FailureHandler onFailure_;
  void* handle_ = nullptr;
  bool failed_ = false;

  int32_t (*getCardResource_)(intptr_t, intptr_t, int16_t*, int16_t*, int16_t*) = nullptr;
  int32_t (*setParam_)(intptr_t, int32_t, int32_t, int32_t, int32_t) = nullptr;
  int32_t (*setChannel_)(int32_t, const int16_t*) = nullptr;
  int32_t (*setTrigger_)(int32_t, int32_t) = nullptr;
  int32_t (*setFreq_)(intptr_t, int32_t, int32_t) = nullptr;
  intptr_t (*allocDataMem_)(intptr_t, int32_t) = nullptr;
  int32_t (*freeDataMem_)() = nullptr;
  int32_t (*startPolModeThread_)(intptr_t) = nullptr;
  intptr_t (*memCopy_)(intptr_t, intptr_t, uint32_t) = nullptr;
};

}  // namespace varnel
