// Binds the A/D library by file name and each function by name at its first
// call, as the program always has.  A missing library or entry point is
// reported once through `onFailure` (the program shows it and ends with a
// distinct exit status); the call then returns the library's failure value.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "cycle/morlex_api.h"
#include "morlex.h"

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

  // The entry points, typed by the library's own declarations (morlex.h);
  // only their types are used, the symbols are bound by name at run time.
  decltype(&::AdGetCardResource) getCardResource_ = nullptr;
  decltype(&::AdSetParam) setParam_ = nullptr;
  decltype(&::AdSetChannel) setChannel_ = nullptr;
  decltype(&::AdSetTrigger) setTrigger_ = nullptr;
  decltype(&::AdSetFreq) setFreq_ = nullptr;
  decltype(&::AdAllocDataMem) allocDataMem_ = nullptr;
  decltype(&::AdFreeDataMem) freeDataMem_ = nullptr;
  decltype(&::AdStartPolModeThread) startPolModeThread_ = nullptr;
  decltype(&::VbMemCopy) memCopy_ = nullptr;
};

}  // namespace varnel
