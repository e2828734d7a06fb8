// Window messages: PostMessage between threads of one process.
//
// A window handle is a 32-bit number registered by the thread that owns the
// window.  Posting from any thread never blocks; messages are delivered on the
// owner thread, in the order posted, when that thread pumps its queue (the
// plain pump below, or the Qt adaptor of platform/qt_winmsg.h).
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

using Hwnd = uint32_t;
inline constexpr uint32_t WM_USER = 0x0400;

// Handler of one window: returns the message result.
using WindowProc = std::function<intptr_t(uint32_t msg, uintptr_t wParam, intptr_t lParam)>;

// Registers a window owned by the calling thread; returns its handle (never 0).
Hwnd CreateMessageWindow(WindowProc proc);
// Unregisters it; messages still queued for it are dropped.  Only the owner
// thread may destroy a window.
void DestroyMessageWindow(Hwnd hwnd);
bool IsMessageWindow(Hwnd hwnd);

// Queues a message for the window's owner thread.  False for an unknown or
// destroyed handle (nothing is queued).  Never blocks on the receiver.
bool PostMessage(Hwnd hwnd, uint32_t msg, uintptr_t wParam, intptr_t lParam);

// Calls the window procedure at once and stores its result in *result (when
// given).  Only the owner thread may send; false for a window of another
// thread or an unknown handle (nothing is called).
bool SendMessage(Hwnd hwnd, uint32_t msg, uintptr_t wParam, intptr_t lParam, intptr_t* result = nullptr);

// File descriptor of the calling thread's queue (an eventfd): readable while
// messages wait.  Lets an event loop watch the queue.
int MessageQueueFd();
// Delivers every message queued for the calling thread; returns how many.
int PumpMessages();
// Waits up to `timeoutMs` for a message for the calling thread, then pumps;
// returns how many were delivered.
int WaitAndPumpMessages(int timeoutMs);

// Message boxes raised by libraries (the A/D library's load errors).  The
// host may install a handler; by default the text goes to standard error.
using MessageBoxHook = std::function<void(const char* text, const char* title, uint32_t flags)>;
void SetMessageBoxHook(MessageBoxHook hook);
void LibraryMessageBox(const char* text, const char* title, uint32_t flags);
inline constexpr uint32_t MB_OK = 0x0;
inline constexpr uint32_t MB_ICONQUESTION = 0x20;
inline constexpr uint32_t MB_ICONERROR = 0x10;

}  // namespace platform
