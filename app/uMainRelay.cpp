// The relay sessions: set-up, forwarding both ways with a log entry per chunk, and the end of a
// session. Three ends are handled so that no byte the relay has taken is lost:
// - the remote side closes while the client's chain still holds its last bytes: the client's send
//   direction is shut down only once the chain has drained (ShutdownWhenSent);
// - the local client closes while bytes of it are still queued on Remote, or held in PendingLocal
//   because Remote is not connected yet: Remote outlives its TClient, owned by the main window,
//   delivers them, half-closes and goes once the remote side has closed (AdoptDraining);
// - the relay's own sockets close with linger off, so a close is an orderly end of stream and
//   never a reset that throws away what the kernel still holds.
#include <QAction>
#include <QLabel>
#include <QLineEdit>

#include <algorithm>
#include <string>

#include "app/uMain.h"
#include "log/uLog.h"
#include "platform/MessageLoop.h"

const TColor ConnectionColors[11] = {0x00000000, 0x00000080, 0x00008000, 0x00008080,
                                     0x00800000, 0x00800080, 0x000000FF, 0x0000FF00,
                                     0x0000FFFF, 0x00FF0000, 0x00FF00FF};

TColor ConnectionColor(std::int32_t ClientCount) {
  if (ClientCount < 1 || ClientCount > 11) return clBlack;
  return ConnectionColors[ClientCount - 1];
}

namespace {

void Entry(TColor Color, const char* Title, const std::string& Body = std::string()) {
  if (Log == nullptr) return;
  Log->SetEntryColor(Color);
  Log->SetEntryTitle(Title);
  Log->AddEntry(Body);
}

bool LogLineMode() { return Log != nullptr && Log->LineMode1->isChecked(); }

// What one read of a relay socket takes: in line mode the line on offer, otherwise what waits, but
// at most kChunkLimit bytes. A sender faster than the log could otherwise fill a single entry with
// megabytes, whose layout holds the windows for seconds; the rest waits for the next notification.
constexpr std::int32_t kChunkLimit = 16 << 10;

std::string ReceiveChunk(TWSocket& S) {
  if (S.LineMode()) return S.ReceiveText();
  std::int32_t n = S.RcvdCount();
  if (n < 0) return std::string();
  if (n == 0) n = 255;
  n = std::min(n, kChunkLimit);
  std::string chunk(static_cast<std::size_t>(n), '\0');
  std::int32_t got = S.Receive(chunk.data(), n);
  chunk.resize(static_cast<std::size_t>(std::max(got, 0)));
  return chunk;
}

// One read per notification, each notification a message of its own: between two of them the
// loop hands control back to the windows, however fast the data comes.
void RelaySocketOptions(TWSocket& S) {
  S.SetComponentOptions({wsoNoReceiveLoop});
  S.SetLingerOnOff(wsLingerOff);  // closes are an orderly end of stream, never a reset
}

}  // namespace

TClient::TClient(TComponent* AOwner) : TWSocketClient(AOwner) {}

TClient::~TClient() {
  if (!platform::ApplicationTerminated()) Entry(LogColor, "Connection Closed");
  if (Remote != nullptr) {
    bool deliver = Remote->State() == wsConnected ||
                   (!PendingLocal.empty() && Remote->State() != wsClosed);
    if (deliver && !Cut && Main != nullptr && !Main->IsDestroying())
      Main->AdoptDraining(this);
    else
      delete Remote;  // cancels a pending lookup; raises no OnSessionClosed while destroyed
    Remote = nullptr;
  }
  BeforeDestruction();
}

void TMain::WSocketServerClientConnect(TComponent*, TWSocketClient* AClient, std::uint16_t) {
  auto* Client = dynamic_cast<TClient*>(AClient);
  if (Client != nullptr) {
    Client->PendingLocal.clear();
    Client->OnDataAvailable = [this](TComponent* S, std::uint16_t E) { ClientDataAvailable(S, E); };
    Client->OnBgException = [this](TComponent* S, Exception& E, bool& C) { BgException(S, E, C); };
    Client->OnDataSent = [this](TComponent* S, std::uint16_t E) { ClientDataSent(S, E); };
    Client->SetLineMode(LogLineMode());
    Client->SetLineEnd("\r\n");
    RelaySocketOptions(*Client);
    Client->ApplyLinger();  // the accepted socket took the old setting

    TWSocket* Remote = new TWSocket(Client);
    Client->Remote = Remote;
    Remote->SetPort(RemotePort->text().toStdString());
    Remote->SetLineMode(LogLineMode());
    Remote->SetLineEnd("\r\n");
    RelaySocketOptions(*Remote);  // Connect gives the linger setting to the socket
    Remote->OnSessionConnected = [this](TComponent* S, std::uint16_t E) { RemoteSessionConnected(S, E); };
    Remote->OnDataAvailable = [this](TComponent* S, std::uint16_t E) { RemoteDataAvailable(S, E); };
    Remote->OnSessionClosed = [this](TComponent* S, std::uint16_t E) { RemoteSessionClosed(S, E); };
    Remote->OnBgException = [this](TComponent* S, Exception& E, bool& C) { BgException(S, E, C); };
    Remote->OnDnsLookupDone = [this](TComponent* S, std::uint16_t E) { RemoteDnsLookupDone(S, E); };
    Remote->OnDataSent = [this](TComponent* S, std::uint16_t E) { RemoteDataSent(S, E); };
    // A dotted address is answered inside this call, and the connection attempt starts with it.
    // The address parser and the name service read only up to a zero byte, so "10.0.0.1<NUL>x"
    // would connect to 10.0.0.1, a host nobody typed: a text with one names no host, and the
    // session waits as for a name that cannot be resolved.
    const std::string Host = RemoteAddr->text().toStdString();
    if (Host.find('\0') == std::string::npos) Remote->DnsLookup(Host);
  }
  FPanels[1]->setText(QString::number(WSocketServer->ClientCount()));
  FPanels[3]->setText(QString::fromStdString(AClient->PeerAddr()));
  if (Client != nullptr) Client->LogColor = ConnectionColor(WSocketServer->ClientCount());
}

void TMain::RemoteDnsLookupDone(TComponent* Sender, std::uint16_t Error) {
  auto* Remote = static_cast<TWSocket*>(Sender);
  if (Error != 0) {
    if (FindDraining(Remote) != nullptr) Remote->FreeLater();  // nothing can be delivered now
    return;
  }
  Remote->SetAddr(Remote->DnsResult());
  Remote->Connect();
}

void TMain::RemoteSessionConnected(TComponent* Sender, std::uint16_t Error) {
  if (Error != 0) return;
  auto* Remote = static_cast<TWSocket*>(Sender);
  if (auto* Client = dynamic_cast<TClient*>(Remote->Owner())) {
    Entry(Client->LogColor, "Connection Opened");
    if (!Client->PendingLocal.empty()) {
      Entry(Client->LogColor, "From Local", Client->PendingLocal);
      Remote->SendText(Client->PendingLocal);
      Client->PendingLocal.clear();
    }
    return;
  }
  if (TDraining* D = FindDraining(Remote)) {
    Entry(D->LogColor, "Connection Opened");
    if (!D->PendingLocal.empty()) {
      Entry(D->LogColor, "From Local", D->PendingLocal);
      Remote->SendText(D->PendingLocal);
      D->PendingLocal.clear();
    }
    FinishDraining(*D);
  }
}

void TMain::ClientDataAvailable(TComponent* Sender, std::uint16_t Error) {
  if (Error != 0) return;
  auto* Client = static_cast<TClient*>(Sender);
  Client->PendingLocal += ReceiveChunk(*Client);
  if (Client->Remote != nullptr && Client->Remote->State() == wsConnected && !Client->PendingLocal.empty()) {
    Entry(Client->LogColor, "From Local", Client->PendingLocal);
    Client->Remote->SendText(Client->PendingLocal);
    Client->PendingLocal.clear();
  }
}

void TMain::RemoteDataAvailable(TComponent* Sender, std::uint16_t Error) {
  if (Error != 0) return;
  auto* Remote = static_cast<TWSocket*>(Sender);
  std::string data = ReceiveChunk(*Remote);
  if (data.empty()) return;
  if (auto* Client = dynamic_cast<TClient*>(Remote->Owner())) {
    Entry(Client->LogColor, "From Remote", data);
    if (Client->State() == wsConnected) {
      Client->SendText(data);
      return;
    }
    Entry(Client->LogColor, "Error: Local has closed");
    // Remote is not closed here, not even with its send chain empty: the kernel may still hold
    // bytes of the local client that the remote side has not taken, and a close followed by more
    // data from the remote side resets the connection, which throws them away. The session's
    // disposal, already on its way, hands Remote over to drain: the remote side gets the end of
    // the stream after the last byte, and Remote goes when the remote side closes.
    return;
  }
  if (TDraining* D = FindDraining(Remote)) {
    // The local client has gone: the data is logged and dropped while Remote finishes delivering.
    Entry(D->LogColor, "From Remote", data);
    Entry(D->LogColor, "Error: Local has closed");
  }
}

void TMain::RemoteSessionClosed(TComponent* Sender, std::uint16_t) {
  auto* Remote = static_cast<TWSocket*>(Sender);
  if (auto* Client = dynamic_cast<TClient*>(Remote->Owner())) {
    // The local client gets every byte still queued for it, then the end of the stream.
    if (Client->AllSent())
      Client->Shutdown(1);
    else
      Client->ShutdownWhenSent = true;
    return;
  }
  if (FindDraining(Remote) != nullptr) Remote->FreeLater();
}

void TMain::ClientDataSent(TComponent* Sender, std::uint16_t) {
  auto* Client = static_cast<TClient*>(Sender);
  if (Client->ShutdownWhenSent && Client->AllSent()) {
    Client->ShutdownWhenSent = false;
    Client->Shutdown(1);
  }
}

void TMain::RemoteDataSent(TComponent* Sender, std::uint16_t) {
  if (TDraining* D = FindDraining(Sender)) FinishDraining(*D);
}

// ---- Remotes that outlive their sessions ----

void TMain::AdoptDraining(TClient* Client) {
  TWSocket* Remote = Client->Remote;
  Client->Remote = nullptr;
  InsertComponent(Remote);  // out of the client's list, into this window's
  FDraining.push_back({Remote, std::move(Client->PendingLocal), Client->LogColor});
  if (Remote->State() == wsConnected) FinishDraining(FDraining.back());
}

// Once everything queued has left, the remote side gets the end of the stream; Remote goes when
// the remote side has closed too.
void TMain::FinishDraining(TDraining& D) {
  if (D.Remote->State() != wsConnected || !D.PendingLocal.empty() || !D.Remote->AllSent()) return;
  D.Remote->Shutdown(1);
}

TMain::TDraining* TMain::FindDraining(TComponent* Remote) {
  for (TDraining& d : FDraining)
    if (d.Remote == Remote) return &d;
  return nullptr;
}

void TMain::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation == TOperation::opRemove)
    std::erase_if(FDraining, [AComponent](const TDraining& d) { return d.Remote == AComponent; });
}

void TMain::SwitchLineMode(bool LineMode) {
  if (WSocketServer == nullptr) return;
  for (std::int32_t i = 0; i < WSocketServer->ClientCount(); ++i) {
    auto* Client = dynamic_cast<TClient*>(WSocketServer->Client(i));
    if (Client == nullptr) continue;
    Client->SetLineMode(LineMode);
    if (Client->Remote != nullptr) Client->Remote->SetLineMode(LineMode);
  }
}
