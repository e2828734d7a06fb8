/* Morlex: the A/D library of the QDA7100 card (libMorlex.so).
 *
 * Plain C functions over the card's driver.  Arguments and results are 32-bit
 * integers; where a value is 16 bits wide the function uses only the low 16
 * bits of its argument.  Results: 0 for success, a negative code for failure
 * (-10 always means that the driver request failed), or a count or an
 * address.  Addresses in the caller's process cross the boundary as
 * pointer-width integers (MorlexAddr).  Several functions take a first
 * argument they ignore (the measurement program passes its main window
 * there); it is declared as `MorlexAddr ignored`.
 *
 * Progress of an acquisition is reported only by AD_NOTIFY_MSG posted to the
 * window the caller names (a 32-bit window handle of the platform's window
 * messages, passed as a MorlexAddr).
 *
 * Two exports carry a decorated name, `_AdSetXXX@8` and `_AdStartIrq@8`.  A
 * Windows build exports exactly those names.  In the ELF build "@8" is the
 * symbol's version: the symbol `_AdSetXXX` (and `_AdStartIrq`) is defined in
 * version node "8", so `nm -D` lists it as `_AdSetXXX@8`, and a caller binds
 * it with dlvsym(handle, "_AdSetXXX", "8").  MORLEX_DECORATED_VERSION holds
 * that version name.
 */
#ifndef MORLEX_H
#define MORLEX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(MORLEX_BUILDING)
#define MORLEX_API __declspec(dllexport)
#else
#define MORLEX_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define MORLEX_API __attribute__((visibility("default")))
#else
#define MORLEX_API
#endif

typedef intptr_t MorlexAddr;

/* The library's notification: WM_USER + 7100.  wParam: status (16 bits);
 * lParam: count or value. */
#define AD_NOTIFY_MSG 8124
#define AD_STATUS_STARTED 1        /* conversion starts at once */
#define AD_STATUS_FIFO_OVERRUN 2   /* ring mode ended by a FIFO overrun (the driver's status word) */
#define AD_STATUS_WAIT_TRIGGER 4   /* waits for the external start trigger */
#define AD_STATUS_FAILED 8         /* failed to start, or its completion failed */
#define AD_STATUS_STOPPED_EXT 64   /* ended early by the external stop trigger; lParam samples */
#define AD_STATUS_COMPLETE 128     /* ended with the requested count; lParam samples */

#define AD_REQUEST_FAILED (-10)
#define MORLEX_DECORATED_VERSION "8"

/* ---- Card and parameter functions ---- */
MORLEX_API int32_t AdGetCardResource(MorlexAddr ignored1, MorlexAddr ignored2, int16_t* cardType,
                                     int16_t* ioBase, int16_t* irqNumber);
MORLEX_API int32_t AdSetParam(MorlexAddr ignored, int32_t cardType, int32_t mode, int32_t ioBase,
                              int32_t irqNumber);
MORLEX_API int32_t AdSetParamAuto(MorlexAddr ignored, int32_t mode);
MORLEX_API int32_t AdSetOneParam(MorlexAddr ignored, int32_t cardType, int32_t ioBase);
MORLEX_API int32_t AdSetChannel(int32_t channelCount, const int16_t* channels);
MORLEX_API int32_t AdSetTrigger(int32_t kind, int32_t edge);
MORLEX_API int32_t AdSetFreq(MorlexAddr ignored, int32_t interval, int32_t unit);
MORLEX_API int32_t AdSetInternalClock(int32_t value1, int32_t value2, int32_t value3);
MORLEX_API int32_t AdSetExternalClock(int32_t value1, int32_t value2, int32_t value3);
MORLEX_API int32_t AdSetDataCount(int32_t samplesPerChannel);
MORLEX_API int32_t AdSetLimitTrg(double upperVolts, double lowerVolts, int32_t limitMode);
/* `_AdSetXXX@8` (see above): resends the parameter block. */
typedef int32_t (*MorlexAdSetXXXFn)(int32_t ignored1, int32_t ignored2);

/* ---- Memory functions ---- */
MORLEX_API MorlexAddr AdAllocDataMem(MorlexAddr ignored, int32_t samplesPerChannel);
MORLEX_API int32_t AdFreeDataMem(void);
MORLEX_API MorlexAddr AdAllocMem(MorlexAddr ignored, int32_t bytes);
MORLEX_API int32_t AdFreeMem(MorlexAddr address);
MORLEX_API MorlexAddr VbMemCopy(MorlexAddr destination, MorlexAddr source, uint32_t bytes);

/* ---- Acquisition ---- */
/* AdStartPolModeThread runs the acquisition in the caller's thread and
 * returns when it has ended and its notifications are posted: 0, or -1 when
 * no data buffer is set, or AD_POL_TIMED_OUT when the driver did not
 * complete it in time.  The time limit is twice the block's acquisition time
 * (samples per channel x sampling interval), at least 5 s, plus 60 s when
 * the external start trigger is set.  A timed-out request is cancelled (the
 * driver never writes into the buffer afterwards) and its single failure
 * notification (AD_STATUS_FAILED, 0) is posted as for any other failure, so
 * a caller that ignores the result sees a failed acquisition. */
#define AD_POL_TIMED_OUT (-2)
MORLEX_API int32_t AdStartPolModeThread(MorlexAddr window);
MORLEX_API int32_t AdStartIrqVxdMode(MorlexAddr window, int32_t blockSamples);
/* `_AdStartIrq@8` (see above): as AdStartIrqVxdMode. */
typedef int32_t (*MorlexAdStartIrqFn)(MorlexAddr window, int32_t blockSamples);
MORLEX_API int32_t AdStopIrqMode(void);

/* ---- Ring buffer ---- */
MORLEX_API int32_t AdAllocRingBuf(MorlexAddr ignored, int32_t ringSamples, int32_t samplesPerChannel);
MORLEX_API void AdFreeRingBuf(void);
MORLEX_API int32_t AdStartIrqRingMode(MorlexAddr window, int32_t blockSamples);
MORLEX_API int32_t GetRingBufNum(void);
MORLEX_API int32_t AdGetRingBuf(MorlexAddr destination, int32_t offsetSamples, int32_t count);
MORLEX_API int32_t VbGetRingBuf(MorlexAddr destination, int32_t offsetSamples, int32_t count);
MORLEX_API int32_t AdGetRingBufConst(MorlexAddr destination, int32_t offsetSamples, int32_t count);
MORLEX_API int32_t VbGetRingBufConst(MorlexAddr destination, int32_t offsetSamples, int32_t count);

/* ---- Limit trigger ---- */
MORLEX_API int32_t AdAllocTrgBuf(int32_t period, int32_t unit, int32_t channels, int32_t span1,
                                 int32_t span2);
MORLEX_API void AdFreeTrgBuf(void);
MORLEX_API int32_t AdStartLimitTrgMode(MorlexAddr window);
MORLEX_API int32_t AdReStartLimitTrgMode(MorlexAddr window);
MORLEX_API int32_t AdStopLimitTrgMode(void);
MORLEX_API int32_t AdGetTrgData(MorlexAddr ignored, MorlexAddr destination);

/* ---- One-shot conversion, stop and test requests ---- */
MORLEX_API int32_t AdOneShot(MorlexAddr ignored, MorlexAddr destination);
MORLEX_API int32_t AdStopOneshotModeThread(void);
MORLEX_API int32_t testAdStartPol(void);
MORLEX_API int32_t testAdStopPol(void);
MORLEX_API int32_t AdCreateSystemThread(MorlexAddr ignored);

/* ---- Diagnostics ---- */
/* Copies the 80-byte parameter block (little-endian wire form) to
 * `destination` when `bytes` is at least 80; returns the number of bytes
 * copied (80) or 0.  Changes nothing. */
MORLEX_API int32_t AdGetParamBlock(MorlexAddr destination, int32_t bytes);

#ifdef __cplusplus
}
#endif

#endif /* MORLEX_H */
