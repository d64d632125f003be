// Public. The socket calls that the socket components use, with Windows Sockets 1.1 semantics
// over POSIX sockets: Windows Sockets constants and error codes at this interface, translated to
// the POSIX ones inside. The socket-library binding in net/ resolves these by name (FindSocketProc).
// IPv6 comes as later Windows Sockets has it: WS_AF_INET6, the 28-byte TSockAddrIn6, inet_pton and
// inet_ntop, IPV6_V6ONLY on by default; plus a lookup of every address of a name in the same
// style as the IPv4 host lookups (gethostaddresses, WSAAsyncGetHostAddresses).
//
// Semantics kept from Windows Sockets:
// - errors: SOCKET_ERROR / INVALID_SOCKET and a per-thread last error (WSAGetLastError) holding a
//   Windows Sockets code (WinsockErrors.h maps errno and resolver failures onto them);
// - writing to a closed peer never raises SIGPIPE;
// - a socket given to WSAAsyncSelect is non-blocking, and its readiness arrives as messages to the
//   endpoint, with the repetition rules of FD_READ, FD_WRITE, FD_ACCEPT, FD_CONNECT and FD_CLOSE;
// - closesocket (and a new WSAAsyncSelect) drops the socket's queued notifications, so a reused
//   descriptor number never receives notifications meant for the socket closed before it;
// - a listening socket can be bound again while old connections of its port linger in TIME_WAIT,
//   while a port really in use still fails with WSAEADDRINUSE.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Messages.h"
#include "platform/WinsockCallList.h"

namespace platform {

using SOCKET = std::uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
constexpr int SOCKET_ERROR = -1;

constexpr int WS_AF_INET = 2;     // AF_INET and PF_INET
constexpr int WS_AF_INET6 = 23;   // AF_INET6 and PF_INET6
constexpr int WS_SOCK_STREAM = 1;
constexpr int WS_SOCK_DGRAM = 2;
constexpr int WS_IPPROTO_TCP = 6;
constexpr int WS_IPPROTO_UDP = 17;
constexpr std::uint32_t WS_INADDR_ANY = 0;
constexpr std::uint32_t WS_INADDR_NONE = 0xFFFFFFFFu;

// Windows Sockets values carry a WS_ prefix where the POSIX headers define the same name as a macro.
// setsockopt levels and options.
constexpr int WS_SOL_SOCKET = 0xFFFF;
constexpr int WS_SO_REUSEADDR = 0x0004;
constexpr int WS_SO_KEEPALIVE = 0x0008;
constexpr int WS_SO_BROADCAST = 0x0020;
constexpr int WS_SO_LINGER = 0x0080;
// Level WS_IPPROTO_TCP.
constexpr int WS_TCP_NODELAY = 0x0001;
// IPv6 sockets. As on Windows, a new IPv6 socket takes IPv6 peers only (IPV6_V6ONLY on) whatever
// the system's default; turned off, it also takes IPv4 peers, which it sees as ::ffff:a.b.c.d.
constexpr int WS_IPPROTO_IPV6 = 41;
constexpr int WS_IPV6_V6ONLY = 27;

constexpr long WS_FIONREAD = 0x4004667F;
constexpr long WS_FIONBIO = static_cast<long>(0x8004667Eu);
// Not a Windows Sockets command: the bytes of a stream socket that its peer's kernel has not yet
// acknowledged (sent or still waiting to be sent, an end of stream counting one), as Linux's
// SIOCOUTQ. 0 means the peer's kernel holds everything. The code is one of the socket ioctls'
// ('s', 10) that Windows does not use.
constexpr long WS_SIOCOUTQ = 0x4004730A;
constexpr int WS_MSG_OOB = 0x1;

constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

// WSAAsyncSelect event bits. The low word of a notification's LParam holds one or more of them,
// the high word the error code.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

constexpr int MAXGETHOSTSTRUCT = 1024;

// The 16-byte IPv4 socket address: family, port (network order), address (network order), zeros.
struct TSockAddrIn {
  std::uint16_t sin_family = 0;
  std::uint16_t sin_port = 0;
  std::uint32_t sin_addr = 0;
  std::uint8_t sin_zero[8] = {};
};
static_assert(sizeof(TSockAddrIn) == 16);

// The 28-byte IPv6 socket address of Windows Sockets: family (WS_AF_INET6), port (network order),
// flow information, the 16 address bytes (network order) and the scope (zone) id, an interface
// index for link-local addresses and 0 otherwise.
struct TSockAddrIn6 {
  std::uint16_t sin6_family = 0;
  std::uint16_t sin6_port = 0;
  std::uint32_t sin6_flowinfo = 0;
  std::uint8_t sin6_addr[16] = {};
  std::uint32_t sin6_scope_id = 0;
};
static_assert(sizeof(TSockAddrIn6) == 28);

// Room for a socket address of either family; ss_family tells which one it holds.
struct alignas(8) TSockAddrStorage {
  std::uint16_t ss_family = 0;
  std::uint8_t ss_data[126] = {};
};
static_assert(sizeof(TSockAddrStorage) == 128);

// Room for a socket address of either Internet family, the size of the larger record (IPv6's):
// what a socket component keeps of its destination, in a fifth of a TSockAddrStorage.
struct alignas(4) TSockAddrInet {
  std::uint16_t ss_family = 0;
  std::uint8_t ss_data[26] = {};
};
static_assert(sizeof(TSockAddrInet) == sizeof(TSockAddrIn6));

// What an address argument of the calls points at, as Windows Sockets' `sockaddr*` does: a
// TSockAddrIn, a TSockAddrIn6 or a TSockAddrStorage, told apart by the family in its first two
// bytes and by the length passed beside it. A pointer to any of them (or null) converts to it, so
// that callers pass `&Addr` whatever record they hold.
class TSockAddrPtr {
public:
  constexpr TSockAddrPtr(std::nullptr_t = nullptr) {}
  constexpr TSockAddrPtr(TSockAddrIn* A) : FAddr(A) {}
  constexpr TSockAddrPtr(TSockAddrIn6* A) : FAddr(A) {}
  constexpr TSockAddrPtr(TSockAddrStorage* A) : FAddr(A) {}
  constexpr TSockAddrPtr(TSockAddrInet* A) : FAddr(A) {}
  void* Get() const { return FAddr; }
  explicit operator bool() const { return FAddr != nullptr; }

private:
  void* FAddr = nullptr;
};

class TConstSockAddrPtr {
public:
  constexpr TConstSockAddrPtr(std::nullptr_t = nullptr) {}
  constexpr TConstSockAddrPtr(const TSockAddrIn* A) : FAddr(A) {}
  constexpr TConstSockAddrPtr(const TSockAddrIn6* A) : FAddr(A) {}
  constexpr TConstSockAddrPtr(const TSockAddrStorage* A) : FAddr(A) {}
  constexpr TConstSockAddrPtr(const TSockAddrInet* A) : FAddr(A) {}
  TConstSockAddrPtr(TSockAddrPtr A) : FAddr(A.Get()) {}
  const void* Get() const { return FAddr; }
  explicit operator bool() const { return FAddr != nullptr; }

private:
  const void* FAddr = nullptr;
};

// The longest address texts that inet_ntop writes, with their terminating zero.
constexpr std::size_t WS_INET_ADDRSTRLEN = 22;
constexpr std::size_t WS_INET6_ADDRSTRLEN = 65;

// The 4-byte linger record: two 16-bit fields.
struct TLinger {
  std::uint16_t l_onoff = 0;
  std::uint16_t l_linger = 0;
};
static_assert(sizeof(TLinger) == 4);

// Host, service and protocol entries, laid out as the Windows Sockets ones (16-bit type, length,
// port and protocol). A host entry's address list holds 4-byte addresses in network order and
// ends with a null pointer.
struct THostEnt {
  char* h_name;
  char** h_aliases;
  std::int16_t h_addrtype;
  std::int16_t h_length;
  char** h_addr_list;
};
struct TServEnt {
  char* s_name;
  char** s_aliases;
  std::int16_t s_port;  // network order
  char* s_proto;
};
struct TProtoEnt {
  char* p_name;
  char** p_aliases;
  std::int16_t p_proto;
};

// Every address of a host name, IPv6 and IPv4, in the order of the system's resolver, without
// duplicates. Addresses points at Count records that follow the list in the same storage.
struct THostAddress {
  std::uint16_t Family = 0;  // WS_AF_INET or WS_AF_INET6
  std::uint16_t Reserved = 0;
  std::uint32_t ScopeId = 0;     // IPv6 zone (interface index); 0 for IPv4 and global addresses
  std::uint8_t Bytes[16] = {};   // network order; an IPv4 address fills the first 4
};
static_assert(sizeof(THostAddress) == 24);
struct THostAddressList {
  std::int32_t Count;
  THostAddress* Addresses;
};

struct TWSAData {
  std::uint16_t wVersion = 0;
  std::uint16_t wHighVersion = 0;
  char szDescription[257] = {};
  char szSystemStatus[129] = {};
  std::uint16_t iMaxSockets = 0;
  std::uint16_t iMaxUdpDg = 0;
  char* lpVendorInfo = nullptr;
};

using HANDLE = std::uintptr_t;  // asynchronous request handle; 0 is "failed"

// ---- the functions, declared from the one list (WinsockCallList.h) -------------------------
//
// Notes on the calls whose contract is not plain from the name:
// - WSAAsyncGetHostByName, WSAAsyncGetHostByAddr: the answer is written into Buf (a THostEnt of
//   IPv4 addresses followed by the data it points to) and announced by posting Msg to Wnd with
//   WParam = the request handle and LParam = buffer length needed in the low word, error code in
//   the high word. Never blocks the loop; a cancelled request posts nothing.
// - WSAAsyncGetHostAddresses: the same for every address of a name, IPv6 and IPv4, in the
//   resolver's order: Buf receives a THostAddressList followed by its records.
// - gethostbyname (IPv4 addresses only), gethostaddresses (both families), getservbyname,
//   getprotobyname block; their entries live in per-thread storage until the next call of the
//   same kind.
// - inet_ntoa writes into a per-thread buffer. inet_pton reads only the exact forms ("1.2.3.4",
//   IPv6 without brackets or zone): 1 for an address, 0 for other text, -1 (WSAEAFNOSUPPORT) for
//   a family other than WS_AF_INET and WS_AF_INET6. inet_ntop writes the compressed IPv6 form.
// - if_nametoindex: the index of a network interface by name, 0 when there is none.
// - Address arguments: a record of the socket's family; its length at least 16 bytes for IPv4,
//   28 for IPv6 (shorter is WSAEFAULT); a record of the other family is WSAEAFNOSUPPORT. Output
//   records must have room for what the socket's family gives back (16 or 28 bytes).
#define VANTREL_DECLARE_SOCKET_CALL(Result, Name, Parameters, Arguments) Result Name Parameters;
VANTREL_WINSOCK_CALLS(VANTREL_DECLARE_SOCKET_CALL)
#undef VANTREL_DECLARE_SOCKET_CALL

// The entry point of one of the functions above by its name, as the binding loads them; null for
// an unknown name.
void* FindSocketProc(const char* Name);

// How often the library has been started and cleaned up (what the binding's tests observe).
int StartupCount();
int CleanupCount();

}  // namespace platform
