// TCustomSocksWSocket: the SOCKS settings, Connect and Listen through a SOCKS server, the readers
// that serve the surplus of a SOCKS 5 reply first, and the requests of the negotiation. The replies
// are read in WSocketSocksReply.cpp. With SocksServer empty, every operation is the level below's.
//
// Every request is built whole and checked against the 128-byte request buffer before a byte of it
// leaves: Connect refuses settings that would not fit, and a request that no longer fits when it
// is built (the usercode and password can be changed in any state) fails the negotiation instead
// of being sent short or with a wrong length byte. Because the buffer holds 128 bytes, every
// one-byte length field stays far below 255.
//
// An IPv6 literal as the destination goes to a SOCKS 5 server as its 16 bytes (address type 4);
// SOCKS 4 has room for an IPv4 address only, and 4A servers read the name as a host name, so
// both refuse such a destination in Connect, before any connection is made.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "net/WSocket.h"
#include "net/WinsockBinding.h"

using namespace platform;

namespace {

void AppendPort(std::string& Request, std::uint16_t Port) {  // network order
  Request += static_cast<char>(Port >> 8);
  Request += static_cast<char>(Port & 0xFF);
}

std::string LowerCase(std::string Text) {
  std::transform(Text.begin(), Text.end(), Text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return Text;
}

}  // namespace

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* AOwner) : TCustomWSocket(AOwner) {
  ResetSocksDefaults();
}

void TCustomSocksWSocket::ResetDefaults() {
  TCustomWSocket::ResetDefaults();
  ResetSocksDefaults();
}

void TCustomSocksWSocket::ResetSocksDefaults() {
  FSocksPhase = spRelaying;
  if (FSocks != nullptr) {
    FSocks->Server.clear();
    FSocks->Port.clear();
    FSocks->Level = "5";
  }
  FSocksSurplus = TSocksSurplus{};
  FUseSocks = false;
}

const TCustomSocksWSocket::TSocksState& TCustomSocksWSocket::SocksState() const {
  static const TSocksState defaults;
  return FSocks != nullptr ? *FSocks : defaults;
}

TCustomSocksWSocket::TSocksState& TCustomSocksWSocket::Socks() {
  if (FSocks == nullptr) FSocks = std::make_unique<TSocksState>();
  return *FSocks;
}

void TCustomSocksWSocket::SetSocksUsercode(const std::string& Value) {
  if (FSocks != nullptr || !Value.empty()) Socks().Usercode = Value;
}

void TCustomSocksWSocket::SetSocksPassword(const std::string& Value) {
  if (FSocks != nullptr || !Value.empty()) Socks().Password = Value;
}

// ---- settings ----

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value) {
  if (FState != wsClosed) {
    RaiseSocketException("Can't change socks level if not closed");
    return;
  }
  if (Value != "4" && Value != "5" && Value != "4A" && Value != "4a") {
    RaiseSocketException("Invalid socks level. Must be 4, 4A or 5.");
    return;
  }
  if (FSocks != nullptr || Value != "5") Socks().Level = Value == "4a" ? "4A" : Value;
}

// SockAddr holds the SOCKS server's address while a SOCKS server is set and the destination's
// otherwise: a new server, or none, makes both halves stale.
void TCustomSocksWSocket::SetSocksServer(const std::string& Value) {
  if (FState != wsClosed) {
    RaiseSocketException("Can't change socks server if not closed");
    return;
  }
  const std::string server = TrimBlanks(Value);
  if (FSocks != nullptr || !server.empty()) Socks().Server = server;
  FUseSocks = !server.empty();
  FAddrReady = false;
  FPortReady = false;
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) {
  if (FState != wsClosed) {
    RaiseSocketException("Can't change socks port if not closed");
    return;
  }
  const std::string port = TrimBlanks(Value);
  if (FSocks != nullptr || !port.empty()) Socks().Port = port;
  FPortReady = false;
}

// The text that refuses the request of the given kind that the current settings make, or empty
// when it fits the request buffer.
std::string TCustomSocksWSocket::OversizeRequestText(bool AuthRequest) const {
  const std::size_t U = SocksState().Usercode.size(), P = SocksState().Password.size(), H = FAddr.size();
  const std::size_t Room = kSocksBufferSize;
  if (AuthRequest)
    return 3 + U + P <= Room ? "" : "Socks usercode and password too long (at most " +
                                        std::to_string(Room - 3) + " bytes together)";
  if (SocksState().Level == "5")
    return 7 + H <= Room ? "" : "Socks destination host name too long (at most " +
                                    std::to_string(Room - 7) + " bytes)";
  if (SocksState().Level == "4")
    return 9 + U <= Room ? "" : "Socks usercode too long (at most " + std::to_string(Room - 9) + " bytes)";
  return 10 + U + H <= Room ? "" : "Socks usercode and destination host name too long (at most " +
                                       std::to_string(Room - 10) + " bytes together)";
}

// ---- Connect and Listen ----

void TCustomSocksWSocket::Connect() {
  if (!FUseSocks) {
    TCustomWSocket::Connect();
    return;
  }
  if (LowerCase(FProto) != "tcp") {
    RaiseSocketException("tcp is the only protocol supported thru socks server");
    return;
  }
  TSockAddrIn6 destination;
  if (SocksState().Level.front() == '4' && ParseIPv6Literal(FAddr, destination)) {
    RaiseSocketException("Socks " + SocksState().Level + " cannot carry the IPv6 address " + FAddr +
                         ": use socks level 5");
    return;
  }
  try {
    if (!FPortReady) {
      SetSockAddrPort(FSockAddr, winsock::htons(static_cast<std::uint16_t>(
                                     WSocketResolvePort(SocksState().Port, FProto) & 0xFFFF)));
      FPortReady = true;
    }
    if (!FAddrReady) {
      const std::uint16_t port = SockAddrPort(FSockAddr);
      FSockAddr = ToSockAddrInet(WSocketResolveAddress(SocksState().Server));
      SetSockAddrPort(FSockAddr, port);
      FAddrReady = true;
    }
    FPortNumber = static_cast<std::uint16_t>(WSocketResolvePort(FPort, FProto) & 0xFFFF);
  } catch (Exception& E) {
    RaiseSocketException("connect: " + E.Message());
    return;
  }
  std::string tooLong = OversizeRequestText(false);
  if (tooLong.empty() && SocksState().Level == "5" && FSocksAuthentication == socksAuthenticateUsercode)
    tooLong = OversizeRequestText(true);
  if (!tooLong.empty()) {
    RaiseSocketException(tooLong);
    return;
  }

  // The phase changes only once a connection attempt is under way (its outcome arrives from the
  // loop, never inside Connect): a Connect refused below, or refused because the socket is in use,
  // must leave no negotiation behind for the session that is or comes next.
  TCustomWSocket::Connect();
  if (FState == wsConnecting) {
    FSocksPhase = spAwaitMethod;
    FReplyCount = 0;
  }
}

void TCustomSocksWSocket::Listen() {
  if (FUseSocks) {
    RaiseSocketException("Listening is not supported thru socks server");
    return;
  }
  TCustomWSocket::Listen();
}

// ---- the readers: the surplus first ----

std::int32_t TCustomSocksWSocket::RcvdCount() {
  if (FSocksSurplus.Count > 0) return FSocksSurplus.Count;
  return TCustomWSocket::RcvdCount();
}

std::int32_t TCustomSocksWSocket::NetRecv(char* Buffer, std::int32_t BufferSize, std::int32_t Flags) {
  if (FSocksSurplus.Count <= 0) return TCustomWSocket::NetRecv(Buffer, BufferSize, Flags);
  const std::int32_t n = std::clamp(BufferSize, 0, FSocksSurplus.Count);
  std::memcpy(Buffer, Socks().ReplyBuffer.data() + FSocksSurplus.Position, static_cast<std::size_t>(n));
  FSocksSurplus.Position += n;
  FSocksSurplus.Count -= n;
  return n;
}

void TCustomSocksWSocket::StartTls(std::unique_ptr<TTlsEngine> Engine, std::string_view Initial) {
  if (!Engine || !TlsStartRefusal().empty() || FSocksSurplus.Count <= 0) {
    TCustomWSocket::StartTls(std::move(Engine), Initial);
    return;
  }
  std::string early(Initial);
  early.append(reinterpret_cast<const char*>(Socks().ReplyBuffer.data()) + FSocksSurplus.Position,
               static_cast<std::size_t>(FSocksSurplus.Count));
  FSocksSurplus = TSocksSurplus{};
  TCustomWSocket::StartTls(std::move(Engine), early);
}

// ---- the session notifications ----

// After user code ran: true when that code closed the socket or otherwise ended the phase that
// the caller was in, so that the caller must not go on with it.
bool TCustomSocksWSocket::SessionEnded(TSocksPhase Expected) const {
  return FState != wsConnected || FSocksPhase != Expected;
}

void TCustomSocksWSocket::NotifySessionConnected(std::uint16_t Error) {
  if (FSocksPhase != spAwaitMethod) {
    TCustomWSocket::NotifySessionConnected(Error);
    return;
  }
  NotifySocksConnected(Error);
  if (Error != 0) {
    TCustomWSocket::NotifySessionConnected(Error);  // the dispatch closes the socket next
    return;
  }
  if (SessionEnded(spAwaitMethod)) return;
  if (SocksState().Level.front() == '4')
    SendConnectRequest();
  else
    SendMethodRequest();
}

void TCustomSocksWSocket::NotifySessionClosed(std::uint16_t Error) {
  if (FSocksPhase == spAwaitAuth) NotifySocksAuthState(sasFailed);
  TCustomWSocket::NotifySessionClosed(Error);
}

void TCustomSocksWSocket::NotifySocksConnected(std::uint16_t Error) {
  THandlerScope running(*this);
  if (OnSocksConnected) OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::NotifySocksError(std::int32_t Error, const std::string& Msg) {
  THandlerScope running(*this);
  if (OnSocksError) OnSocksError(this, Error, Msg);
}

void TCustomSocksWSocket::NotifySocksAuthState(TSocksAuthState AuthState) {
  THandlerScope running(*this);
  if (OnSocksAuthState) OnSocksAuthState(this, AuthState);
}

// ---- the requests ----

void TCustomSocksWSocket::SendMethodRequest() {
  FOfferedAuthMethod = FSocksAuthentication == socksNoAuthentication ? 0 : 2;
  const char Request[3] = {5, 1, static_cast<char>(FOfferedAuthMethod)};
  Send(Request, sizeof Request);
}

void TCustomSocksWSocket::SendAuthRequest() {
  FSocksPhase = spAwaitAuth;
  NotifySocksAuthState(sasBegun);
  if (SessionEnded(spAwaitAuth)) return;
  std::string Request(1, '\x01');
  Request += static_cast<char>(SocksState().Usercode.size() & 0xFF);
  Request += SocksState().Usercode;
  Request += static_cast<char>(SocksState().Password.size() & 0xFF);
  Request += SocksState().Password;
  SendRequest(Request, true);
}

void TCustomSocksWSocket::SendConnectRequest() {
  FSocksPhase = spAwaitConnect;
  std::string Request;
  if (SocksState().Level == "5") {
    TSockAddrIn6 ipv6;
    if (ParseIPv6Literal(FAddr, ipv6)) {
      Request = std::string("\x05\x01\x00\x04", 4);  // CONNECT to an IPv6 address
      Request.append(reinterpret_cast<const char*>(ipv6.sin6_addr), sizeof ipv6.sin6_addr);
    } else {
      Request = std::string("\x05\x01\x00\x03", 4);  // CONNECT to a domain name, even a dotted one
      Request += static_cast<char>(FAddr.size() & 0xFF);
      Request += FAddr;
    }
    AppendPort(Request, FPortNumber);
    SendRequest(Request, false);
    return;
  }
  Request = std::string("\x04\x01", 2);
  AppendPort(Request, FPortNumber);
  if (SocksState().Level == "4") {
    std::uint32_t Address = 0;  // network order, as its bytes go on the wire
    std::string Failure;
    try {
      Address = WSocketResolveHost(FAddr);
    } catch (ESocketException& E) {
      Failure = "ESocketException " + E.Message();
    } catch (Exception& E) {
      Failure = "Exception " + E.Message();
    }
    if (!Failure.empty()) {
      NotifySocksError(20017, Failure);
      if (FState != wsClosed) CloseAndNotify(true, 20017);
      return;
    }
    char Bytes[4];
    std::memcpy(Bytes, &Address, sizeof Bytes);
    Request.append(Bytes, sizeof Bytes);
  } else {
    Request += std::string("\x00\x00\x00\x01", 4);  // 0.0.0.1: the name follows the user id
  }
  Request += SocksState().Usercode;
  Request += '\0';
  if (SocksState().Level == "4A") {
    Request += FAddr;
    Request += '\0';
  }
  SendRequest(Request, false);
}

// Sends one request of the negotiation, or fails the negotiation when the request does not fit the
// request buffer. An error that the send raises is swallowed; a connection found gone is closed
// and reported by the send path itself.
void TCustomSocksWSocket::SendRequest(const std::string& Request, bool AuthRequest) {
  if (Request.size() > static_cast<std::size_t>(kSocksBufferSize)) {
    SocksFailure(20013, OversizeRequestText(AuthRequest));
    return;
  }
  try {
    Send(Request.data(), static_cast<std::int32_t>(Request.size()));
  } catch (Exception&) {
  }
}
