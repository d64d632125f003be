// The main block: the application, the main window, the hidden log window, then the loop until the
// main window closes.
#include <QApplication>

#include <cstdio>
#include <cstdlib>

#include "app/uMain.h"
#include "log/uLog.h"
#include "platform/MessageLoop.h"
#include "platform/gui/LoopBridge.h"

namespace {

bool HaveDisplay() {
  auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0';
  };
  return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char** argv) {
  if (!HaveDisplay()) {
    std::fprintf(stderr,
                 "vantrel: no display to open its windows on.\n"
                 "Start it from a desktop session, or for a headless check run it under a virtual\n"
                 "display: xvfb-run -a build/app/vantrel\n");
    return 1;
  }
  QApplication app(argc, argv);
  platform::gui::TLoopBridge bridge;  // Qt's loop drives the sockets' loop

  Main = new TMain;
  Main->show();
  Log = new TLog;  // hidden until its first entry
  Log->OnLineModeChange = [](QObject*, bool LineMode) {
    if (Main != nullptr) Main->SwitchLineMode(LineMode);
  };

  int rc = app.exec();
  // Sessions destroyed from here on belong to a program that is ending: they write no entries.
  platform::SetApplicationTerminated(true);
  delete Main;
  delete Log;
  return rc;
}
