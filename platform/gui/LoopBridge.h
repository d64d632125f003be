// Public. Lets Qt's event loop drive the message loop, for a program whose windows are Qt widgets.
//
// While a TLoopBridge exists:
// - Qt's loop watches platform::LoopDescriptor() and calls DispatchPending whenever it is readable.
//   DispatchPending takes only the messages waiting at that moment, so a handler that keeps posting
//   cannot starve the windows: Qt runs its own events between two batches.
// - platform::ProcessMessages, which socket operations call while they wait, first runs
//   QCoreApplication::processEvents, so the windows keep painting and taking input meanwhile.
// - A quit message taken by that dispatch ends every running Qt loop (with exit code 0).
// An exception that escapes a message handler is shown by ShowErrorMessage: it must not unwind
// through Qt, which does not allow it.
//
// It needs a QCoreApplication and there is at most one at a time (a second one raises Exception).
// Destroying it removes the application pump, so that nothing calls into Qt after it is gone.
#pragma once

#include <memory>

class QSocketNotifier;

namespace platform::gui {

class TLoopBridge {
public:
  TLoopBridge();
  ~TLoopBridge();

  TLoopBridge(const TLoopBridge&) = delete;
  TLoopBridge& operator=(const TLoopBridge&) = delete;

private:
  std::unique_ptr<QSocketNotifier> FNotifier;
};

}  // namespace platform::gui
