// The relay engine: the server's settings, Listen and Cancel, and the sessions: set-up, forwarding
// both ways with an entry per chunk, and the ends of a session, kept as TCP has them:
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
#include "relay/RelaySession.h"
#include "tls/TlsContext.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <vector>

#include "net/WSocketResolve.h"
#include "net/WinsockBinding.h"
#include "platform/WinsockErrors.h"
#include "platform/MessageLoop.h"

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

// What the relay reads at a time, each read an entry of its own: in line mode the line on offer
// (a line longer than the line limit leaves in pieces, see ClientLineLimitExceeded); otherwise
// what waits, up to kChunkLimit bytes. One read per notification: between two of them
// the loop hands control back to the windows, however fast the data comes. (More reads per
// notification do not help: each read that leaves bytes behind queues a notification of its own,
// and the queue snowballs.)
constexpr std::int32_t kChunkLimit = 128 << 10;
// The send chain's blocks of the relay's sockets: a platform send for every 16 KiB instead of every
// 1460 bytes. Larger blocks gained nothing measurable on loopback, and each busy socket keeps one.
constexpr std::int32_t kRelaySendBlock = 16 << 10;

// How much a side's send chain may hold before the relay stops reading from the other side: a
// slow reader holds its sender back through TCP's own flow control, as it would without the
// relay, instead of the relay's memory growing with everything the sender has. Reading resumes
// once the chain has drained. The kernels' socket buffers keep the data flowing meanwhile.
constexpr std::int64_t kHoldBack = 1 << 20;

// The engine's own messages, to its notification window.
constexpr platform::UINT MsgNextAttempt = platform::WM_USER + 1;  // WParam: the session's number
// The timer that takes up accepting again after the system ran out of descriptors (session timers
// use the sessions' numbers, which never come near it).
constexpr platform::WPARAM kAcceptTimer = ~platform::WPARAM{0};
constexpr platform::UINT kAcceptRetryMs = 250;
const char* const kRelayWindowClass = "VantrelRelayWindow";

platform::LRESULT RelayWindowProc(platform::HWND Wnd, platform::UINT Msg, platform::WPARAM WParam, platform::LPARAM) {
  if (auto* relay = reinterpret_cast<TRelay*>(platform::GetWindowLongPtr(Wnd))) relay->HandleMessage(Msg, WParam);
  return 0;
}

// One read: what waits, up to kChunkLimit bytes, straight into one buffer that all reads share
// (the engine runs on one thread), without asking first how much waits.
std::string ReceiveChunk(TWSocket& S) {
  if (S.LineMode()) return S.ReceiveText();
  static std::vector<char> buffer(static_cast<std::size_t>(kChunkLimit));
  const std::int32_t got = S.Receive(buffer.data(), kChunkLimit);
  return got > 0 ? std::string(buffer.data(), static_cast<std::size_t>(got)) : std::string();
}

// One notification, one handler call: the handler reads its budget and the loop goes round. The
// ends of a connection are TCP's: the peer's end of stream leaves the socket open for sending,
// small writes go out at once (a request of several lines does not wait for the peer's delayed
// acknowledgement), and a close is orderly.
void RelaySocketOptions(TWSocket& S) {
  S.SetComponentOptions({wsoNoReceiveLoop, wsoAllowHalfOpen, wsoTcpNoDelay});
  S.SetLingerOnOff(wsLingerOff);
  S.SetSendBlockSize(kRelaySendBlock);
}

std::int64_t NowUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::uint16_t PortNumber(const std::string& Text) {
  try {
    const unsigned long n = std::stoul(Text);
    return n <= 0xFFFF ? static_cast<std::uint16_t>(n) : 0;
  } catch (...) {
    return 0;
  }
}

// The port that a port text names, as the socket component reads it (blanks around it trimmed,
// digits first, else a service name), but without its wrapping of numbers above 65535: those give
// -1. A text the component cannot read raises its message.
std::int64_t PortValue(const std::string& Text) {
  const std::string t = TrimBlanks(Text);
  const std::int64_t resolved = WSocketResolvePort(t, "tcp");
  if (std::isdigit(static_cast<unsigned char>(t[0]))) {
    std::size_t digits = 0;
    while (digits < t.size() && std::isdigit(static_cast<unsigned char>(t[digits]))) ++digits;
    if (digits > 5) return -1;
    const long value = std::stol(t.substr(0, digits));
    return value > 65535 ? -1 : value;
  }
  return resolved;
}

// Whether Host names this machine: a loopback or unspecified address, an address of one of its
// interfaces, or a name that means the machine itself. Names are not looked up, so that a slow
// name service cannot hold the window at Listen; a name this misses is caught when its connection
// arrives back (see the loop check of WSocketServerClientConnect).
bool IsThisMachine(const std::string& Host) {
  std::string h = TrimBlanks(Host);
  if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  std::string lower(h);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower == "localhost" || (lower.size() > 10 && lower.ends_with(".localhost"))) return true;
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) == 0 && lower == name) return true;
  in_addr v4{};
  in6_addr v6{};
  // Read as the remote's lookup reads an address (inet_addr), so that the classic forms count too:
  // "127.1", "2130706433" and "127.0.0.01" all connect to 127.0.0.1.
  v4.s_addr = winsock::inet_addr(h.c_str());
  const bool isV4 = v4.s_addr != INADDR_NONE;
  const bool isV6 = !isV4 && ::inet_pton(AF_INET6, h.c_str(), &v6) == 1;
  if (!isV4 && !isV6) return false;
  if (isV4 && ((ntohl(v4.s_addr) >> 24) == 127 || v4.s_addr == INADDR_ANY)) return true;
  if (isV6 && (IN6_IS_ADDR_LOOPBACK(&v6) || IN6_IS_ADDR_UNSPECIFIED(&v6))) return true;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
    if (a->ifa_addr == nullptr) continue;
    if (isV4 && a->ifa_addr->sa_family == AF_INET)
      found = reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr == v4.s_addr;
    if (isV6 && a->ifa_addr->sa_family == AF_INET6)
      found = IN6_ARE_ADDR_EQUAL(&reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr, &v6);
  }
  ::freeifaddrs(list);
  return found;
}

// The local address and port of a socket's connection, also while it is still being made.
bool LocalName(TWSocket& S, std::string& Addr, std::uint16_t& Port) {
  sockaddr_storage name{};
  socklen_t len = sizeof name;
  if (S.SocketHandle() == platform::INVALID_SOCKET ||
      ::getsockname(static_cast<int>(S.SocketHandle()), reinterpret_cast<sockaddr*>(&name), &len) != 0)
    return false;
  char text[INET6_ADDRSTRLEN] = {};
  if (name.ss_family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&name);
    ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    Port = ntohs(a->sin_port);
  } else if (name.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&name);
    ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    Port = ntohs(a->sin6_port);
  } else {
    return false;
  }
  Addr = text;
  return Port != 0;
}

}  // namespace

// ---- TClient ----

TClient::TClient(TComponent* AOwner) : TWSocketClient(AOwner) {}

TClient::~TClient() {
  TCustomWSocketServer* server = Server();
  if (auto* relay = server != nullptr ? dynamic_cast<TRelay*>(server->Owner()) : nullptr) relay->ClientGone(*this);
  delete Remote;  // cancels a pending lookup; raises no OnSessionClosed while destroyed
  Remote = nullptr;
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

// What can be known wrong before anything listens: the window would otherwise listen happily and
// fail, or wrap a port, or relay into itself, only when the first client arrives.
void TRelay::CheckSettings() const {
  // A local port text that names no port at all is left to Listen, which says so in its own words.
  std::int64_t local = -2;
  try {
    local = PortValue(FSettings.LocalPort);
  } catch (Exception&) {
  }
  if (local == -1)
    throw ESocketException("Local port '" + FSettings.LocalPort + "' is out of range: a port is a number from 0 to 65535");
  if (TrimBlanks(FSettings.RemotePort).empty()) throw ESocketException("Remote port: no port given");
  std::int64_t remote = 0;
  try {
    remote = PortValue(FSettings.RemotePort);
  } catch (Exception& E) {
    throw ESocketException("Remote port: " + E.Message());
  }
  if (remote < 1)
    throw ESocketException("Remote port '" + FSettings.RemotePort + "' is out of range: a port is a number from 1 to 65535");
  if (TrimBlanks(FSettings.RemoteAddr).empty()) throw ESocketException("Remote address: no host name or address given");
  if (FSettings.RemoteAddr.find('\0') != std::string::npos)
    throw ESocketException("Remote address: a host name or address cannot hold a zero byte");
  if (remote == local && IsThisMachine(FSettings.RemoteAddr))
    throw ESocketException("Remote address '" + TrimBlanks(FSettings.RemoteAddr) + "' port " + std::to_string(remote) +
                           " is this relay's own listening port: every client would be relayed back into the relay");
}

void TRelay::Listen() {
  CheckSettings();
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
    if (TSession* s = SessionOf(c)) s->Cut = true;
    c->Close();
  }
  // Remotes still delivering for sessions whose clients have gone are cut too.
  for (auto& [id, s] : FSessions)
    if (s->Draining && s->Remote != nullptr) s->Remote->CloseLater();
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

TRelay::TSession* TRelay::SessionOf(const TComponent* Socket) const {
  if (Socket == nullptr) return nullptr;
  auto it = FSessions.find(static_cast<std::uint64_t>(Socket->Tag()));
  return it == FSessions.end() ? nullptr : it->second.get();
}

void TRelay::NewSession(TClient& Client) {
  auto s = std::make_unique<TSession>();
  s->Id = ++gLastSession;
  s->Client = &Client;
  s->Info.Id = s->Id;
  s->Info.LocalAddr = Client.PeerAddr();
  s->Info.LocalPort = PortNumber(Client.PeerPort());
  s->Info.RemoteHost = FSettings.RemoteAddr;
  try {
    const std::int64_t port = PortValue(FSettings.RemotePort);
    s->Info.RemotePort = port > 0 ? static_cast<std::uint16_t>(port) : 0;
  } catch (Exception&) {
  }
  s->RemotePort = FSettings.RemotePort;
  s->Info.StartUs = NowUs();
  s->Info.State = ssResolving;
  Client.Session = s->Id;
  Client.SetTag(static_cast<std::intptr_t>(s->Id));
  TlsNewSession(*s);
  TSession& session = *s;
  FSessions.emplace(s->Id, std::move(s));
  SessionChanged(session);
}

void TRelay::Entry(TSession& S, const char* Title, const std::string& Body, TEntryDirection Direction) {
  std::uint64_t* offset = Direction == edFromLocal ? &S.FromLocal : Direction == edFromRemote ? &S.FromRemote : nullptr;
  if (FSink != nullptr) {
    FSink->SetEntryColor(S.LogColor());
    FSink->SetEntryTitle(Title);
    FSink->AddEntry(Body, TEntrySource{S.Id, Direction, offset != nullptr ? *offset : 0});
  }
  if (offset != nullptr) *offset += Body.size();
}

// An entry about the local side. While bytes that the local client sent before it are held
// unlogged (Remote is not connected yet; they are logged when they leave), it waits behind them,
// so that no end, reset or close is logged before the data that came first.
void TRelay::LocalEntry(TSession& S, const char* Title) {
  const bool held = !S.Connected && ((S.Client != nullptr && !S.Client->PendingLocal.empty()) || !S.Pending.empty());
  if (held || !S.HeldLocalEntries.empty())
    S.HeldLocalEntries.push_back(Title);
  else
    Entry(S, Title);
}

// The held entries of the local side, in the order they came: once its bytes have been logged, or
// once they are to be dropped.
void TRelay::WriteHeldLocalEntries(TSession& S) {
  std::vector<const char*> held;
  held.swap(S.HeldLocalEntries);
  for (const char* title : held) Entry(S, title);
}

void TRelay::SessionChanged(TSession& S) {
  S.Info.Color = S.LogColor();
  S.Info.BytesFromLocal = S.FromLocal;
  S.Info.BytesFromRemote = S.FromRemote;
  // The state follows from how each side has ended; resolving, connecting and failed are set
  // where they happen.
  if (S.Info.State != ssFailed && S.Info.State >= ssRelaying) {
    if (S.Info.LocalEnd == seReset || S.Info.RemoteEnd == seReset)
      S.Info.State = ssReset;
    else if (S.Info.LocalEnd == seFinished && S.Info.RemoteEnd == seFinished)
      S.Info.State = ssClosed;
    else if (S.Info.LocalEnd == seFinished)
      S.Info.State = ssLocalEnded;
    else if (S.Info.RemoteEnd == seFinished)
      S.Info.State = ssRemoteEnded;
  }
  if (FSink != nullptr) FSink->SessionChanged(S.Info);
}

// Logs the held local data as one "From Local" entry and queues it on Remote; in line mode with
// more lines of the same read to come, it waits to leave with them.
void TRelay::ForwardLocal(TSession& S, std::string& Pending) {
  if (Pending.empty()) return;
  Entry(S, "From Local", Pending, edFromLocal);
  S.ToRemote += Pending;
  Pending.clear();
  if (S.Client == nullptr || !S.Client->MoreLinesBuffered()) Flush(S.ToRemote, *S.Remote);
}

void TRelay::Flush(std::string& Lines, TWSocket& To) {
  if (Lines.empty()) return;
  if (To.State() == wsConnected) To.SendText(Lines);
  Lines.clear();
}

// Stops reading From while To's send chain holds more than its share; To's OnDataSent resumes it.
void TRelay::HoldBack(TWSocket& From, TWSocket& To) {
  if (To.BufferedSendBytes() >= kHoldBack) From.PauseReceiving();
}

// Everything queued on one side has left: the other side may be read again.
void TRelay::ClientDataSent(TComponent* Sender, std::uint16_t) {
  TSession* s = SessionOf(Sender);
  if (s != nullptr && s->Remote != nullptr && s->Remote->ReceivingPaused()) s->Remote->ResumeReceiving();
}

void TRelay::RemoteDataSent(TComponent* Sender, std::uint16_t) {
  TSession* s = SessionOf(Sender);
  if (s != nullptr && s->Client != nullptr && s->Client->ReceivingPaused()) s->Client->ResumeReceiving();
}

// Both ends of the connection must match: the kernel gives one local port to connections to
// different destinations, so a client of ours may well come from the port of a Remote.
TRelay::TSession* TRelay::LoopOrigin(TClient& Client) {
  auto it = FOutgoing.find(PortNumber(Client.PeerPort()));
  if (it == FOutgoing.end()) return nullptr;
  auto s = FSessions.find(it->second);
  TSession* origin = s != FSessions.end() ? s->second.get() : nullptr;
  if (origin == nullptr || origin->Remote == nullptr || origin->OutgoingPort != it->first ||
      origin->OutgoingAddr != Client.PeerAddr())
    return nullptr;
  std::string localAddr;
  std::uint16_t localPort = 0;
  if (!LocalName(Client, localAddr, localPort) || localPort != origin->Info.RemotePort) return nullptr;
  return origin;
}

// Before the accept: the accepted socket takes the options of the relay's sockets with it.
void TRelay::WSocketServerClientCreate(TComponent*, TWSocketClient* Client) { RelaySocketOptions(*Client); }

void TRelay::WSocketServerClientConnect(TComponent*, TWSocketClient* AClient, std::uint16_t Error) {
  auto* Client = dynamic_cast<TClient*>(AClient);
  TSession* loopOrigin = Client != nullptr ? LoopOrigin(*Client) : nullptr;
  if (loopOrigin != nullptr) {
    // Relayed again, this client would make a session of its own, whose Remote would come back
    // here too: a storm of sessions. Both ends of the loop are cut at once instead.
    NewSession(*Client);
    const std::string why = "the connection to " + TrimBlanks(FSettings.RemoteAddr) + " port " +
                            TrimBlanks(FSettings.RemotePort) + " came back to this relay's own listening port";
    Entry(*SessionOf(Client), "Error: Relay into itself", why);
    WriteHeldLocalEntries(*loopOrigin);  // its local client's bytes are dropped
    Entry(*loopOrigin, "Error: Relay into itself", why);
    Fail(*SessionOf(Client), why);
    Fail(*loopOrigin, why);
    Client->CloseWithReset();
    CutSession(*loopOrigin);
  } else if (Client != nullptr) {
    NewSession(*Client);
    Client->PendingLocal.clear();
    Client->OnDataAvailable = [this](TComponent* S, std::uint16_t E) { ClientDataAvailable(S, E); };
    Client->OnLineLimitExceeded = [this](TComponent* S, std::int32_t N, bool& C) { ClientLineLimitExceeded(S, N, C); };
    Client->OnBgException = [this](TComponent* S, Exception& E, bool& C) { BgException(S, E, C); };
    Client->OnPeerShutdown = [this](TComponent* S, std::uint16_t E) { ClientPeerShutdown(S, E); };
    Client->OnSessionClosed = [this](TComponent* S, std::uint16_t E) { ClientSessionClosed(S, E); };
    Client->OnDataSent = [this](TComponent* S, std::uint16_t E) { ClientDataSent(S, E); };
    Client->SetLineMode(FSettings.LineMode);
    Client->SetLineEnd("\r\n");
    Client->ApplyLinger();  // the accepted socket took the server's setting

    TWSocket* Remote = new TWSocket(Client);
    Remote->SetTag(Client->Tag());
    Client->Remote = Remote;
    SessionOf(Client)->Remote = Remote;
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
    if (TSession* s = SessionOf(Client)) SessionChanged(*s);
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

// ---- the remote side: lookup and connection ----

void TRelay::RemoteDnsLookupDone(TComponent* Sender, std::uint16_t Error) {
  auto* Remote = static_cast<TWSocket*>(Sender);
  TSession* s = SessionOf(Remote);
  if (s == nullptr) return;
  if (Error != 0) {
    WriteHeldLocalEntries(*s);  // the bytes they waited for are dropped
    Entry(*s, "Error: Lookup failed", WinsockErrorText(Error));
    Fail(*s, WinsockErrorText(Error));
    RefuseLocal(*s);
    return;
  }
  s->Addresses = Remote->DnsResultList();
  if (s->Addresses.empty()) s->Addresses.push_back(Remote->DnsResult());
  s->Attempt = 0;
  Attempt(*s);
}

// Connects Remote to the session's next address. While others remain, an attempt that gets no
// answer within ConnectAttemptMs gives way to the next (a sequential take on the idea of Happy
// Eyeballs: an address that is dead or filtered costs a short delay, not the system's timeout).
void TRelay::StartAttempt(TSession& S) {
  TWSocket* Remote = S.Remote;
  const std::string& addr = S.Addresses[S.Attempt];
  RelaySocketOptions(*Remote);  // a failed attempt's close reset the linger setting
  Remote->SetAddr(addr);
  Remote->SetPort(S.RemotePort);
  S.Info.RemoteAddr = addr;
  S.Info.State = ssConnecting;
  SessionChanged(S);
  if (S.Attempt + 1 < S.Addresses.size()) platform::SetTimer(FWindow, S.Id, static_cast<platform::UINT>(FConnectAttemptMs));
  Remote->Connect();
  // The kernel has given the attempt its local port: an accepted client with this peer is the
  // relay itself.
  if (S.OutgoingPort != 0 && FOutgoing.count(S.OutgoingPort) != 0 && FOutgoing[S.OutgoingPort] == S.Id)
    FOutgoing.erase(S.OutgoingPort);
  if (LocalName(*Remote, S.OutgoingAddr, S.OutgoingPort)) FOutgoing[S.OutgoingPort] = S.Id;
}

// Connect raises when the attempt cannot even start (no descriptor left, say): a failed attempt
// like any other, not an exception that would close Remote and leave the client waiting.
void TRelay::Attempt(TSession& S) {
  try {
    StartAttempt(S);
  } catch (Exception& E) {
    platform::KillTimer(FWindow, S.Id);
    if (S.Remote != nullptr && S.Remote->State() != wsClosed) S.Remote->Abort();
    std::string why = E.Message();
    const std::size_t eol = why.find("\r\n");
    if (eol != std::string::npos) why = why.substr(eol + 2);  // the error's text, not where it came from
    AttemptFailed(S, why);
  }
}

// The current address failed: the next one is tried from the loop (the failed attempt's close is
// still under way), or the session fails once none is left.
void TRelay::AttemptFailed(TSession& S, const std::string& Why) {
  platform::KillTimer(FWindow, S.Id);
  S.Failures.push_back(S.Addresses[S.Attempt] + ": " + Why);
  if (S.Attempt + 1 < S.Addresses.size()) {
    ++S.Attempt;
    S.NextAttemptPosted = true;
    platform::PostMessage(FWindow, MsgNextAttempt, S.Id, 0);
    return;
  }
  // One address: its error as it is; several: each with its own.
  std::string reason = Why;
  if (S.Failures.size() > 1) {
    reason.clear();
    for (const std::string& f : S.Failures) reason += (reason.empty() ? "" : "; ") + f;
  }
  WriteHeldLocalEntries(S);  // the bytes they waited for are dropped
  Entry(S, "Error: Connection failed", reason);
  Fail(S, reason);
  RefuseLocal(S);
}

void TRelay::HandleMessage(platform::UINT Msg, platform::WPARAM WParam) {
  auto it = FSessions.find(static_cast<std::uint64_t>(WParam));
  TSession* s = it != FSessions.end() ? it->second.get() : nullptr;
  if (Msg == platform::WM_TIMER && WParam == kAcceptTimer) {
    ResumeAccepting();
    return;
  }
  if (Msg == platform::WM_TIMER) {
    platform::KillTimer(FWindow, WParam);
    if (s == nullptr || s->Remote == nullptr || s->Remote->State() != wsConnecting) return;
    s->Remote->Abort();  // its close is no failure of the session (RemoteSessionClosed)
    AttemptFailed(*s, "No answer");
    return;
  }
  if (Msg != MsgNextAttempt || s == nullptr || !s->NextAttemptPosted) return;
  s->NextAttemptPosted = false;
  if (s->Remote == nullptr || s->Cut || s->Remote->State() != wsClosed) return;
  Attempt(*s);
}

// A lookup that cannot even be asked for fails as one that found nothing.
void TRelay::PostLookupFailure(TSession& S, std::uint16_t Error) {
  WriteHeldLocalEntries(S);
  Entry(S, "Error: Lookup failed", WinsockErrorText(Error));
  Fail(S, WinsockErrorText(Error));
  RefuseLocal(S);
}

void TRelay::RemoteSessionConnected(TComponent* Sender, std::uint16_t Error) {
  TSession* s = SessionOf(Sender);
  if (s == nullptr) return;
  if (Error != 0) {
    AttemptFailed(*s, WinsockErrorText(Error));
    return;
  }
  platform::KillTimer(FWindow, s->Id);
  s->Connected = true;
  s->Info.State = ssRelaying;
  s->Info.ConnectedUs = NowUs();
  SessionChanged(*s);
  Entry(*s, "Connection Opened");
  TlsRemoteConnected(*s, true);
  ForwardLocal(*s, s->Client != nullptr ? s->Client->PendingLocal : s->Pending);
  Flush(s->ToRemote, *s->Remote);  // no read is under way: nothing more joins them now
  WriteHeldLocalEntries(*s);  // what the local client did after those bytes
  TlsRemoteConnected(*s, false);
  // Reading stopped while the held bytes grew; it goes on once they have left.
  if (s->Client != nullptr && s->Client->ReceivingPaused() && s->Remote->BufferedSendBytes() < kHoldBack)
    s->Client->ResumeReceiving();
  // What the local client did meanwhile follows its bytes.
  if (s->LocalEndToPass == seFinished)
    s->Remote->Shutdown(1);
  else if (s->LocalEndToPass == seReset)
    s->Remote->CloseWithReset();
}

// The session cannot reach the remote side: the local client is reset, so that it sees a refusal
// rather than an empty answer, and what it sent is dropped.
void TRelay::RefuseLocal(TSession& S) {
  if (S.Client != nullptr && S.Client->State() == wsConnected) S.Client->CloseWithReset();
}

void TRelay::Fail(TSession& S, const std::string& Reason) {
  S.Info.State = ssFailed;
  S.Info.Reason = Reason;
  SessionChanged(S);
}

// ---- data ----

void TRelay::ClientDataAvailable(TComponent* Sender, std::uint16_t Error) {
  if (Error != 0) return;
  auto* Client = static_cast<TClient*>(Sender);
  LocalData(*Client, ReceiveChunk(*Client));
}

// In line mode, a line longer than the line limit leaves as it stands, logged as a chunk of its
// own, and relaying goes on: the relay passes every byte, in line mode too. The rest of the line
// follows as the next chunk, or ends with its line end.
void TRelay::ClientLineLimitExceeded(TComponent* Sender, std::int32_t, bool& ClearData) {
  auto* Client = static_cast<TClient*>(Sender);
  ClearData = false;
  LocalData(*Client, Client->TakePartialLine());
}

void TRelay::RemoteLineLimitExceeded(TComponent* Sender, std::int32_t, bool& ClearData) {
  auto* Remote = static_cast<TWSocket*>(Sender);
  ClearData = false;
  RemoteData(*Remote, Remote->TakePartialLine());
}

// Local data read: held while Remote is not connected; forwarded at once after the remote side has
// ended its stream too, since the connection stays open for sending.
void TRelay::LocalData(TClient& Client, const std::string& Data) {
  TSession* s = SessionOf(&Client);
  if (s != nullptr && s->Tls != nullptr) {
    std::string plain = Data;
    if (TlsLocalData(*s, plain)) return;
    Client.PendingLocal += plain;
  } else {
    Client.PendingLocal += Data;
  }
  if (s != nullptr && Client.Remote != nullptr && Client.Remote->State() == wsConnected) {
    ForwardLocal(*s, Client.PendingLocal);
    HoldBack(Client, *Client.Remote);
  } else if (static_cast<std::int64_t>(Client.PendingLocal.size()) >= kHoldBack) {
    Client.PauseReceiving();  // until the remote side has connected and taken them
  }
}

void TRelay::RemoteDataAvailable(TComponent* Sender, std::uint16_t Error) {
  if (Error != 0) return;
  auto* Remote = static_cast<TWSocket*>(Sender);
  RemoteData(*Remote, ReceiveChunk(*Remote));
}

void TRelay::RemoteData(TWSocket& Remote, const std::string& Data) {
  TSession* s = SessionOf(&Remote);
  if (Data.empty() || s == nullptr) return;
  Entry(*s, "From Remote", Data, edFromRemote);
  if (s->Client == nullptr || s->Client->State() != wsConnected) {
    // The local connection has gone (reset, or closed by Cancel): the data is logged and dropped.
    Entry(*s, "Error: Local has closed");
    return;
  }
  s->ToLocal += Data;
  if (!Remote.MoreLinesBuffered()) Flush(s->ToLocal, *s->Client);
  HoldBack(Remote, *s->Client);
}

// ---- the ends ----

// The local client has ended its stream: the remote side gets the end once every byte before it
// has left, and keeps sending to the local client.
void TRelay::ClientPeerShutdown(TComponent* Sender, std::uint16_t) {
  TSession* s = SessionOf(Sender);
  if (s == nullptr) return;
  TlsLocalEnded(*s);
  TlsPeerEnded(*s, true);
  LocalEntry(*s, "End of Stream from Local");
  s->Info.LocalEnd = seFinished;
  SessionChanged(*s);
  if (s->Remote != nullptr && s->Remote->State() == wsConnected) {
    Flush(s->ToRemote, *s->Remote);
    s->Remote->Shutdown(1);
  }
  else if (!s->Connected)
    s->LocalEndToPass = seFinished;
}

void TRelay::RemotePeerShutdown(TComponent* Sender, std::uint16_t) {
  TSession* s = SessionOf(Sender);
  if (s == nullptr) return;
  TlsPeerEnded(*s, false);
  Entry(*s, "End of Stream from Remote");
  s->Info.RemoteEnd = seFinished;
  SessionChanged(*s);
  if (s->Client != nullptr && s->Client->State() == wsConnected) {
    Flush(s->ToLocal, *s->Client);
    s->Client->Shutdown(1);
  }
}

// The local connection has closed: in order once both directions have ended, or by a reset, which
// is passed on once what came before it has reached the remote side.
void TRelay::ClientSessionClosed(TComponent* Sender, std::uint16_t Error) {
  TSession* s = SessionOf(Sender);
  if (s != nullptr && Error == TlsConnectionFailed && !s->Cut) TlsBroken(*s, true);
  if (s == nullptr || Error == 0 || s->Cut || s->Info.State == ssFailed) return;
  LocalEntry(*s, "Reset from Local");
  s->Info.LocalEnd = seReset;
  SessionChanged(*s);
  if (s->Remote != nullptr && s->Remote->State() == wsConnected) {
    Flush(s->ToRemote, *s->Remote);
    s->Remote->CloseWithReset();
  } else if (!s->Connected) {
    s->LocalEndToPass = seReset;
  }
}

void TRelay::RemoteSessionClosed(TComponent* Sender, std::uint16_t Error) {
  TSession* s = SessionOf(Sender);
  if (s == nullptr) return;
  if (Error == TlsConnectionFailed && !s->Cut) TlsBroken(*s, false);
  if (Error != 0 && s->Connected && !s->Cut && s->Info.RemoteEnd != seReset && s->Info.State != ssFailed) {
    Entry(*s, "Reset from Remote");
    s->Info.RemoteEnd = seReset;
    SessionChanged(*s);
    if (s->Client != nullptr && s->Client->State() == wsConnected) {
      Flush(s->ToLocal, *s->Client);
      s->Client->CloseWithReset();
    }
  }
  // A draining Remote goes once closed, unless that close was a failed attempt with another to
  // follow.
  if (s->Draining && !s->NextAttemptPosted) static_cast<TWSocket*>(Sender)->FreeLater();
}

// Ends a session at once, both sides.
void TRelay::CutSession(TSession& S) {
  S.Cut = true;
  if (S.Client != nullptr) S.Client->Close();
  if (S.Remote != nullptr) S.Remote->CloseLater();
}

// From the TClient's destructor: "Connection Closed", then Remote either goes with its client or,
// still delivering the local client's bytes or its end, is taken over until it has closed. Bytes
// it still holds for a Remote that is connecting are logged when they leave, and "Connection
// Closed" after them.
void TRelay::ClientGone(TClient& Client) {
  TSession* s = SessionOf(&Client);
  if (s == nullptr || s->Client != &Client) {
    // A client that never took over a connection (its accept failed, for want of descriptors
    // say) was never a session: the log says nothing of it.
    if (Client.Session == 0) return;
    if (!platform::ApplicationTerminated() && FSink != nullptr) {
      FSink->SetEntryColor(Client.LogColor);
      FSink->SetEntryTitle("Connection Closed");
      FSink->AddEntry(std::string());
    }
    return;
  }
  s->Color = Client.LogColor;
  TWSocket* Remote = Client.Remote;
  const bool deliver = Remote != nullptr && Remote->State() != wsClosed && s->Info.State != ssFailed &&
                       (s->Connected || !Client.PendingLocal.empty() || s->LocalEndToPass != seOpen) &&
                       !s->Cut && !IsDestroying();
  if (!deliver) {
    WriteHeldLocalEntries(*s);  // the bytes they waited for go with the session, unsent
    if (!platform::ApplicationTerminated()) Entry(*s, "Connection Closed");
    s->Client = nullptr;
    s->Remote = nullptr;  // the TClient's destructor deletes it
    Forget(*s);
    return;
  }
  s->Client = nullptr;
  Client.Remote = nullptr;
  InsertComponent(Remote);  // out of the client's list, into the engine's
  s->Draining = true;
  s->Pending = std::move(Client.PendingLocal);
  ++FDrainingCount;
  // After the client's bytes, which wait for Remote to connect.
  if (!platform::ApplicationTerminated()) LocalEntry(*s, "Connection Closed");
  // Nobody waits for what it reads any more: it is logged and dropped, and its end must come.
  Remote->ResumeReceiving();
}

void TRelay::Forget(TSession& S) {
  WriteHeldLocalEntries(S);  // before the session's end
  platform::KillTimer(FWindow, S.Id);
  ResumeAccepting();  // its descriptors are free again
  if (S.OutgoingPort != 0) {
    auto it = FOutgoing.find(S.OutgoingPort);
    if (it != FOutgoing.end() && it->second == S.Id) FOutgoing.erase(it);
  }
  if (S.Info.State < ssRelaying) S.Info.State = ssClosed;  // cut before it connected
  S.Info.EndUs = NowUs();
  SessionChanged(S);
  FSessions.erase(S.Id);
}

void TRelay::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation != TOperation::opRemove || AComponent == FServer) return;
  // A draining Remote has gone.
  TSession* s = SessionOf(AComponent);
  if (s == nullptr || s->Remote != AComponent) return;
  s->Remote = nullptr;
  if (s->Draining) --FDrainingCount;
  if (s->Client == nullptr) Forget(*s);
}
