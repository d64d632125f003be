// The relay engine's core: the listening server, Listen and Cancel, setting a session up when a
// client connects, and the session's entries and facts. Sessions end as TCP has it:
//
//   end of stream from one side   -> forwarded as an end of stream (a half-close) once every byte
//                                    before it has left; the other direction goes on relaying
//   reset from one side           -> every byte before it forwarded, then the other side reset
//   lookup or connection failure  -> an entry that says why, and the local client reset, so that
//                                    it sees a refusal rather than an empty answer
//
// A session ends when both directions have ended and drained, a side resets, or Cancel. Its TClient
// goes when the local connection has closed; a Remote still delivering the local client's last
// bytes (or its reset) outlives it, owned by the engine, until it has closed too. The relay's
// sockets close with linger off, so that a close is an orderly end and never a reset that throws
// away what the kernel still holds.
//
// The log keeps the order of cause and effect. What the local client sends while Remote is not yet
// connected is logged when it leaves, after "Connection Opened"; the client's end, its reset and
// "Connection Closed", which came after those bytes, wait to be logged after them.
#include "relay/Relay.h"

#include <sys/socket.h>

#include <string>
#include <vector>

#include "platform/MessageLoop.h"
#include "platform/WinsockErrors.h"
#include "relay/RelayParts.h"
#include "tls/TlsContext.h"

using namespace relay_parts;

const TColor ConnectionColors[11] = {0x00000000, 0x00000080, 0x00008000, 0x00008080,
                                     0x00800000, 0x00800080, 0x000000FF, 0x0000FF00,
                                     0x0000FFFF, 0x00FF0000, 0x00FF00FF};

TColor ConnectionColor(std::int32_t ClientCount) {
  if (ClientCount < 1 || ClientCount > 11) return clBlack;
  return ConnectionColors[ClientCount - 1];
}

namespace {

// Numbers are never reused while the program runs, whatever engine makes the session.
std::uint64_t gLastSession = 0;

const char* const kRelayWindowClass = "VantrelRelayWindow";

platform::LRESULT RelayWindowProc(platform::HWND Wnd, platform::UINT Msg, platform::WPARAM WParam, platform::LPARAM) {
  if (auto* relay = reinterpret_cast<TRelay*>(platform::GetWindowLongPtr(Wnd))) relay->HandleMessage(Msg, WParam);
  return 0;
}

}  // namespace

// ---- TClient ----

TClient::TClient(TComponent* AOwner)
    : TWSocketClient(AOwner),
      FSession(std::make_shared<TRelaySession>()),
      PendingLocal(FSession->PendingLocal),
      LogColor(FSession->Color),
      Remote(FSession->Remote) {}

bool TClient::NotifyDataAvailable(std::uint16_t Error) {
  const bool ran = TWSocketClient::NotifyDataAvailable(Error);
  const TSessionTls* tls = FSession->Tls.get();
  if (!LineMode() || tls == nullptr || !(tls->Watching || tls->Collecting || tls->HelloHeld) || !FLineBuffer ||
      FLineOfferLength != 0 || FLineBufferCount == 0 || LineData()[0] != '\x16')
    return ran;
  std::string waiting(LineData(), static_cast<std::size_t>(FLineBufferCount));
  FLineBufferCount = 0;
  FPendingLineLength = 0;
  LineData()[0] = 0;
  TCustomWSocketServer* server = Server();
  if (auto* relay = server != nullptr ? dynamic_cast<TRelay*>(server->Owner()) : nullptr) relay->LocalData(*this, waiting);
  return true;
}

// Remote goes with its client, unless the engine has taken it over to deliver what the client left.
TClient::~TClient() {
  TWSocket* own = Remote;
  TCustomWSocketServer* server = Server();
  if (auto* relay = server != nullptr ? dynamic_cast<TRelay*>(server->Owner()) : nullptr)
    if (relay->ClientGone(*this)) own = nullptr;
  if (own != nullptr) {
    if (Remote == own) Remote = nullptr;
    delete own;  // cancels a pending lookup; raises no OnSessionClosed while destroyed
  }
  BeforeDestruction();
}

// ---- the engine ----

TRelay::TRelay(TComponent* AOwner, TEntrySink* Sink) : TComponent(AOwner), FSink(Sink) {
  if (!platform::IsWindowClassRegistered(kRelayWindowClass))
    platform::RegisterWindowClass(kRelayWindowClass, RelayWindowProc);
  FWindow = platform::CreateNotifyWindow(kRelayWindowClass);
  platform::SetWindowLongPtr(FWindow, reinterpret_cast<std::intptr_t>(this));
  FServer = new TWSocketServer(this);
  FServer->SetName("WSocketServer");
  FServer->SetLineMode(false);
  FServer->SetLineLimit(65536);
  FServer->SetLineEnd("\r\n");
  FServer->SetLineEcho(false);
  FServer->SetLineEdit(false);
  FServer->SetProto("tcp");
  FServer->SetLocalAddr("0.0.0.0");
  FServer->SetLocalPort("0");
  FServer->SetMultiThreaded(false);
  FServer->SetComponentOptions({});
  FServer->OnSessionClosed = [this](TComponent* S, std::uint16_t E) { WSocketServerSessionClosed(S, E); };
  FServer->OnBgException = [this](TComponent* S, Exception& E, bool& C) { BgException(S, E, C); };
  FServer->SetFlushTimeout(60);
  FServer->SetSendFlags(wsSendNormal);
  FServer->SetLingerOnOff(wsLingerOn);
  FServer->SetLingerTimeout(0);
  FServer->SetSocksLevel("5");
  FServer->SetSocksAuthentication(socksNoAuthentication);
  FServer->SetMaxClients(0);
  FServer->OnClientDisconnect = [this](TComponent* S, TWSocketClient* C, std::uint16_t E) {
    WSocketServerClientDisconnect(S, C, E);
  };
  FServer->OnClientConnect = [this](TComponent* S, TWSocketClient* C, std::uint16_t E) {
    WSocketServerClientConnect(S, C, E);
  };
  FServer->OnClientCreate = [this](TComponent* S, TWSocketClient* C) { WSocketServerClientCreate(S, C); };
  // A burst of clients connecting at once is served whole: the system's largest accept queue.
  FServer->SetListenBacklog(SOMAXCONN);
  FFreeStages.OnFire = [this] { FDeadStages.clear(); };
}

TRelay::~TRelay() {
  // The sessions go while the engine's own members still exist: a TClient's destructor reports
  // to the engine.
  Destroying();
  FAcceptResting = false;  // nothing is to accept again while the server goes
  DestroyComponents();
  FServer = nullptr;
  platform::DestroyNotifyWindow(FWindow);  // its timers and queued messages go with it
}

void TRelay::Listen(const TRelaySettings& Settings) {
  FSettings = Settings;
  Listen();
}

void TRelay::Listen() {
  CheckRelaySettings(FSettings);
  // The TLS files are read and checked before anything listens.
  std::shared_ptr<TRelayTls> tls;
  if (FSettings.Tls.Any()) {
    try {
      tls = std::make_shared<TRelayTls>(FSettings.Tls, FSettings.RemoteAddr);
    } catch (ETlsError& E) {
      throw ESocketException("TLS: " + E.Message());
    }
  }
  FServer->SetBanner("");
  FServer->SetBannerToBusy("");
  FServer->SetClientClass(ClientClassOf<TClient>());
  // Every local address of both families: one dual-stack socket, or IPv4 alone where the system
  // has no IPv6.
  FServer->SetAddr("::");
  FServer->SetPort(FSettings.LocalPort);
  try {
    FServer->Listen();
  } catch (ESocketException&) {
    if (FServer->LastError() != platform::WSAEAFNOSUPPORT) throw;
    FServer->SetAddr("0.0.0.0");
    FServer->SetPort(FSettings.LocalPort);
    FServer->Listen();
  }
  FTls = std::move(tls);
}

bool TRelay::Listening() const { return FServer != nullptr && FServer->State() == wsListening; }

void TRelay::Cancel() {
  // The clients stay in the list until the server disposes of them from the loop, so the indices
  // hold through the loop.
  const std::int32_t n = FServer->ClientCount();
  for (std::int32_t i = 0; i < n; ++i) {
    TWSocketClient* c = FServer->Client(i);
    if (c == nullptr) continue;
    if (TRelaySession* s = SessionOf(c)) s->SetCut();
    c->Close();
  }
  // Remotes still delivering for sessions whose clients have gone are cut too.
  for (auto& [id, s] : FSessions)
    if (s->Draining()) s->Remote->CloseLater();
  FAcceptResting = false;
  platform::KillTimer(FWindow, kAcceptTimer);
  FServer->Close();  // raises OnSessionClosed
}

void TRelay::SetLineMode(bool Value) {
  FSettings.LineMode = Value;
  for (std::int32_t i = 0; i < FServer->ClientCount(); ++i) {
    auto* Client = dynamic_cast<TClient*>(FServer->Client(i));
    if (Client == nullptr) continue;
    Client->SetLineMode(Value);
    if (Client->Remote != nullptr) Client->Remote->SetLineMode(Value);
  }
}

// ---- sessions ----

TRelaySession* TRelay::SessionOf(const TComponent* Socket) const {
  if (Socket == nullptr) return nullptr;
  auto it = FSessions.find(static_cast<std::uint64_t>(Socket->Tag()));
  return it == FSessions.end() ? nullptr : it->second.get();
}

std::uint64_t TRelay::NewSessionNumber() { return ++gLastSession; }

void TRelay::NewSession(TClient& Client) {
  TRelaySession& s = *Client.FSession;
  s.Id = ++gLastSession;
  s.Client = &Client;
  s.Info.Id = s.Id;
  s.Info.LocalAddr = Client.PeerAddr();
  s.Info.LocalPort = PortNumber(Client.PeerPort());
  s.Info.RemoteHost = FSettings.RemoteAddr;
  try {
    const std::int64_t port = PortValue(FSettings.RemotePort);
    s.Info.RemotePort = port > 0 ? static_cast<std::uint16_t>(port) : 0;
  } catch (Exception&) {
  }
  s.Attempts.RemotePort = FSettings.RemotePort;
  s.Info.StartUs = WallClockUs();
  s.Info.State = ssResolving;
  Client.SetTag(static_cast<std::intptr_t>(s.Id));
  TlsNewSession(s);
  FSessions.emplace(s.Id, Client.FSession);
  SessionChanged(s);
}

// Before the accept: the accepted socket takes the options of the relay's sockets with it.
void TRelay::WSocketServerClientCreate(TComponent*, TWSocketClient* Client) { RelaySocketOptions(*Client); }

void TRelay::WSocketServerClientConnect(TComponent*, TWSocketClient* AClient, std::uint16_t Error) {
  auto* Client = dynamic_cast<TClient*>(AClient);
  TRelaySession* loopOrigin = Client != nullptr ? LoopOrigin(*Client) : nullptr;
  if (loopOrigin != nullptr) {
    CutLoop(*Client, *loopOrigin);
  } else if (Client != nullptr && RefuseAtAccept(*Client)) {
    // reset at accept by a fault: no remote side
  } else if (Client != nullptr) {
    NewSession(*Client);
    AttachStages(*Client->FSession);
    Client->PendingLocal.clear();
    Client->OnDataAvailable = [this](TComponent* S, std::uint16_t E) { ClientDataAvailable(S, E); };
    Client->OnLineLimitExceeded = [this](TComponent* S, std::int32_t N, bool& C) { ClientLineLimitExceeded(S, N, C); };
    Client->OnBgException = [this](TComponent* S, Exception& E, bool& C) { BgException(S, E, C); };
    Client->OnPeerShutdown = [this](TComponent* S, std::uint16_t E) { ClientPeerShutdown(S, E); };
    Client->OnSessionClosed = [this](TComponent* S, std::uint16_t E) { ClientSessionClosed(S, E); };
    Client->OnDataSent = [this](TComponent* S, std::uint16_t E) { ClientDataSent(S, E); };
    Client->SetLineMode(FSettings.LineMode);
    Client->SetLineEnd("\r\n");

    TWSocket* Remote = new TWSocket(Client);
    Remote->SetTag(Client->Tag());
    Client->Remote = Remote;  // the session's Remote
    Remote->SetPort(FSettings.RemotePort);
    Remote->SetLineMode(FSettings.LineMode);
    Remote->SetLineEnd("\r\n");
    RelaySocketOptions(*Remote);  // Connect gives them to the socket
    Remote->OnSessionConnected = [this](TComponent* S, std::uint16_t E) { RemoteSessionConnected(S, E); };
    Remote->OnDataAvailable = [this](TComponent* S, std::uint16_t E) { RemoteDataAvailable(S, E); };
    Remote->OnLineLimitExceeded = [this](TComponent* S, std::int32_t N, bool& C) { RemoteLineLimitExceeded(S, N, C); };
    Remote->OnSessionClosed = [this](TComponent* S, std::uint16_t E) { RemoteSessionClosed(S, E); };
    Remote->OnPeerShutdown = [this](TComponent* S, std::uint16_t E) { RemotePeerShutdown(S, E); };
    Remote->OnDataSent = [this](TComponent* S, std::uint16_t E) { RemoteDataSent(S, E); };
    Remote->OnBgException = [this](TComponent* S, Exception& E, bool& C) { BgException(S, E, C); };
    Remote->OnDnsLookupDone = [this](TComponent* S, std::uint16_t E) { RemoteDnsLookupDone(S, E); };
    // A dotted address is answered inside this call, and the connection attempt starts with it.
    // The address parser and the name service read only up to a zero byte, so "10.0.0.1<NUL>x"
    // would connect to 10.0.0.1, a host nobody typed; Listen refuses such a text, and should the
    // settings change under a running server, such a session fails as for a name not found.
    if (FSettings.RemoteAddr.find('\0') == std::string::npos)
      Remote->DnsLookup(FSettings.RemoteAddr);
    else
      PostLookupFailure(*SessionOf(Client), platform::WSAHOST_NOT_FOUND);
  }
  if (OnClientConnect) OnClientConnect(this, AClient, Error);
  if (Client != nullptr) {
    Client->LogColor = ConnectionColor(FServer->ClientCount());
    if (TRelaySession* s = SessionOf(Client)) SessionChanged(*s);
  }
}

void TRelay::WSocketServerClientDisconnect(TComponent*, TWSocketClient* Client, std::uint16_t Error) {
  if (OnClientDisconnect) OnClientDisconnect(this, Client, Error);
}

void TRelay::WSocketServerSessionClosed(TComponent*, std::uint16_t Error) {
  if (OnSessionClosed) OnSessionClosed(this, Error);
}

void TRelay::BgException(TComponent* Sender, Exception& E, bool& CanClose) {
  CanClose = true;
  // An accept that fails for want of descriptors or memory leaves the connection waiting in the
  // backlog: the listener stays, accepting rests until a session has ended or a moment has passed,
  // and the waiting clients are served then. Closing the listener would refuse every later client.
  if (Sender == FServer && Listening() &&
      (FServer->LastError() == platform::WSAEMFILE || FServer->LastError() == platform::WSAENOBUFS)) {
    CanClose = false;
    if (!FAcceptResting) {
      FAcceptResting = true;
      FServer->Pause();
      platform::SetTimer(FWindow, kAcceptTimer, kAcceptRetryMs);
    }
  }
  if (OnBgException) OnBgException(Sender, E, CanClose);
}

void TRelay::ResumeAccepting() {
  if (!FAcceptResting) return;
  FAcceptResting = false;
  platform::KillTimer(FWindow, kAcceptTimer);
  if (Listening()) FServer->Resume();  // selects anew: a connection waiting is offered at once
}

// ---- the session's entries and facts ----

void TRelay::Entry(TRelaySession& S, const char* Title, const std::string& Body, TEntryDirection Direction,
                   bool Injected) {
  std::uint64_t* offset = Direction == edFromLocal ? &S.FromLocal : Direction == edFromRemote ? &S.FromRemote : nullptr;
  if (FSink != nullptr) {
    FSink->SetEntryColor(S.Color);
    FSink->SetEntryTitle(Title);
    FSink->AddEntry(Body, TEntrySource{S.Id, Direction, offset != nullptr ? *offset : 0, Injected});
  }
  if (offset != nullptr) *offset += Body.size();
}

// An entry about the local side. While bytes that the local client sent before it are held
// unlogged (Remote is not connected yet, or its end goes through the chain toward Remote; they are
// logged when they leave), it waits behind them, so that no end, reset or close is logged before
// the data that came first.
void TRelay::LocalEntry(TRelaySession& S, const char* Title) {
  const bool held = (!S.Connected() && !S.PendingLocal.empty()) || LocalEndInStages(S);
  if (held || !S.HeldLocalEntries.empty())
    S.HeldLocalEntries.push_back(Title);
  else
    Entry(S, Title);
}

// The held entries of the local side, in the order they came: once its bytes have been logged, or
// once they are to be dropped.
void TRelay::WriteHeldLocalEntries(TRelaySession& S) {
  std::vector<const char*> held;
  held.swap(S.HeldLocalEntries);
  for (const char* title : held) Entry(S, title);
}

void TRelay::SessionChanged(TRelaySession& S) {
  S.Info.Color = S.Color;
  S.Info.BytesFromLocal = S.FromLocal;
  S.Info.BytesFromRemote = S.FromRemote;
  S.UpdateShownState();
  if (FSink != nullptr) FSink->SessionChanged(S.Info);
}
