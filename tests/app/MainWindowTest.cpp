// The main window: Listen and Cancel, errors of Listen, the status bar as clients come and go,
// LogShow, and the controls as the user sees them.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <filesystem>

#include "RelayPeers.h"

using namespace apptest;

namespace {

using MainWindow = AppFixture;

TEST_F(MainWindow, StartsIdleWithTheDefaultTextsAndTheServerConfigured) {
  EXPECT_EQ(Main->windowTitle(), "Vantrel");
  EXPECT_EQ(Main->ListenBtn->text(), "Listen");
  EXPECT_EQ(Main->ListenBtnTag(), 0);
  EXPECT_EQ(Main->LocalPoort->text(), "8080");
  EXPECT_EQ(Main->RemotePort->text(), "8080");
  EXPECT_FALSE(Main->RemoteAddr->text().isEmpty());
  EXPECT_EQ(Main->Button1->text(), "LogShow");
  const char* panels[4] = {"Connections", "0", "From", ""};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Main->StatusPanel(i)->text(), panels[i]);
  ASSERT_NE(WSocketServer, nullptr);
  // The relay engine owns the server, and the window owns the engine: both go with the window.
  EXPECT_EQ(WSocketServer->Owner(), static_cast<TComponent*>(Main->Relay()));
  EXPECT_EQ(Main->Relay()->Owner(), static_cast<TComponent*>(Main));
  EXPECT_EQ(WSocketServer->MaxClients(), 0);
  EXPECT_EQ(WSocketServer->LineLimit(), 65536);
  for (const char* name : {"RemoteAddr", "RemotePort", "LocalPoort", "ListenBtn", "StatusBar", "Bevel1",
                           "Label1", "Label2", "Label3", "Button1", "Label4", "Label5"})
    EXPECT_NE(Main->findChild<QWidget*>(name), nullptr) << name;
  EXPECT_TRUE(Log->isHidden());
}

TEST_F(MainWindow, ListenAcceptsClientsDisablesTheEditsAndCancelReturnsToIdle) {
  std::uint16_t port = StartListening();
  EXPECT_EQ(Main->ListenBtn->text(), "Cancel");
  EXPECT_FALSE(Main->LocalPoort->isEnabled());
  EXPECT_FALSE(Main->RemotePort->isEnabled());
  EXPECT_FALSE(Main->RemoteAddr->isEnabled());
  Main->RemoteAddr->setText("127.0.0.1");
  int c = ConnectFrom(1, port);
  ASSERT_GE(c, 0);
  ASSERT_TRUE(PumpUntil([] { return WSocketServer->ClientCount() == 1; }));
  EXPECT_EQ(Main->StatusPanel(1)->text(), "1");
  EXPECT_EQ(Main->StatusPanel(3)->text(), "127.0.0.1");
  EXPECT_EQ(WSocketServer->Banner(), "");

  Main->ListenBtn->click();
  EXPECT_EQ(Main->ListenBtnTag(), 0) << "Idle at once, through the server's OnSessionClosed";
  EXPECT_EQ(Main->ListenBtn->text(), "Listen");
  EXPECT_TRUE(Main->LocalPoort->isEnabled());
  ASSERT_TRUE(PumpUntil([] { return WSocketServer->ClientCount() == 0; }));
  EXPECT_EQ(Main->StatusPanel(1)->text(), "0");
  EXPECT_EQ(Main->StatusPanel(3)->text(), "");
  ::close(c);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(MainWindow, ListenOnAPortInUseShowsTheSocketErrorAndStaysIdle) {
  RawListener busy;
  Main->LocalPoort->setText(QString::number(busy.Port));
  Main->ListenBtn->click();
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0], "Error 10048 in function Bind\r\nAddress already in use");
  EXPECT_EQ(Main->ListenBtnTag(), 0);
  EXPECT_EQ(Main->ListenBtn->text(), "Listen");
  EXPECT_TRUE(Main->LocalPoort->isEnabled());
}

TEST_F(MainWindow, ListenOnABadPortShowsTheResolutionError) {
  Main->LocalPoort->setText("nosuchservice");
  Main->ListenBtn->click();
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].rfind("listen: WSocketResolvePort: Cannot convert port 'nosuchservice', Error #", 0), 0u)
      << Errors[0];
  EXPECT_EQ(Main->ListenBtnTag(), 0);
}

// The box a user meets, not the test's stand-in for it: titled with the product's name, whatever
// the program's file is called.
TEST_F(MainWindow, AnErrorBoxIsTitledWithTheProductsName) {
  const QString programName = QCoreApplication::applicationName();
  NameApplication();
  EXPECT_EQ(QCoreApplication::applicationName().toStdString(), "Vantrel");
  EXPECT_EQ(QGuiApplication::applicationDisplayName().toStdString(), "Vantrel");
  const platform::gui::TErrorHandler stand = platform::gui::SetErrorHandler(nullptr);
  RawListener busy;
  Main->LocalPoort->setText(QString::number(busy.Port));
  // The box is modal: it is read and closed from the loop it runs.
  QString title, text;
  int ticks = 0;
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr && ++ticks < 500) return;
    look.stop();
    if (box == nullptr) return;
    title = box->windowTitle();
    text = box->text();
    box->done(QMessageBox::Ok);
  });
  look.start(10);
  Main->ListenBtn->click();
  look.stop();
  platform::gui::SetErrorHandler(stand);
  QCoreApplication::setApplicationName(programName);
  EXPECT_EQ(title.toStdString(), "Vantrel");
  EXPECT_EQ(text.toStdString(), "Error 10048 in function Bind\nAddress already in use");
  EXPECT_EQ(Main->ListenBtnTag(), 0);
}

// The user closes the main window while "Save As..." is still writing a large log: the save is
// cancelled, nothing of it is left, and the program's loop ends.
TEST_F(MainWindow, ClosingItDuringSaveAsCancelsTheSaveLeavesNoFileAndEndsTheLoop) {
  // 32 MiB in hex entries of 64 KiB, saved as log text: a hex dump of 140 MB, which takes the
  // worker about a second, against the millisecond the loop takes to get to the close.
  std::string chunk(64 << 10, '\0');
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + i / 251);
  for (std::uint64_t i = 0; i < 512; ++i)
    Log->Record().Add("From Local", clBlack, emHex, {1, edFromLocal, i * chunk.size()}, chunk);
  char name[] = "/tmp/vantrel-quit-XXXXXX";
  ASSERT_NE(::mkdtemp(name), nullptr);
  const std::filesystem::path dir = name;
  Main->show();
  bool saved = true, returned = false;
  QTimer::singleShot(0, [&] {
    QTimer::singleShot(0, Main, [] { Main->close(); });  // taken up by the save's own loop
    saved = Log->SaveTo(QString::fromStdString((dir / "big.txt").string()), sfLogText);
    returned = true;
  });
  // A loop that never ends fails the test instead of hanging it.
  bool stuck = false;
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [&] {
    stuck = true;
    QCoreApplication::exit(1);
  });
  guard.start(60000);
  const int code = QApplication::exec();  // the program's loop, as its main block runs it
  guard.stop();
  EXPECT_FALSE(stuck);
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(returned);
  EXPECT_FALSE(saved);
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(dir)) left.push_back(e.path().filename().string());
  std::filesystem::remove_all(dir);
  EXPECT_EQ(left, std::vector<std::string>{}) << "no file, partial or temporary";
  EXPECT_TRUE(Errors.empty()) << "a cancelled save is no error: " << (Errors.empty() ? "" : Errors[0]);
  EXPECT_TRUE(Log->SaveAs1->isEnabled());
}

// A session ends when both sides have ended their streams: the remote server here closes once the
// local client has ended, as servers do.
TEST_F(MainWindow, StatusBarFollowsClientsAsTheyComeAndGo) {
  TRemoteServer remote;
  remote.Echo = true;
  auto run = [&](const std::function<bool()>& Cond) { return RunUntil(Cond, [&] { remote.Service(); }); };
  std::uint16_t port = StartListening();
  Main->RemoteAddr->setText("127.0.0.1");
  Main->RemotePort->setText(QString::number(remote.Listener.Port));
  int a = ConnectFrom(11, port);
  ASSERT_TRUE(run([] { return WSocketServer->ClientCount() == 1; }));
  int b = ConnectFrom(12, port);
  ASSERT_TRUE(run([] { return WSocketServer->ClientCount() == 2; }));
  EXPECT_EQ(Main->StatusPanel(1)->text(), "2");
  EXPECT_EQ(Main->StatusPanel(3)->text(), "127.0.0.12") << "the newest client's address";
  int c = ConnectFrom(13, port);
  ASSERT_TRUE(run([] { return WSocketServer->ClientCount() == 3; }));

  ::close(a);  // the first leaves: the second-to-last in the list is shown, not the newest
  ASSERT_TRUE(run([] { return WSocketServer->ClientCount() == 2; }));
  EXPECT_EQ(Main->StatusPanel(1)->text(), "2");
  EXPECT_EQ(Main->StatusPanel(3)->text(), "127.0.0.12");

  ::close(c);  // two were left: the client at index 0 is shown, here the one that stays
  ASSERT_TRUE(run([] { return WSocketServer->ClientCount() == 1; }));
  EXPECT_EQ(Main->StatusPanel(1)->text(), "1");
  EXPECT_EQ(Main->StatusPanel(3)->text(), "127.0.0.12");

  ::close(b);
  ASSERT_TRUE(run([] { return WSocketServer->ClientCount() == 0; }));
  EXPECT_EQ(Main->StatusPanel(1)->text(), "0");
  EXPECT_EQ(Main->StatusPanel(3)->text(), "");
}

TEST_F(MainWindow, LogShowTogglesTheLogAndAnEntryShowsItAgain) {
  Main->Button1->click();
  EXPECT_FALSE(Log->isHidden());
  Main->Button1->click();
  EXPECT_TRUE(Log->isHidden());
  Log->SetEntryTitle("x");
  Log->AddEntry("y");
  EXPECT_FALSE(Log->isHidden());
}

TEST_F(MainWindow, CancelWithThreeSessionsClosesThemAllAndEachWritesConnectionClosed) {
  RawListener remote;
  std::uint16_t port = StartListening();
  Main->RemoteAddr->setText("127.0.0.1");
  Main->RemotePort->setText(QString::number(remote.Port));
  int clients[3];
  for (int i = 0; i < 3; ++i) {
    clients[i] = ConnectFrom(1, port);
    ASSERT_TRUE(PumpUntil([&] { return WSocketServer->ClientCount() == i + 1; }));
  }
  ASSERT_TRUE(PumpUntil([] { return Count("Connection Opened") == 3; }));
  Main->ListenBtn->click();
  EXPECT_EQ(Main->ListenBtnTag(), 0);
  ASSERT_TRUE(PumpUntil([] { return WSocketServer->ClientCount() == 0 && Main->DrainingCount() == 0; }));
  EXPECT_EQ(Count("Connection Closed"), 3);
  for (int c : clients) {
    char buf;
    EXPECT_EQ(::recv(c, &buf, 1, 0), 0) << "each local client sees an orderly end";
    ::close(c);
  }
}

}  // namespace
