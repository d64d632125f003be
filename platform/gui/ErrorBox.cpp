// The error box and the guard around Qt-called handlers.
#include "platform/gui/ErrorBox.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <exception>

namespace platform::gui {
namespace {

TErrorHandler& Replacement() {
  static TErrorHandler handler;
  return handler;
}

void ShowBox(const std::string& Message) {
  QString text = QString::fromUtf8(Message.data(), static_cast<qsizetype>(Message.size()));
  // Socket error texts put CR LF between the failing call and the error's own text.
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
    // No windows to show a box over (a program without widgets): the terminal is all there is.
    std::fprintf(stderr, "%s\n", qPrintable(text));
    return;
  }
  QMessageBox::critical(QApplication::activeWindow(), QGuiApplication::applicationDisplayName(), text);
}

}  // namespace

void ShowErrorMessage(const std::string& Message) {
  // A copy, so that a handler that replaces itself while it runs stays alive until it returns.
  TErrorHandler handler = Replacement();
  if (handler) {
    handler(Message);
  } else {
    ShowBox(Message);
  }
}

TErrorHandler SetErrorHandler(TErrorHandler Handler) { return std::exchange(Replacement(), std::move(Handler)); }

void RunGuarded(const std::function<void()>& Handler) {
  try {
    Handler();
  } catch (const std::exception& E) {
    ShowErrorMessage(E.what());
  } catch (...) {
    ShowErrorMessage("Unexpected error");
  }
}

}  // namespace platform::gui
