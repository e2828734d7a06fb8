// The nine functions of the A/D library that the measurement program calls.
//
// The program binds the library by name at run time (morlex_binding.h);
// tests use a scripted fake.  Addresses cross the boundary as pointer-width
// integers.
#pragma once

#include <cstdint>

namespace varnel {

class MorlexApi {
 public:
  virtual ~MorlexApi() = default;
  virtual int32_t AdGetCardResource(uint32_t hwnd, int32_t reserved, int16_t* cardType, int16_t* ioBase,
                                    int16_t* irqNumber) = 0;
  virtual int32_t AdSetParam(uint32_t hwnd, int16_t cardType, int32_t mode, int16_t ioBase, int16_t irqNumber) = 0;
  virtual int32_t AdSetChannel(int16_t channelCount, const int16_t* channels) = 0;
  virtual int32_t AdSetTrigger(int16_t kind, int16_t edge) = 0;
  virtual int32_t AdSetFreq(uint32_t hwnd, int16_t interval, int16_t unit) = 0;
  virtual uintptr_t AdAllocDataMem(uint32_t hwnd, int32_t samplesPerChannel) = 0;
  virtual int32_t AdFreeDataMem() = 0;
  virtual int32_t AdStartPolModeThread(uint32_t relayHwnd) = 0;
  virtual uintptr_t VbMemCopy(uintptr_t destination, uintptr_t source, uint32_t byteCount) = 0;
};

}  // namespace varnel
