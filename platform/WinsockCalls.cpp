// The socket calls of Winsock.h over POSIX sockets: Windows Sockets values and results at the
// interface, POSIX inside. A SOCKET is the descriptor number. Every failure stores a Windows
// Sockets code (WSAErrorFromErrno, the one table) and returns SOCKET_ERROR or INVALID_SOCKET.
//
// Where Linux and Windows differ, the Windows behaviour is made here:
// - sends use MSG_NOSIGNAL, so a closed peer never raises SIGPIPE; EPIPE is 10058 after our own
//   shutdown of the send side, 10054 once the connection existed, else 10057;
// - bind() of a stream socket sets SO_REUSEADDR first, so a port whose old connections sit in
//   TIME_WAIT can be listened on again, while a port with a live listener still gives 10048;
// - listen() on an unbound socket is 10022 (Linux would bind a random port);
// - a new IPv6 socket has IPV6_V6ONLY on, as on Windows, whatever the system's default; an IPv4
//   record given to an IPv6 socket is 10047, not Linux's "invalid argument";
// - recv() of 0 bytes on a stream reports whether a read could proceed (0) or would block;
// - an accepted socket is non-blocking when its listener is (Windows copies the listener's
//   selection; here only its mode is copied, the new socket is selected on its own);
// - the readiness bookkeeping of WSAAsyncSelect is in WinsockSelect.cpp.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#undef htons
#undef ntohs

#include <cerrno>
#include <chrono>
#include <cstring>
#include <unordered_map>

#include "platform/Winsock.h"
#include "platform/WinsockErrors.h"
#include "platform/WinsockSelect.h"

namespace platform {

using sockets::Fail;
using sockets::ToFd;

namespace {

// Windows Sockets values that Winsock.h does not name.
constexpr int kWsMsgPeek = 0x2;
constexpr int kWsMsgDontRoute = 0x4;
constexpr int kWsSoDontLinger = ~WS_SO_LINGER;
constexpr int kWsSoSndBuf = 0x1001;
constexpr int kWsSoRcvBuf = 0x1002;
constexpr int kWsSoOobInline = 0x0100;

constexpr int kInLen = static_cast<int>(sizeof(TSockAddrIn));
constexpr int kIn6Len = static_cast<int>(sizeof(TSockAddrIn6));

int gStartups = 0;
int gCleanups = 0;

int FailErrno(int Err) { return Fail(WSAErrorFromErrno(Err)); }

SOCKET FailSocket(int WsaCode) {
  WSASetLastError(WsaCode);
  return INVALID_SOCKET;
}

// Flags of recv/send: MSG_OOB, MSG_PEEK (receiving only) and MSG_DONTROUTE.
bool PosixFlags(int WsFlags, bool Receiving, int& Out) {
  int allowed = WS_MSG_OOB | kWsMsgDontRoute | (Receiving ? kWsMsgPeek : 0);
  if ((WsFlags & ~allowed) != 0) return false;
  Out = ((WsFlags & WS_MSG_OOB) ? MSG_OOB : 0) | ((WsFlags & kWsMsgPeek) ? MSG_PEEK : 0) |
        ((WsFlags & kWsMsgDontRoute) ? MSG_DONTROUTE : 0);
  return true;
}

// A POSIX socket address and its length.
struct TPosixAddr {
  sockaddr_storage Storage{};
  socklen_t Len = sizeof(sockaddr_storage);
  sockaddr* Get() { return reinterpret_cast<sockaddr*>(&Storage); }
  const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&Storage); }
  int Family() const { return Storage.ss_family; }
};

// The family in the first two bytes of a Windows Sockets record.
std::uint16_t RecordFamily(const void* Addr) {
  std::uint16_t family;
  std::memcpy(&family, Addr, sizeof family);
  return family;
}

// A Windows Sockets record as the POSIX one: 0, or WSAEFAULT for a missing or short record. A
// record of an unknown family is read as an IPv4 one that keeps its family number, so that the
// system refuses it (WSAEAFNOSUPPORT) as it would on Windows.
int ToPosixAddr(TConstSockAddrPtr Addr, int Len, TPosixAddr& Out) {
  if (!Addr || Len < kInLen) return WSAEFAULT;
  Out = TPosixAddr{};
  if (RecordFamily(Addr.Get()) == WS_AF_INET6) {
    if (Len < kIn6Len) return WSAEFAULT;
    TSockAddrIn6 a;
    std::memcpy(&a, Addr.Get(), sizeof a);
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = a.sin6_port;
    sin6.sin6_flowinfo = a.sin6_flowinfo;
    std::memcpy(&sin6.sin6_addr, a.sin6_addr, sizeof a.sin6_addr);
    sin6.sin6_scope_id = a.sin6_scope_id;
    std::memcpy(&Out.Storage, &sin6, sizeof sin6);
    Out.Len = sizeof sin6;
    return 0;
  }
  TSockAddrIn a;
  std::memcpy(&a, Addr.Get(), sizeof a);
  sockaddr_in sin{};
  sin.sin_family = a.sin_family == WS_AF_INET ? AF_INET : static_cast<sa_family_t>(a.sin_family);
  sin.sin_port = a.sin_port;
  sin.sin_addr.s_addr = a.sin_addr;
  std::memcpy(&Out.Storage, &sin, sizeof sin);
  Out.Len = sizeof sin;
  return 0;
}

// The record that a POSIX address makes, written to Addr when *Len has room for it (16 bytes for
// IPv4, 28 for IPv6); *Len becomes its length. False when there is no room.
bool FromPosixAddr(const TPosixAddr& In, TSockAddrPtr Addr, int* Len) {
  if (In.Family() == AF_INET6) {
    if (*Len < kIn6Len) return false;
    sockaddr_in6 sin6;
    std::memcpy(&sin6, &In.Storage, sizeof sin6);
    TSockAddrIn6 a;
    a.sin6_family = WS_AF_INET6;
    a.sin6_port = sin6.sin6_port;
    a.sin6_flowinfo = sin6.sin6_flowinfo;
    std::memcpy(a.sin6_addr, &sin6.sin6_addr, sizeof a.sin6_addr);
    a.sin6_scope_id = sin6.sin6_scope_id;
    std::memcpy(Addr.Get(), &a, sizeof a);
    *Len = kIn6Len;
    return true;
  }
  if (*Len < kInLen) return false;
  sockaddr_in sin;
  std::memcpy(&sin, &In.Storage, sizeof sin);
  TSockAddrIn a;
  a.sin_family = sin.sin_family == AF_INET ? static_cast<std::uint16_t>(WS_AF_INET) : sin.sin_family;
  a.sin_port = sin.sin_port;
  a.sin_addr = sin.sin_addr.s_addr;
  std::memcpy(Addr.Get(), &a, sizeof a);
  *Len = kInLen;
  return true;
}

// An output address argument: none, or a record of at least 16 bytes with its length.
bool AddrOutValid(TSockAddrPtr Addr, const int* Len) {
  return !Addr || (Len != nullptr && *Len >= kInLen);
}

// The length of the records of a socket's family: 28 for IPv6, 16 otherwise.
int RecordLength(int Fd) {
  int domain = AF_INET;
  socklen_t len = sizeof domain;
  if (::getsockopt(Fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0) return kInLen;
  return domain == AF_INET6 ? kIn6Len : kInLen;
}

// An output record too short for the socket's family (an IPv4 record for an IPv6 socket), found
// before the call that would fill it takes anything from the network.
bool OutRecordTooShort(int Fd, TSockAddrPtr Addr, const int* Len) {
  return Addr && *Len < kIn6Len && RecordLength(Fd) == kIn6Len;
}

// What a failed bind or connect reports. Linux refuses an IPv4 record on an IPv6 socket as too
// short (EINVAL); Windows Sockets says the family does not fit.
int AddressCallError(int Fd, const TPosixAddr& Addr, int Err) {
  if (Err == EINVAL && Addr.Family() == AF_INET && RecordLength(Fd) == kIn6Len)
    return WSAEAFNOSUPPORT;
  return WSAErrorFromErrno(Err);
}

bool IsUnspecified(const TPosixAddr& A) {
  if (A.Family() == AF_INET6) {
    sockaddr_in6 sin6;
    std::memcpy(&sin6, &A.Storage, sizeof sin6);
    return sin6.sin6_port == 0 && IN6_IS_ADDR_UNSPECIFIED(&sin6.sin6_addr);
  }
  sockaddr_in sin;
  std::memcpy(&sin, &A.Storage, sizeof sin);
  return sin.sin_port == 0 && sin.sin_addr.s_addr == 0;
}

int SocketType(int Fd) {
  if (sockets::SocketRecord* r = sockets::Find(Fd); r != nullptr && r->known) return r->type;
  int type = 0;
  socklen_t len = sizeof type;
  if (::getsockopt(Fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return -errno;
  return type;
}

// EPIPE: the send side is closed. Ours (shutdown) or the connection's (reset, peer gone), or a
// stream that never was connected.
int SendErrorCode(int Fd, int Err) {
  if (Err != EPIPE) return WSAErrorFromErrno(Err);
  sockets::SocketRecord* r = sockets::Find(Fd);
  if (r != nullptr && r->shutSend) return WSAESHUTDOWN;
  if (r != nullptr && (r->everConnected || r->connectPending)) return WSAECONNRESET;
  if (r == nullptr || !r->known) {
    // A socket that did not come from socket()/accept(): a peer address means it was connected.
    TPosixAddr peer;
    if (::getpeername(Fd, peer.Get(), &peer.Len) == 0) return WSAECONNRESET;
  }
  return WSAENOTCONN;
}

int IntOption(const char* OptVal, int OptLen, int& Value) {
  if (OptVal == nullptr || OptLen < static_cast<int>(sizeof(std::int32_t))) return WSAEFAULT;
  std::int32_t v;
  std::memcpy(&v, OptVal, sizeof v);
  Value = v;
  return 0;
}

}  // namespace

// ---- start-up ------------------------------------------------------------------------------

int WSAStartup(std::uint16_t VersionRequested, TWSAData* Data) {
  ++gStartups;
  if (Data == nullptr) return WSAEFAULT;
  std::uint8_t major = VersionRequested & 0xFF, minor = VersionRequested >> 8;
  if (major == 0) return WSAVERNOTSUPPORTED;
  *Data = TWSAData{};
  // The highest version offered is 1.1; a request for 1.0 gets 1.0.
  Data->wVersion = (major == 1 && minor == 0) ? 0x0001 : 0x0101;
  Data->wHighVersion = 0x0101;
  std::strcpy(Data->szDescription, "Vantrel sockets over POSIX");
  std::strcpy(Data->szSystemStatus, "Running");
  rlimit files{};
  rlim_t maxSockets = ::getrlimit(RLIMIT_NOFILE, &files) == 0 ? files.rlim_cur : 1024;
  Data->iMaxSockets = static_cast<std::uint16_t>(maxSockets > 0xFFFF ? 0xFFFF : maxSockets);
  Data->iMaxUdpDg = 65507;
  return 0;
}

int WSACleanup() {
  ++gCleanups;
  return 0;
}

int StartupCount() { return gStartups; }
int CleanupCount() { return gCleanups; }

// ---- creating, binding, connecting ---------------------------------------------------------

SOCKET socket(int Af, int Type, int Protocol) {
  if (Af != WS_AF_INET && Af != WS_AF_INET6) return FailSocket(WSAEAFNOSUPPORT);
  if (Type < 1 || Type > 5) return FailSocket(WSAESOCKTNOSUPPORT);  // no Linux flag bits
  const bool v6 = Af == WS_AF_INET6;
  int fd = ::socket(v6 ? AF_INET6 : AF_INET, Type | SOCK_CLOEXEC, Protocol);
  if (fd < 0) return FailSocket(WSAErrorFromErrno(errno));
  int on = 1;
  if (v6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
    int err = errno;
    ::close(fd);
    return FailSocket(WSAErrorFromErrno(err));
  }
  sockets::Created(fd, Type, false, false);
  return static_cast<SOCKET>(fd);
}

int bind(SOCKET s, TConstSockAddrPtr Addr, int NameLen) {
  int fd;
  if (!ToFd(s, fd)) return Fail(WSAENOTSOCK);
  TPosixAddr sa;
  if (int e = ToPosixAddr(Addr, NameLen, sa); e != 0) return Fail(e);
  int type = SocketType(fd);
  if (type < 0) return FailErrno(-type);
  if (type == SOCK_STREAM) {
    // Windows lets a port be bound again while its old connections linger in TIME_WAIT. Linux
    // needs SO_REUSEADDR for that on the new socket and on the old ones (accepted sockets
    // inherit it from their listener), and still refuses a port with a live listener.
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  if (::bind(fd, sa.Get(), sa.Len) != 0) return Fail(AddressCallError(fd, sa, errno));
  return 0;
}

int listen(SOCKET s, int Backlog) {
  int fd;
  if (!ToFd(s, fd)) return Fail(WSAENOTSOCK);
  if (SocketType(fd) == SOCK_STREAM) {
    TPosixAddr local;  // the port sits at the same place in both families' records
    if (::getsockname(fd, local.Get(), &local.Len) == 0 && local.Storage.ss_family != AF_UNSPEC &&
        reinterpret_cast<const sockaddr_in*>(&local.Storage)->sin_port == 0)
      return Fail(WSAEINVAL);  // not bound: Windows refuses, Linux would pick a port
  }
  if (::listen(fd, Backlog) != 0) return FailErrno(errno);
  sockets::Get(fd).listening = true;
  return 0;
}

SOCKET accept(SOCKET s, TSockAddrPtr Addr, int* AddrLen) {
  int fd;
  if (!ToFd(s, fd)) return FailSocket(WSAENOTSOCK);
  if (!AddrOutValid(Addr, AddrLen) || OutRecordTooShort(fd, Addr, AddrLen)) return FailSocket(WSAEFAULT);
  sockets::SocketRecord* listener = sockets::Find(fd);
  bool nonBlocking = listener != nullptr && listener->nonBlocking;
  TPosixAddr peer;
  int nfd = ::accept4(fd, peer.Get(), &peer.Len, SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
  int err = errno;
  sockets::AfterAccept(fd);
  if (nfd < 0) return FailSocket(WSAErrorFromErrno(err));
  sockets::Created(nfd, SOCK_STREAM, true, nonBlocking);
  if (Addr) FromPosixAddr(peer, Addr, AddrLen);  // room checked above
  return static_cast<SOCKET>(nfd);
}

int connect(SOCKET s, TConstSockAddrPtr Name, int NameLen) {
  int fd;
  if (!ToFd(s, fd)) return Fail(WSAENOTSOCK);
  TPosixAddr sa;
  if (int e = ToPosixAddr(Name, NameLen, sa); e != 0) return Fail(e);
  int rc = ::connect(fd, sa.Get(), sa.Len);
  int err = rc == 0 ? 0 : errno;
  if (err == EINVAL && AddressCallError(fd, sa, err) == WSAEAFNOSUPPORT) err = WSAEAFNOSUPPORT;
  int code = sockets::AfterConnect(fd, err);
  return code == 0 ? 0 : Fail(code);
}

// ---- options and queries -------------------------------------------------------------------

int setsockopt(SOCKET s, int Level, int OptName, const char* OptVal, int OptLen) {
  int fd;
  if (!ToFd(s, fd)) return Fail(WSAENOTSOCK);
  int level, name, value = 0;
  const void* arg = &value;
  socklen_t argLen = sizeof value;
  linger lg{};
  if (Level == WS_SOL_SOCKET) {
    level = SOL_SOCKET;
    switch (OptName) {
      case WS_SO_LINGER: {
        if (OptVal == nullptr || OptLen < static_cast<int>(sizeof(TLinger))) return Fail(WSAEFAULT);
        TLinger l;
        std::memcpy(&l, OptVal, sizeof l);
        lg.l_onoff = l.l_onoff != 0 ? 1 : 0;
        lg.l_linger = l.l_linger;
        name = SO_LINGER;
        arg = &lg;
        argLen = sizeof lg;
        break;
      }
      case kWsSoDontLinger: {
        if (int e = IntOption(OptVal, OptLen, value); e != 0) return Fail(e);
        lg.l_onoff = value == 0 ? 1 : 0;  // "don't linger" false: linger on with time 0
        name = SO_LINGER;
        arg = &lg;
        argLen = sizeof lg;
        break;
      }
      case WS_SO_REUSEADDR: name = SO_REUSEADDR; break;
      case WS_SO_KEEPALIVE: name = SO_KEEPALIVE; break;
      case WS_SO_BROADCAST: name = SO_BROADCAST; break;
      case kWsSoOobInline: name = SO_OOBINLINE; break;
      case kWsSoSndBuf: name = SO_SNDBUF; break;
      case kWsSoRcvBuf: name = SO_RCVBUF; break;
      default: return Fail(WSAENOPROTOOPT);
    }
  } else if (Level == WS_IPPROTO_TCP) {
    level = IPPROTO_TCP;
    if (OptName != WS_TCP_NODELAY) return Fail(WSAENOPROTOOPT);
    name = TCP_NODELAY;
  } else if (Level == WS_IPPROTO_IPV6) {
    level = IPPROTO_IPV6;
    if (OptName != WS_IPV6_V6ONLY) return Fail(WSAENOPROTOOPT);
    name = IPV6_V6ONLY;
  } else {
    return Fail(WSAEINVAL);
  }
  if (arg == &value) {
    if (int e = IntOption(OptVal, OptLen, value); e != 0) return Fail(e);
    if (name != SO_SNDBUF && name != SO_RCVBUF) value = value != 0 ? 1 : 0;  // BOOL, -1 included
  }
  if (::setsockopt(fd, level, name, arg, argLen) != 0) return FailErrno(errno);
  return 0;
}

int getsockname(SOCKET s, TSockAddrPtr Name, int* NameLen) {
  int fd;
  if (!ToFd(s, fd)) return Fail(WSAENOTSOCK);
  if (!Name || !AddrOutValid(Name, NameLen)) return Fail(WSAEFAULT);
  TPosixAddr sa;
  if (::getsockname(fd, sa.Get(), &sa.Len) != 0) return FailErrno(errno);
  if (IsUnspecified(sa)) return Fail(WSAEINVAL);  // not bound, as Windows says
  if (!FromPosixAddr(sa, Name, NameLen)) return Fail(WSAEFAULT);
  return 0;
}

int getpeername(SOCKET s, TSockAddrPtr Name, int* NameLen) {
  int fd;
  if (!ToFd(s, fd)) return Fail(WSAENOTSOCK);
  if (!Name || !AddrOutValid(Name, NameLen)) return Fail(WSAEFAULT);
  TPosixAddr sa;
  if (::getpeername(fd, sa.Get(), &sa.Len) != 0) return FailErrno(errno);
  if (!FromPosixAddr(sa, Name, NameLen)) return Fail(WSAEFAULT);
  return 0;
}

int ioctlsocket(SOCKET s, long Cmd, std::uint32_t* Argp) {
  int fd;
  if (!ToFd(s, fd)) return Fail(WSAENOTSOCK);
  if (Argp == nullptr) return Fail(WSAEFAULT);
  if (Cmd == WS_FIONREAD) {
    if (const sockets::SocketRecord* r = sockets::Find(fd); r != nullptr && r->eofRead) {
      *Argp = 0;  // after the end of stream nothing more arrives: no need to ask
      return 0;
    }
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) return FailErrno(errno);
    *Argp = static_cast<std::uint32_t>(n);
    return 0;
  }
  if (Cmd == WS_SIOCOUTQ) {
    if (SocketType(fd) != SOCK_STREAM) return Fail(WSAEINVAL);
    int n = 0;
    if (::ioctl(fd, SIOCOUTQ, &n) != 0) return FailErrno(errno);
    *Argp = static_cast<std::uint32_t>(n);
    return 0;
  }
  if (Cmd == WS_FIONBIO) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return FailErrno(errno);
    sockets::SocketRecord& r = sockets::Get(fd);
    bool on = *Argp != 0;
    if (!on && r.token != 0) return Fail(WSAEINVAL);  // selected sockets stay non-blocking
    if (::fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) != 0) return FailErrno(errno);
    r.nonBlocking = on;
    return 0;
  }
  return Fail(WSAEINVAL);
}

// ---- data ----------------------------------------------------------------------------------

namespace {

// A zero-byte read of a stream: 0 when a read could proceed (data or end of file waiting), the
// would-block failure on a non-blocking socket with nothing waiting.
int RecvNothing(int fd) {
  char byte;
  ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK);
  int err = errno;
  sockets::AfterRecv(fd, n, err, 1, MSG_PEEK);
  return n < 0 ? FailErrno(err) : 0;
}

// A datagram longer than the buffer: Windows fills the buffer, drops the rest and fails with
// WSAEMSGSIZE; Linux truncates silently unless asked (MSG_TRUNC) for the real length.
bool IsDatagram(int fd) {
  sockets::SocketRecord* r = sockets::Find(fd);
  return r != nullptr && r->known && r->type == SOCK_DGRAM;
}

int RecvResult(int fd, ssize_t n, int err, int Len, int flags) {
  sockets::AfterRecv(fd, n, err, Len, flags);
  if (n < 0) return FailErrno(err);
  if (n > Len) return Fail(WSAEMSGSIZE);
  return static_cast<int>(n);
}

}  // namespace

int recv(SOCKET s, char* Buf, int Len, int Flags) {
  int fd, flags;
  if (!ToFd(s, fd)) return Fail(WSAENOTSOCK);
  if (!PosixFlags(Flags, true, flags)) return Fail(WSAEOPNOTSUPP);
  if (Len < 0) return Fail(WSAEFAULT);
  if (IsDatagram(fd)) flags |= MSG_TRUNC;
  else if (Len == 0 && SocketType(fd) == SOCK_STREAM) return RecvNothing(fd);
  ssize_t n = ::recv(fd, Buf, static_cast<size_t>(Len), flags);
  return RecvResult(fd, n, errno, Len, flags);
}

int recvfrom(SOCKET s, char* Buf, int Len, int Flags, TSockAddrPtr From, int* FromLen) {
  int fd, flags;
  if (!ToFd(s, fd)) return Fail(WSAENOTSOCK);
  if (!PosixFlags(Flags, true, flags)) return Fail(WSAEOPNOTSUPP);
  if (Len < 0 || !AddrOutValid(From, FromLen) || OutRecordTooShort(fd, From, FromLen))
    return Fail(WSAEFAULT);
  if (IsDatagram(fd)) flags |= MSG_TRUNC;
  TPosixAddr sa;
  sa.Storage.ss_family = AF_UNSPEC;
  ssize_t n = ::recvfrom(fd, Buf, static_cast<size_t>(Len), flags, sa.Get(), &sa.Len);
  int err = errno;
  if (n >= 0 && From && (sa.Family() == AF_INET || sa.Family() == AF_INET6))  // streams give none
    FromPosixAddr(sa, From, FromLen);
  return RecvResult(fd, n, err, Len, flags);
}

int send(SOCKET s, const char* Buf, int Len, int Flags) {
  int fd, flags;
  if (!ToFd(s, fd)) return Fail(WSAENOTSOCK);
  if (!PosixFlags(Flags, false, flags)) return Fail(WSAEOPNOTSUPP);
  if (Len < 0) return Fail(WSAEFAULT);
  ssize_t n = ::send(fd, Buf, static_cast<size_t>(Len), flags | MSG_NOSIGNAL);
  if (n == Len) return Len;
  int err = errno;
  sockets::AfterShortSend(fd, n, Len, err);
  return n < 0 ? Fail(SendErrorCode(fd, err)) : static_cast<int>(n);
}

int sendto(SOCKET s, const char* Buf, int Len, int Flags, TConstSockAddrPtr To, int ToLen) {
  if (!To) return send(s, Buf, Len, Flags);
  int fd, flags;
  if (!ToFd(s, fd)) return Fail(WSAENOTSOCK);
  if (!PosixFlags(Flags, false, flags)) return Fail(WSAEOPNOTSUPP);
  TPosixAddr sa;
  if (Len < 0) return Fail(WSAEFAULT);
  if (int e = ToPosixAddr(To, ToLen, sa); e != 0) return Fail(e);
  ssize_t n = ::sendto(fd, Buf, static_cast<size_t>(Len), flags | MSG_NOSIGNAL, sa.Get(), sa.Len);
  if (n == Len) return Len;
  int err = errno;
  sockets::AfterShortSend(fd, n, Len, err);
  return n < 0 ? Fail(SendErrorCode(fd, err)) : static_cast<int>(n);
}

// ---- ending --------------------------------------------------------------------------------

int shutdown(SOCKET s, int How) {
  int fd;
  if (!ToFd(s, fd)) return Fail(WSAENOTSOCK);
  int how;
  switch (How) {
    case SD_RECEIVE: how = SHUT_RD; break;
    case SD_SEND: how = SHUT_WR; break;
    case SD_BOTH: how = SHUT_RDWR; break;
    default: return Fail(WSAEINVAL);
  }
  if (::shutdown(fd, how) != 0) return FailErrno(errno);
  sockets::SocketRecord& r = sockets::Get(fd);
  if (How != SD_RECEIVE) r.shutSend = true;
  if (How != SD_SEND) r.shutRecv = true;
  return 0;
}

namespace {

// Deadlines of lingering closes, by descriptor.
std::unordered_map<int, std::chrono::steady_clock::time_point> gLingerDeadlines;

// Linux blocks in close() for up to the linger time while data is unsent, even on a non-blocking
// socket; Windows answers a non-blocking socket with would-block instead, and the caller pumps and
// tries again. So: would-block while unsent data remains and the time is not up; then a close that
// cannot block, orderly when everything has left, a reset when the time ran out (as Windows does).
// Lg is the socket's linger as read from it just before: a setting made behind the calls' back
// counts as much as one made through them.
bool LingerWouldBlock(int fd, const linger& Lg) {
  if (!Lg.l_onoff || Lg.l_linger <= 0) return false;  // such a close cannot block
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || !(flags & O_NONBLOCK)) return false;
  int unsent = 0;
  if (::ioctl(fd, SIOCOUTQ, &unsent) != 0) unsent = 0;
  auto now = std::chrono::steady_clock::now();
  auto it = gLingerDeadlines.find(fd);
  if (it == gLingerDeadlines.end())
    it = gLingerDeadlines.emplace(fd, now + std::chrono::seconds(Lg.l_linger)).first;
  if (unsent > 0 && now < it->second) return true;
  linger done{unsent > 0 ? 1 : 0, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &done, sizeof done);
  gLingerDeadlines.erase(it);
  return false;
}

}  // namespace

int closesocket(SOCKET s) {
  int fd;
  if (!ToFd(s, fd)) return Fail(WSAENOTSOCK);
  // One question answers two: only a socket has a linger setting (never a descriptor of the loop
  // or of anything else that shares the numbers), and the setting decides whether the close may
  // block.
  linger lg{};
  socklen_t len = sizeof lg;
  if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, &len) != 0) return FailErrno(errno);
  if (LingerWouldBlock(fd, lg)) return Fail(WSAEWOULDBLOCK);
  // A deadline left by an earlier would-block (the linger was turned off since) goes with its
  // socket: the next socket of this number waits its own time.
  if (!gLingerDeadlines.empty()) gLingerDeadlines.erase(fd);
  sockets::Forget(fd);  // its queued notifications go before the number can be handed out again
  if (::close(fd) != 0 && errno != EINTR) return FailErrno(errno);  // after EINTR it is closed
  return 0;
}

}  // namespace platform
