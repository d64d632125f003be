// TCustomWSocket: the address settings, resolution of a component's settings, and the operations
// that open a socket: Connect, Listen, Accept, Dup; the reads of peer and socket names.
//
// The family follows the address: Addr an IPv6 literal (or a name with IPv6 addresses alone) opens
// an IPv6 socket, everything else an IPv4 one. Every IPv6 socket also takes IPv4 peers
// (IPV6_V6ONLY off), so that Listen on "::" serves both families with one socket; an IPv4 peer of
// it reads as its dotted address.
#include <cstring>
#include <string>

#include "net/WSocket.h"
#include "net/WSocketTls.h"
#include "net/WinsockBinding.h"
#include "platform/MessageLoop.h"
#include "platform/WinsockErrors.h"

using namespace platform;

namespace {
constexpr std::uint32_t kConnectMask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr std::uint32_t kListenMask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
constexpr std::uint32_t kDupMask = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
}  // namespace

// ---- setters ----
// Addr, Port and Proto work alike: the same text again changes nothing in any state; otherwise
// only a closed socket takes a new text, stored trimmed; an empty text clears the Set flag.

namespace {

// False when the socket refused the change (the caller then reports Message).
bool AssignAddressText(TSocketState State, const std::string& Value, std::string& Text, bool& IsSet,
                       bool& IsReady) {
  if (IsSet && Value == Text) return true;
  if (State != wsClosed) return false;
  Text = TrimBlanks(Value);
  if (Text.empty()) {
    IsSet = false;
  } else {
    IsReady = false;
    IsSet = true;
  }
  return true;
}

}  // namespace

void TCustomWSocket::SetAddr(const std::string& Value) {
  if (!AssignAddressText(FState, Value, FAddr, FAddrSet, FAddrReady))
    RaiseSocketException("Cannot change Addr if not closed");
}

void TCustomWSocket::SetPort(const std::string& Value) {
  if (!AssignAddressText(FState, Value, FPort, FPortSet, FPortReady))
    RaiseSocketException("Cannot change Port if not closed");
}

void TCustomWSocket::SetProto(const std::string& Value) {
  if (!AssignAddressText(FState, Value, FProto, FProtoSet, FProtoReady))
    RaiseSocketException("Cannot change Proto if not closed");
}

void TCustomWSocket::SetLocalPort(const std::string& Value) {
  if (FState != wsClosed) {
    RaiseSocketException("Cannot change LocalPort if not closed");
    return;
  }
  FLocalPort = Value;
  FLocalPortReady = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& Value) {
  if (FState != wsClosed) {
    RaiseSocketException("Cannot change LocalAddr if not closed");
    return;
  }
  std::string text = Value.empty() ? "0.0.0.0" : Value;
  std::uint32_t a = winsock::inet_addr(text.c_str());
  TSockAddrIn6 a6;
  if (a != WS_INADDR_NONE) {
    FLocalAddr = winsock::inet_ntoa(a);
  } else if (ParseIPv6Literal(text, a6)) {
    FLocalAddr = SockAddrText(ToSockAddrStorage(a6));
  } else {
    RaiseSocketException("SetLocalAddr(): Invalid IP address");
  }
}

// ---- resolving the settings ----

void TCustomWSocket::ResolveProto() {
  if (FProtoReady) return;
  FProtoNumber = WSocketResolveProto(FProto);
  FSocketType = FProtoNumber == WS_IPPROTO_UDP ? WS_SOCK_DGRAM : WS_SOCK_STREAM;
  FProtoReady = true;
}

void TCustomWSocket::ResolvePort() {
  if (FPortReady) return;
  FPortNumber = static_cast<std::uint16_t>(WSocketResolvePort(FPort, FProto) & 0xFFFF);
  SetSockAddrPort(FSockAddr, winsock::htons(FPortNumber));
  FPortReady = true;
}

void TCustomWSocket::ResolveLocalPort() {
  if (FLocalPortReady) return;
  FLocalPortNumber = static_cast<std::uint16_t>(WSocketResolvePort(FLocalPort, FProto) & 0xFFFF);
  FLocalPortReady = true;
}

void TCustomWSocket::ResolveAddr() {
  if (FAddrReady) return;
  const std::uint16_t port = SockAddrPort(FSockAddr);
  FSockAddr = ToSockAddrInet(WSocketResolveAddress(FAddr));
  SetSockAddrPort(FSockAddr, port);
  FAddrReady = true;
}

namespace {

// The local address for a socket of the given family. An IPv6 socket takes the IPv4 texts too:
// "0.0.0.0" (the default) as "::", any other as its mapped form ::ffff:a.b.c.d.
TSockAddrStorage LocalAddress(const std::string& Text, int Family) {
  TSockAddrStorage local = WSocketResolveAddress(Text);  // its exception leaves the caller too
  if (Family != WS_AF_INET6 || local.ss_family != WS_AF_INET) return local;
  TSockAddrIn in;
  std::memcpy(static_cast<void*>(&in), &local, sizeof in);
  TSockAddrIn6 in6;
  in6.sin6_family = WS_AF_INET6;
  if (in.sin_addr != WS_INADDR_ANY) {
    in6.sin6_addr[10] = 0xFF;
    in6.sin6_addr[11] = 0xFF;
    std::memcpy(in6.sin6_addr + 12, &in.sin_addr, 4);
  }
  return ToSockAddrStorage(in6);
}

}  // namespace

// Each IPv6 socket also takes IPv4 peers (the platform starts it IPv6-only, as Windows does).
// False when the socket library refused; the caller reports it.
bool TCustomWSocket::AllowIPv4Peers() {
  if (FAddressFamily != WS_AF_INET6) return true;
  std::int32_t off = 0;
  return winsock::setsockopt(FSocketHandle, WS_IPPROTO_IPV6, WS_IPV6_V6ONLY,
                             reinterpret_cast<const char*>(&off), sizeof off) == 0;
}

void TCustomWSocket::BindLocal() {
  TSockAddrStorage local = LocalAddress(FLocalAddr, FAddressFamily);
  SetSockAddrPort(local, winsock::htons(FLocalPortNumber));
  if (winsock::bind(FSocketHandle, &local, SockAddrLength(local)) != 0) {
    RaiseSocketExceptionFmt("winsock.bind failed, error #%d",
                            {std::to_string(winsock::WSAGetLastError())});
    return;
  }
  int len = sizeof local;
  if (winsock::getsockname(FSocketHandle, &local, &len) != 0) {
    RaiseSocketExceptionFmt("winsock.getsockname failed, error #%d",
                            {std::to_string(winsock::WSAGetLastError())});
    return;
  }
  // A request for port 0 reads back as the port that the system chose.
  FLocalPortNumber = winsock::ntohs(SockAddrPort(local));
  FLocalPort = std::to_string(FLocalPortNumber);
}

// ---- Connect ----

// The settings Connect needs are there and resolve.
bool TCustomWSocket::ConnectSettingsReady() {
  if (FSocketHandle != INVALID_SOCKET && FState != wsClosed) {
    RaiseSocketException("Connect: Socket already in use");
    return false;
  }
  if (!FPortSet) {
    RaiseSocketException("Connect: No Port Specified");
    return false;
  }
  if (!FAddrSet) {
    RaiseSocketException("Connect: No IP Address Specified");
    return false;
  }
  if (!FProtoSet) {
    RaiseSocketException("Connect: No Protocol Specified");
    return false;
  }
  try {
    ResolveProto();
    ResolvePort();
    ResolveLocalPort();
    ResolveAddr();
  } catch (Exception& E) {
    RaiseSocketException("connect: " + E.Message());
    return false;
  }
  return true;
}

// The options of the opened socket before it connects: broadcast for a datagram socket sent to
// the broadcast address; reuse, linger, keep-alive, the local binding and no-delay for a stream.
bool TCustomWSocket::SetConnectOptions() {
  if (FSocketType == WS_SOCK_DGRAM) {
    BindLocal();
    TSockAddrIn dest;
    std::memcpy(static_cast<void*>(&dest), &FSockAddr, sizeof dest);
    if (FAddressFamily == WS_AF_INET && dest.sin_addr == WS_INADDR_NONE) {
      std::int32_t on = 1;
      if (winsock::setsockopt(FSocketHandle, WS_SOL_SOCKET, WS_SO_BROADCAST,
                              reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        ReportSocketError("setsockopt(SO_BROADCAST)");
        return false;
      }
    }
    return true;
  }
  std::int32_t all = -1;
  if (winsock::setsockopt(FSocketHandle, WS_SOL_SOCKET, WS_SO_REUSEADDR,
                          reinterpret_cast<const char*>(&all), sizeof all) != 0) {
    ReportSocketError("setsockopt(SO_REUSEADDR)");
    return false;
  }
  ApplyLinger();  // a failure reported through OnError does not stop Connect
  if (winsock::setsockopt(FSocketHandle, WS_SOL_SOCKET, WS_SO_KEEPALIVE,
                          reinterpret_cast<const char*>(&all), sizeof all) != 0) {
    ReportSocketError("setsockopt(SO_KEEPALIVE)");
    return false;
  }
  if (FLocalPortNumber != 0 || FLocalAddr != "0.0.0.0") BindLocal();
  ApplyTcpNoDelay();
  return true;
}

void TCustomWSocket::Connect() {
  if (!ConnectSettingsReady()) return;
  DiscardSendBuffer();
  FAddressFamily = FSockAddr.ss_family;
  FSocketHandle = winsock::socket(FAddressFamily, FSocketType, FProtoNumber);
  if (FSocketHandle == INVALID_SOCKET) {
    ReportSocketError("Connect (socket)");
    return;
  }
  ChangeState(wsOpened);
  if (!AllowIPv4Peers()) {
    ReportSocketError("setsockopt(IPV6_V6ONLY)");
    return;
  }
  if (!SetConnectOptions()) return;

  FEventMask = kConnectMask;
  if (winsock::WSAAsyncSelect(FSocketHandle, FNotifyWindow, MsgSocketEvent, kConnectMask) != 0) {
    ReportSocketError("WSAAsyncSelect");
    return;
  }

  if (FSocketType == WS_SOCK_DGRAM) {
    ChangeState(wsConnected);
    NotifySessionConnected(0);
    return;
  }
  if (winsock::connect(FSocketHandle, &FSockAddr, SockAddrLength(FSockAddr)) == 0 ||
      winsock::WSAGetLastError() == WSAEWOULDBLOCK) {
    ChangeState(wsConnecting);
  } else {
    FLastError = winsock::WSAGetLastError();
    ReportSocketError("Connect");
  }
}

// ---- Listen ----

// The settings Listen needs are there and resolve.
bool TCustomWSocket::ListenSettingsReady() {
  if (!FPortSet) {
    winsock::WSASetLastError(WSAEINVAL);
    ReportSocketError("listen: port not assigned");
    return false;
  }
  if (!FProtoSet) {
    winsock::WSASetLastError(WSAEINVAL);
    ReportSocketError("listen: protocol not assigned");
    return false;
  }
  if (!FAddrSet) {
    winsock::WSASetLastError(WSAEINVAL);
    ReportSocketError("listen: address not assigned");
    return false;
  }
  try {
    ResolveProto();
    ResolvePort();
    ResolveAddr();
  } catch (Exception& E) {
    RaiseSocketException("listen: " + E.Message());
    return false;
  }
  return true;
}

// Until it is bound the socket stays closed: a failure closes it whether or not the report raises,
// and the state stays wsClosed.
bool TCustomWSocket::BindListening() {
  struct CloseOnExit {
    SOCKET& handle;
    ~CloseOnExit() {
      winsock::closesocket(handle);
      handle = INVALID_SOCKET;
    }
  };
  if (!AllowIPv4Peers()) {
    CloseOnExit closer{FSocketHandle};
    ReportSocketError("setsockopt(IPV6_V6ONLY)");
    return false;
  }
  if (winsock::bind(FSocketHandle, &FSockAddr, SockAddrLength(FSockAddr)) != 0) {
    CloseOnExit closer{FSocketHandle};
    ReportSocketError("Bind");
    return false;
  }
  ChangeState(wsBound);
  return true;
}

void TCustomWSocket::Listen() {
  if (!ListenSettingsReady()) return;
  DiscardSendBuffer();
  FAddressFamily = FSockAddr.ss_family;
  FSocketHandle = winsock::socket(FAddressFamily, FSocketType, FProtoNumber);
  if (FSocketHandle == INVALID_SOCKET) {
    ReportSocketError("socket");
    return;
  }
  if (!BindListening()) return;

  if (FSocketType == WS_SOCK_DGRAM) {
    ChangeState(wsListening);
    ChangeState(wsConnected);
    NotifySessionConnected(0);
  } else {
    if (winsock::listen(FSocketHandle, FListenBacklog) != 0) {
      ReportSocketError("Listen");
      return;
    }
    ChangeState(wsListening);
  }

  FEventMask = kListenMask;
  if (winsock::WSAAsyncSelect(FSocketHandle, FNotifyWindow, MsgSocketEvent, kListenMask) != 0)
    ReportSocketError("WSAASyncSelect");
}

// ---- Accept and Dup ----

SOCKET TCustomWSocket::Accept() {
  if (FState != wsListening) {
    winsock::WSASetLastError(WSAEINVAL);
    ReportSocketError("not a listening socket");
    return INVALID_SOCKET;
  }
  int len = sizeof FSockAddr;
  FAcceptedHandle = winsock::accept(FSocketHandle, &FSockAddr, &len);
  if (FAcceptedHandle == INVALID_SOCKET) {
    ReportSocketError("Accept");
    return INVALID_SOCKET;
  }
  return FAcceptedHandle;
}

void TCustomWSocket::Dup(SOCKET NewHandle) {
  if (NewHandle == 0 || NewHandle == INVALID_SOCKET) {
    winsock::WSASetLastError(WSAEINVAL);
    ReportSocketError("Dup");
    return;
  }
  if (FTls != nullptr && FTls->IdleTimerSet) platform::KillTimer(FNotifyWindow, kTlsIdleTimer);
  FTls.reset();  // a new connection starts without TLS
  if (FState != wsClosed) {
    int rc = winsock::closesocket(FSocketHandle);
    FSocketHandle = INVALID_SOCKET;
    if (rc != 0) {
      ReportSocketError("Dup (closesocket)");
      return;
    }
    ChangeState(wsClosed);
  }
  FSocketHandle = NewHandle;
  ApplyLinger();
  ApplyTcpNoDelay();
  FEventMask = kDupMask;
  if (winsock::WSAAsyncSelect(FSocketHandle, FNotifyWindow, MsgSocketEvent, kDupMask) != 0) {
    ReportSocketError("WSAAsyncSelect");
    return;
  }
  ChangeState(wsConnected);
}

// ---- names ----

std::string TCustomWSocket::PeerAddr() {
  if (FState != wsConnected) return "error";
  TSockAddrStorage peer;
  int len = sizeof peer;
  if (winsock::getpeername(FSocketHandle, &peer, &len) != 0) {
    ReportSocketError("GetPeerName");
    return "error";
  }
  return SockAddrText(peer);
}

std::string TCustomWSocket::GetPeerPort() {
  if (FState != wsConnected) return "error";
  TSockAddrStorage peer;
  int len = sizeof peer;
  if (winsock::getpeername(FSocketHandle, &peer, &len) != 0) {
    ReportSocketError("GetPeerPort");
    return "error";
  }
  return std::to_string(winsock::ntohs(SockAddrPort(peer)));
}

std::int32_t TCustomWSocket::GetPeerName(TSockAddrPtr Name, std::int32_t NameLen) {
  if (FState != wsConnected) return -1;
  int len = NameLen;
  return winsock::getpeername(FSocketHandle, Name, &len);
}

std::int32_t TCustomWSocket::GetSockName(TSockAddrPtr Name, std::int32_t& NameLen) {
  int len = NameLen;
  int rc = winsock::getsockname(FSocketHandle, Name, &len);
  NameLen = len;
  return rc;
}

std::string TCustomWSocket::GetBoundPort() {
  if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
  TSockAddrStorage local;
  int len = sizeof local;
  if (winsock::getsockname(FSocketHandle, &local, &len) != 0) return "error";
  return std::to_string(winsock::ntohs(SockAddrPort(local)));
}

std::string TCustomWSocket::GetBoundAddr() {
  if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
  TSockAddrStorage local;
  int len = sizeof local;
  if (winsock::getsockname(FSocketHandle, &local, &len) != 0) return "error";
  return SockAddrText(local);
}
