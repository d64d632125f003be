// Qt's loop drives ours through a read notifier on the loop descriptor (see LoopBridge.h).
#include "platform/gui/LoopBridge.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include "platform/Exception.h"
#include "platform/MessageLoop.h"
#include "platform/gui/ErrorBox.h"

namespace platform::gui {
namespace {

bool gBridgeExists = false;

void DispatchFromQt() {
  const bool wasTerminated = ApplicationTerminated();
  RunGuarded(DispatchPending);
  // A posted quit message would otherwise be swallowed: Qt's loop, not ours, is the one running.
  // exit, not quit: quit does nothing unless the application's own exec is running, and a quit
  // message ends whichever loops run. The message's exit code is not passed on.
  if (!wasTerminated && ApplicationTerminated()) QCoreApplication::exit(0);
}

}  // namespace

TLoopBridge::TLoopBridge() {
  if (gBridgeExists) throw Exception("The message loop is already bridged to Qt");
  if (!QCoreApplication::instance()) throw Exception("The message loop needs a Qt application to bridge to");
  // The descriptor stays readable for as long as messages wait, and DispatchPending drains it when
  // the queue runs empty, so the notifier fires exactly while there is work.
  FNotifier = std::make_unique<QSocketNotifier>(LoopDescriptor(), QSocketNotifier::Read);
  QObject::connect(FNotifier.get(), &QSocketNotifier::activated, FNotifier.get(), &DispatchFromQt);
  SetApplicationPump([] { QCoreApplication::processEvents(QEventLoop::AllEvents); });
  gBridgeExists = true;
}

TLoopBridge::~TLoopBridge() {
  SetApplicationPump(nullptr);
  FNotifier.reset();
  gBridgeExists = false;
}

}  // namespace platform::gui
