// Public. Unit uMain: the main window `Main` with the listening server `WSocketServer`, and the
// relay sessions: each accepted connection is a TClient that owns its outgoing socket, Remote.
//
// Everything runs on the one loop thread. The handlers find their session from the socket that
// raised the event: a TClient is its own session; a Remote's owner is its TClient.
#pragma once

#include <QWidget>

#include <cstdint>
#include <string>
#include <vector>

#include "net/WSocketS.h"
#include "platform/Component.h"
#include "platform/gui/Colors.h"

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;

// The session colours, by the number of clients at set-up (1 to 11); more clients take black.
extern const TColor ConnectionColors[11];
TColor ConnectionColor(std::int32_t ClientCount);

// One accepted connection, the local side of a relay session.
class TClient : public TWSocketClient {
public:
  explicit TClient(TComponent* AOwner);
  ~TClient() override;

  std::string PendingLocal;  // local data not yet forwarded to the remote side
  TColor LogColor = clBlack;
  TWSocket* Remote = nullptr;  // owned; created when the session is set up

  // The remote side has closed while this side's chain still held data for the local client:
  // the send direction is shut down once the chain has drained.
  bool ShutdownWhenSent = false;
  // Closed by "Cancel": the session is cut, Remote goes with it whatever it still had to deliver.
  bool Cut = false;
};

class TMain : public QWidget, public TComponent {
public:
  explicit TMain(QWidget* Parent = nullptr);
  ~TMain() override;

  // The controls, under their form names (also their Qt object names), in declaration order.
  QLineEdit* RemoteAddr = nullptr;
  QLineEdit* RemotePort = nullptr;
  QLineEdit* LocalPoort = nullptr;
  QPushButton* ListenBtn = nullptr;
  QStatusBar* StatusBar = nullptr;
  QFrame* Bevel1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QPushButton* Button1 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label5 = nullptr;

  // The status bar's four panels, 0 to 3.
  QLabel* StatusPanel(int Index) const { return FPanels[static_cast<std::size_t>(Index)]; }
  // The listening state: 0 idle, 1 listening.
  int ListenBtnTag() const { return FListenBtnTag; }

  // Window handlers.
  void FormCreate(QObject* Sender);
  void ListenBtnClick(QObject* Sender);
  void Button1Click(QObject* Sender);
  void WSocketServerSessionClosed(TComponent* Sender, std::uint16_t Error);
  void WSocketServerClientConnect(TComponent* Sender, TWSocketClient* Client, std::uint16_t Error);
  void WSocketServerClientDisconnect(TComponent* Sender, TWSocketClient* Client, std::uint16_t Error);
  void BgException(TComponent* Sender, Exception& E, bool& CanClose);

  // Session handlers.
  void ClientDataAvailable(TComponent* Sender, std::uint16_t Error);
  void ClientDataSent(TComponent* Sender, std::uint16_t Error);
  void RemoteDnsLookupDone(TComponent* Sender, std::uint16_t Error);
  void RemoteSessionConnected(TComponent* Sender, std::uint16_t Error);
  void RemoteDataAvailable(TComponent* Sender, std::uint16_t Error);
  void RemoteSessionClosed(TComponent* Sender, std::uint16_t Error);
  void RemoteDataSent(TComponent* Sender, std::uint16_t Error);

  // The log's LineMode command: every current session, its client and its remote, switches.
  void SwitchLineMode(bool LineMode);

  // A Remote whose TClient has gone while it still had bytes of the local client to deliver: it
  // stays, owned by the main window, until it has delivered them and the remote side has closed.
  // Takes over Remote from Client.
  void AdoptDraining(TClient* Client);
  std::int32_t DrainingCount() const { return static_cast<std::int32_t>(FDraining.size()); }

protected:
  void closeEvent(QCloseEvent* Event) override;
  void Notification(TComponent* AComponent, TOperation Operation) override;

private:
  struct TDraining {
    TWSocket* Remote;
    std::string PendingLocal;  // held data that still waits for the connection
    TColor LogColor;
  };
  TDraining* FindDraining(TComponent* Remote);
  void CreateControls();
  void WriteEntry(TColor Color, const char* Title, const std::string& Body = std::string());
  void FinishDraining(TDraining& D);

  QLabel* FPanels[4] = {};
  int FListenBtnTag = 0;
  std::vector<TDraining> FDraining;
};

extern TMain* Main;
extern TWSocketServer* WSocketServer;
