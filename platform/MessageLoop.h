// Public. The thread's event loop and its notification endpoints ("windows").
//
// One FIFO queue per process (the program has one thread). Posted messages and the socket layer's
// readiness notifications are delivered in the order they were queued, one at a time; a handler
// runs to its end before the next message is taken. PostMessage never delivers during the call.
// Pumping is re-entrant: a handler may pump again and then takes the next messages of the same
// queue.
//
// Endpoints belong to a registered window class, carry one pointer-sized user value and get a
// handle that is never reused in the process. Destroying an endpoint drops every message still
// queued for it and kills its timers.
//
// Timers, as SetTimer and KillTimer of a window: an endpoint's timer puts WM_TIMER (WParam = its
// identifier) into the queue each time its period has passed, at most one at a time: while one
// waits in the queue, a period that ends adds nothing, and the next period starts when it ends,
// so a loop that falls behind gets fewer messages, never a burst. All timers share one timer
// descriptor of the loop, armed for the earliest deadline.
//
// The loop exposes one descriptor (LoopDescriptor) that is readable whenever there is work, so that
// a GUI toolkit's loop can watch it and call DispatchPending. An installed application pump makes
// ProcessMessages pump the GUI as well. Nothing here depends on a GUI toolkit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Messages.h"

namespace platform {

using TWndProc = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

// Window classes. RegisterWindowClass fails (false) when the name is taken; classes are never
// unregistered.
bool RegisterWindowClass(const std::string& ClassName, TWndProc Proc);
bool IsWindowClassRegistered(const std::string& ClassName);

// Creates an endpoint of a registered class. Returns 0 when the class is unknown or creation fails.
HWND CreateNotifyWindow(const std::string& ClassName);
// Destroys the endpoint and drops its queued messages. False for an unknown handle.
bool DestroyNotifyWindow(HWND Wnd);
bool IsWindow(HWND Wnd);
// The endpoint's pointer-sized user value (0 after creation).
bool SetWindowLongPtr(HWND Wnd, std::intptr_t Value);
std::intptr_t GetWindowLongPtr(HWND Wnd);

// Queues a message for the endpoint; false (nothing queued) when the endpoint does not exist.
bool PostMessage(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam);
// Queues a quit message (hwnd 0, WM_QUIT, wParam = ExitCode).
void PostQuitMessage(int ExitCode);
// The default processing of a message that no handler takes: answers 0.
LRESULT DefWindowProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam);

// Takes the next waiting message of the thread (any endpoint, quit messages included) without
// waiting; false when none is waiting.
bool PeekMessage(TMsg& Msg);
void TranslateMessage(const TMsg& Msg);
// Hands the message to its endpoint's window procedure; 0 when the endpoint no longer exists.
LRESULT DispatchMessage(const TMsg& Msg);

// The application's "process all pending messages": runs the application pump when one is
// installed (and this is not already inside it), then dispatches every message that is waiting
// when it starts. A quit message taken here sets ApplicationTerminated and is not dispatched.
void ProcessMessages();
// The same without the application pump; what a GUI toolkit calls when LoopDescriptor is readable.
void DispatchPending();
// Runs until a quit message is taken; returns its exit code.
int RunMessageLoop();
// Waits up to TimeoutMs (-1: no limit) for work, then dispatches what is waiting. True when
// anything was dispatched. For loops that wait for a condition with a deadline.
bool WaitAndDispatch(int TimeoutMs);

// Starts the endpoint's timer IDEvent with a period of ElapseMs (0 counts as 1); setting an
// existing timer again restarts it with the new period and drops its WM_TIMER still queued.
// Returns IDEvent (1 for an IDEvent of 0), or 0 (nothing started) when the endpoint does not
// exist.
UINT_PTR SetTimer(HWND Wnd, UINT_PTR IDEvent, UINT ElapseMs);
// Stops the timer and drops its WM_TIMER still queued; false when there is no such timer.
bool KillTimer(HWND Wnd, UINT_PTR IDEvent);
// Timers running (a test's view).
std::size_t TimerCount();

bool ApplicationTerminated();
void SetApplicationTerminated(bool Value);

// A descriptor that is readable whenever the loop has work (queued messages, ready sockets or a
// timer whose period has passed).
int LoopDescriptor();
void SetApplicationPump(std::function<void()> Pump);

// Messages queued and not yet taken (a test's and a debugger's view of the queue).
std::size_t PendingMessageCount();

// For tests: the next CreateNotifyWindow calls fail, as window creation can.
void FailNextWindowCreations(int Count);

// ---- for the socket layer of the platform -------------------------------------------------
namespace loop {

// Readiness of a watched descriptor, as epoll reports it (edge-triggered). The handler runs on the
// loop thread while the loop collects readiness; it may only queue messages, never run user code.
using TReadyHandler = std::function<void(std::uint32_t Events)>;
bool Watch(int Fd, std::uint32_t Events, TReadyHandler Handler);
void Unwatch(int Fd);

// Tokens mark queued notifications that must be dropped once their source is gone (a socket
// closed, or selected anew). A message posted with a token is delivered only while the token is
// live.
std::uint64_t NewToken();
void RevokeToken(std::uint64_t Token);
bool PostTokenMessage(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam, std::uint64_t Token);
// Whether a message posted with Token still waits in the queue.
bool IsTokenQueued(std::uint64_t Token);

}  // namespace loop
}  // namespace platform
