// The main block of the windows (the program vantrel-windows, which vantrel starts when it is not
// headless): the application, the main window, the hidden log window, then the loop until the
// main window closes. Options given on the command line fill the windows in.
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include "relay/CommandLine.h"
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

// The options as the user would have set them by hand, in the windows' own ways.
void ApplyOptions(const TCommandLine& Options) {
  if (Options.LocalPort) Main->LocalPoort->setText(QString::fromStdString(*Options.LocalPort));
  if (Options.RemoteAddr) Main->RemoteAddr->setText(QString::fromStdString(*Options.RemoteAddr));
  if (Options.RemotePort) Main->RemotePort->setText(QString::fromStdString(*Options.RemotePort));
  if (Options.LineMode) Log->LineMode1Click(Log->LineMode1);
  if (Options.Hex) Log->Debugstring1Click(Log->Debugstring1);
  Main->SetTlsSettings(Options.Tls);
  Log->SetFaults(Options.Faults);
  Main->Relay()->SetFaults(Options.Faults);
  // Pressed once the loop runs, as a click: an error shows in its message box.
  if (Options.Listen) QTimer::singleShot(0, Main->ListenBtn, &QPushButton::click);
}

}  // namespace

int main(int argc, char** argv) {
  TCommandLine options;
  std::string error;
  if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::fprintf(stderr, "vantrel: %s\n", error.c_str());
    return 2;
  }
  RaiseOpenFileLimit();
  if (!HaveDisplay()) {
    std::fprintf(stderr,
                 "vantrel: no display to open its windows on.\n"
                 "Start it from a desktop session, run it under a virtual display (xvfb-run -a vantrel),\n"
                 "or run it without windows: vantrel --headless --help\n");
    return 1;
  }
  QApplication app(argc, argv);
  NameApplication();
  platform::gui::TLoopBridge bridge;  // Qt's loop drives the sockets' loop

  Main = new TMain;
  Main->show();
  Log = new TLog;  // hidden until its first entry
  BindLog(*Log);
  ApplyOptions(options);

  int rc = app.exec();
  // Sessions destroyed from here on belong to a program that is ending: they write no entries.
  platform::SetApplicationTerminated(true);
  delete Main;
  delete Log;
  return rc;
}
