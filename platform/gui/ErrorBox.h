// Public. How an error that escapes a window's handler reaches the user: a message box that shows
// the exception's message. Every handler that Qt calls (button, menu, the loop bridge) runs inside
// RunGuarded, because an exception must never unwind through Qt's own code.
//
// Tests replace the box with SetErrorHandler: a modal box would block a headless run.
#pragma once

#include <functional>
#include <string>
#include <utility>

namespace platform::gui {

using TErrorHandler = std::function<void(const std::string& Message)>;

// Shows Message in the error box, or hands it to the handler installed with SetErrorHandler.
void ShowErrorMessage(const std::string& Message);

// Replaces the error box; an empty handler restores it. Returns the handler it replaces (empty
// when the box was in place).
TErrorHandler SetErrorHandler(TErrorHandler Handler);

// Runs Handler. An exception that escapes it goes to ShowErrorMessage and no further.
void RunGuarded(const std::function<void()>& Handler);

// Wraps a handler for QObject::connect: the result ignores the signal's arguments and runs the
// handler inside RunGuarded.
template <class F>
auto Guarded(F Handler) {
  return [Handler = std::move(Handler)]() { RunGuarded(Handler); };
}

}  // namespace platform::gui
