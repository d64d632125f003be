// Public. Unit uMain: the main window `Main`. It holds the three connection settings, Listen and
// Cancel, LogShow and the status bar, and drives the relay engine (relay/Relay.h), which owns the
// listening server `WSocketServer` and runs every session.
#pragma once

#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "relay/Relay.h"
#include "platform/Component.h"
#include "platform/gui/Colors.h"

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;

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
  // The relay engine, owned by this window; its entries go to the log window.
  TRelay* Relay() const { return FRelay; }

  // Window handlers.
  void FormCreate(QObject* Sender);
  void ListenBtnClick(QObject* Sender);
  void Button1Click(QObject* Sender);
  void WSocketServerSessionClosed(TComponent* Sender, std::uint16_t Error);
  void WSocketServerClientConnect(TComponent* Sender, TWSocketClient* Client, std::uint16_t Error);
  void WSocketServerClientDisconnect(TComponent* Sender, TWSocketClient* Client, std::uint16_t Error);
  void BgException(TComponent* Sender, Exception& E, bool& CanClose);

  // The log's LineMode command: every current session, its client and its remote, switches.
  void SwitchLineMode(bool LineMode);
  // The log's send bar: Bytes into session Id, to the remote side (Way edFromLocal) or to the
  // local client (edFromRemote), through the engine; false and Error when refused.
  bool SendInto(std::uint64_t Id, TEntryDirection Way, const std::string& Bytes, std::string& Error);
  // The log's "Resend": the bytes of the log's entries Entries (record indexes; entries without
  // bytes are passed over) go again, each the way it went, into its session while that way is
  // open; those of sessions that are not open go in order into a new session of their own to that
  // session's remote side, recorded like any other. False when nothing could be sent; Report says
  // what was done, one line.
  bool Resend(const std::vector<std::uint64_t>& Entries, std::string& Report);
  // The sessions list's "Replay": the sessions Ids, taken out of the log's record on a worker
  // thread, replay one after another over new connections to their remote sides, recorded as new
  // sessions; the result of each comparison goes to the log as an entry "Replay Result". False
  // (Report says why) when a replay is already running or nothing was asked for.
  bool ReplaySessions(const std::vector<std::uint64_t>& Ids, std::string& Report);
  // A replay or a resend into a new session is under way.
  bool Acting() const noexcept;
  // The TLS settings (the "TLS..." dialog, the command line): they apply from the next Listen.
  const TTlsSettings& TlsSettings() const { return FTlsSettings; }
  void SetTlsSettings(const TTlsSettings& Value) { FTlsSettings = Value; }
  // The log's "TLS..." command: the dialog, whose OK keeps what it shows.
  void EditTlsSettings();
  // Sessions whose local client has gone while their Remote still delivers its last bytes.
  std::int32_t DrainingCount() const { return FRelay->DrainingCount(); }

protected:
  void closeEvent(QCloseEvent* Event) override;

private:
  void CreateControls();
  void TakeSettings();

  QLabel* FPanels[4] = {};
  int FListenBtnTag = 0;
  TRelay* FRelay = nullptr;
  std::unique_ptr<TEntrySink> FLogSink;
  // Replays and resends into new sessions (uMainActs.cpp): they write to FLogSink, and go first.
  struct TActs;
  struct TActsDeleter {
    void operator()(TActs* Acts) const;
  };
  std::unique_ptr<TActs, TActsDeleter> FActs;
  TTlsSettings FTlsSettings;
};

// Names the running application after the product, "Vantrel", as the main window's caption
// names it: the error box takes its title from the application's name, and so does any window
// without a title of its own. The main block calls it once the application is made; the file
// name of the program, which Qt takes by default, is not for the user's eyes.
void NameApplication();

extern TMain* Main;

class TLog;
// Binds the log window's commands that act on the relay (the line mode, sending) to the main
// window, Main, whichever is destroyed first.
void BindLog(TLog& Log);
extern TWSocketServer* WSocketServer;
