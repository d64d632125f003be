// Pictures of the two windows as a user sees them, for scripts/screenshot: a real session relays
// a little traffic on loopback (text, then hex), then both windows are grabbed from the screen,
// and the log once more with Intercept on and a request held in its panel.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QLineEdit>
#include <QPixmap>
#include <QWidget>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <string>

#include "app/uMain.h"
#include "log/uLog.h"
#include "platform/MessageLoop.h"
#include "platform/gui/LoopBridge.h"

namespace {

void RunQt(int Ms) {
  QEventLoop loop;
  QTimer::singleShot(Ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// The window as drawn on the display, without whatever overlaps it there.
bool Save(QWidget* W, const QString& Path) { return W->grab().save(Path, "PNG"); }

// The remote server (a listener and the ends it accepts) and three local clients, all
// components on the program's own loop.
struct TPeers {
  TWSocket Server{nullptr};
  TWSocket RemoteEnds[3] = {TWSocket{nullptr}, TWSocket{nullptr}, TWSocket{nullptr}};
  TWSocket Clients[3] = {TWSocket{nullptr}, TWSocket{nullptr}, TWSocket{nullptr}};
  int Accepted = 0;
};

}  // namespace

int main(int argc, char** argv) {
  QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("build/screenshots");
  QDir().mkpath(dir);
  QApplication app(argc, argv);
  platform::gui::TLoopBridge bridge;
  Main = new TMain;
  Main->show();
  Log = new TLog;
  BindLog(*Log);  // as the program does: the log's commands reach the relay

  TPeers peers;
  peers.Server.SetAddr("127.0.0.1");
  peers.Server.SetPort("0");
  peers.Server.Listen();
  peers.Server.OnSessionAvailable = [&](TComponent*, std::uint16_t) {
    if (peers.Accepted < 3) peers.RemoteEnds[peers.Accepted++].Dup(peers.Server.Accept());
  };
  for (TWSocket& end : peers.RemoteEnds)
    end.OnDataAvailable = [&end](TComponent*, std::uint16_t) {
      std::string request = end.ReceiveText();
      if (request.find("\r\n\r\n") != std::string::npos)
        end.SendText("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello from the remote side\r\n");
    };
  for (TWSocket& client : peers.Clients)
    client.OnDataAvailable = [&client](TComponent*, std::uint16_t) { client.ReceiveText(); };

  Main->LocalPoort->setText("18080");
  Main->RemoteAddr->setText("127.0.0.1");
  Main->RemotePort->setText(QString::fromStdString(peers.Server.GetBoundPort()));
  Main->ListenBtn->click();
  // Three sessions open at once, so each has its own colour; the last exchange as a hex dump.
  for (int round = 0; round < 3; ++round) {
    if (round == 2) Log->Debugstring1Click(Log);
    TWSocket& client = peers.Clients[round];
    client.SetAddr("127.0.0.1");
    client.SetPort("18080");
    client.Connect();
    RunQt(300);
    client.SendText("GET /page" + std::to_string(round) + " HTTP/1.0\r\nHost: localhost\r\n\r\n");
    RunQt(300);
  }
  peers.Clients[0].Close();  // one session ends
  RunQt(300);
  Log->resize(700, 500);
  RunQt(500);
  bool ok = Save(Main, dir + "/main.png") && Save(Log, dir + "/log.png");
  // Intercept on: the next request is held in the panel under the log, waiting for a decision.
  Log->Intercept1->trigger();
  RunQt(100);
  peers.Clients[1].SendText("GET /held HTTP/1.0\r\nHost: localhost\r\n\r\n");
  RunQt(500);
  Log->resize(700, 700);
  RunQt(300);
  ok = Save(Log, dir + "/intercept.png") && ok;
  Log->Intercept1->trigger();  // unchecked: the held request goes on
  RunQt(300);
  std::printf("%s: %s/main.png %s/log.png %s/intercept.png\n", ok ? "saved" : "could not save", qPrintable(dir),
              qPrintable(dir), qPrintable(dir));

  platform::SetApplicationTerminated(true);
  delete Main;
  delete Log;
  return ok ? 0 : 1;
}
