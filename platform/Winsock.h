// Public. The socket calls that the socket components use, with Windows Sockets 1.1 semantics
// over POSIX sockets: Windows Sockets constants and error codes at this interface, translated to
// the POSIX ones inside. The socket-library binding in net/ resolves these by name (FindSocketProc).
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

#include <cstdint>

#include "platform/Messages.h"

namespace platform {

using SOCKET = std::uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
constexpr int SOCKET_ERROR = -1;

constexpr int WS_AF_INET = 2;     // AF_INET and PF_INET
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

// ---- the thirty functions ------------------------------------------------------------------
int WSAStartup(std::uint16_t VersionRequested, TWSAData* Data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int Error);
int WSAAsyncSelect(SOCKET s, HWND Wnd, UINT Msg, long Event);
// Asynchronous lookups: the answer is written into Buf (a THostEnt followed by the data it points
// to) and announced by posting Msg to Wnd with WParam = the request handle and LParam = buffer
// length needed in the low word, error code in the high word. Never blocks the loop; a cancelled
// request posts nothing.
HANDLE WSAAsyncGetHostByName(HWND Wnd, UINT Msg, const char* Name, char* Buf, int BufLen);
HANDLE WSAAsyncGetHostByAddr(HWND Wnd, UINT Msg, const char* Addr, int Len, int Type, char* Buf,
                             int BufLen);
int WSACancelAsyncRequest(HANDLE AsyncTaskHandle);
// Blocking lookups; the entries live in per-thread storage until the next call of the same kind.
THostEnt* gethostbyname(const char* Name);
TServEnt* getservbyname(const char* Name, const char* Proto);
TProtoEnt* getprotobyname(const char* Name);
std::uint32_t inet_addr(const char* Cp);
char* inet_ntoa(std::uint32_t In);  // per-thread buffer
std::uint16_t htons(std::uint16_t HostShort);
std::uint16_t ntohs(std::uint16_t NetShort);
SOCKET socket(int Af, int Type, int Protocol);
int bind(SOCKET s, const TSockAddrIn* Addr, int NameLen);
int listen(SOCKET s, int Backlog);
SOCKET accept(SOCKET s, TSockAddrIn* Addr, int* AddrLen);
int connect(SOCKET s, const TSockAddrIn* Name, int NameLen);
int setsockopt(SOCKET s, int Level, int OptName, const char* OptVal, int OptLen);
int getsockname(SOCKET s, TSockAddrIn* Name, int* NameLen);
int getpeername(SOCKET s, TSockAddrIn* Name, int* NameLen);
int ioctlsocket(SOCKET s, long Cmd, std::uint32_t* Argp);
int recv(SOCKET s, char* Buf, int Len, int Flags);
int recvfrom(SOCKET s, char* Buf, int Len, int Flags, TSockAddrIn* From, int* FromLen);
int send(SOCKET s, const char* Buf, int Len, int Flags);
int sendto(SOCKET s, const char* Buf, int Len, int Flags, const TSockAddrIn* To, int ToLen);
int shutdown(SOCKET s, int How);
int closesocket(SOCKET s);

// The entry point of one of the functions above by its name, as the binding loads them; null for
// an unknown name.
void* FindSocketProc(const char* Name);

// How often the library has been started and cleaned up (what the binding's tests observe).
int StartupCount();
int CleanupCount();

}  // namespace platform
