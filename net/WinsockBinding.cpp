// Internal. The process-wide binding to the socket library. The platform's socket functions are
// linked in, so "loading the library" only marks it loaded and starts it; the entry points are
// still looked up by name, once per load, so that the wrappers behave as they would over a
// dynamically loaded library: first use loads and starts, UnloadWinsock forgets everything, and
// the next call loads and starts again.
#include "net/WinsockBinding.h"

#include <cerrno>
#include <string>

#include "net/SocketException.h"

namespace winsock {

std::int32_t WinsockUsers = 0;

namespace {

const char* const kLibraryName = "wsock32.dll";

// The lookup is a table search that sets no operating-system error, so a missing name reports
// ENOENT: "no such entry". It keeps the message stable.
constexpr int kProcNotFoundCode = ENOENT;

// One slot per wrapped function; the order of kProcNames follows it.
enum TProc {
  pWSAStartup, pWSACleanup, pWSAGetLastError, pWSASetLastError, pWSAAsyncSelect,
  pWSAAsyncGetHostByName, pWSAAsyncGetHostByAddr, pWSACancelAsyncRequest, pgethostbyname,
  pgetservbyname, pgetprotobyname, pinet_addr, pinet_ntoa, phtons, pntohs, psocket, pbind,
  plisten, paccept, pconnect, psetsockopt, pgetsockname, pgetpeername, pioctlsocket, precv,
  precvfrom, psend, psendto, pshutdown, pclosesocket, ProcCount
};

const char* const kProcNames[ProcCount] = {
    "WSAStartup", "WSACleanup", "WSAGetLastError", "WSASetLastError", "WSAAsyncSelect",
    "WSAAsyncGetHostByName", "WSAAsyncGetHostByAddr", "WSACancelAsyncRequest", "gethostbyname",
    "getservbyname", "getprotobyname", "inet_addr", "inet_ntoa", "htons", "ntohs", "socket", "bind",
    "listen", "accept", "connect", "setsockopt", "getsockname", "getpeername", "ioctlsocket", "recv",
    "recvfrom", "send", "sendto", "shutdown", "closesocket"};

struct TWinsockBinding {
  bool Loaded = false;  // stands for the library handle: false while it would be null
  TWSAData StartupData;  // filled by WSAStartup, read by nothing
  void* Procs[ProcCount] = {};
};

TWinsockBinding gBinding;

// Resolves on first use and caches; the cast restores the type that the platform exported.
template <class F>
F* Entry(TProc Proc) {
  void*& Slot = gBinding.Procs[Proc];
  if (Slot == nullptr) Slot = LoadWinsockProc(kProcNames[Proc]);
  return reinterpret_cast<F*>(Slot);
}

// Releases the library at program end when the last component has not done so already.
struct TWinsockShutdown {
  ~TWinsockShutdown() { UnloadWinsock(); }
} gShutdown;

}  // namespace

void* LoadWinsockProc(const std::string& Name) {
  if (!gBinding.Loaded) {
    // Marked loaded before start-up: WSAStartup's own wrapper resolves it in the library just
    // loaded, and a failed start-up is not retried until the library has been released.
    gBinding.Loaded = true;
    const int Result = winsock::WSAStartup(0x0101, &gBinding.StartupData);
    if (Result != 0) {
      throw ESocketException(std::string(kLibraryName) + ": WSAStartup error #" +
                             std::to_string(Result));
    }
  }
  if (Name.empty()) return nullptr;
  // A name with a zero byte in it would be found under its first part; no export has one.
  void* Proc = Name.find('\0') == std::string::npos ? platform::FindSocketProc(Name.c_str())
                                                     : nullptr;
  if (Proc == nullptr) {
    throw ESocketException("Procedure " + Name + " not found in " + kLibraryName + " Error #" +
                           std::to_string(kProcNotFoundCode));
  }
  return Proc;
}

void UnloadWinsock() {
  if (gBinding.Loaded) {
    try {
      winsock::WSACleanup();
    } catch (const ESocketException&) {
      // The result of the clean-up is ignored, and so is a failure to find it: releasing must
      // always complete, it runs from destructors.
    }
    gBinding.Loaded = false;
    for (void*& Slot : gBinding.Procs) Slot = nullptr;
  }
  WinsockUsers = 0;
}

bool WinsockLoaded() { return gBinding.Loaded; }

// ---- the wrappers: resolve once, then call straight through --------------------------------

int WSAStartup(std::uint16_t VersionRequested, TWSAData* Data) {
  return Entry<decltype(platform::WSAStartup)>(pWSAStartup)(VersionRequested, Data);
}
int WSACleanup() { return Entry<decltype(platform::WSACleanup)>(pWSACleanup)(); }
int WSAGetLastError() { return Entry<decltype(platform::WSAGetLastError)>(pWSAGetLastError)(); }
void WSASetLastError(int Error) {
  Entry<decltype(platform::WSASetLastError)>(pWSASetLastError)(Error);
}
int WSAAsyncSelect(SOCKET s, HWND Wnd, UINT Msg, long Event) {
  return Entry<decltype(platform::WSAAsyncSelect)>(pWSAAsyncSelect)(s, Wnd, Msg, Event);
}
HANDLE WSAAsyncGetHostByName(HWND Wnd, UINT Msg, const char* Name, char* Buf, int BufLen) {
  return Entry<decltype(platform::WSAAsyncGetHostByName)>(pWSAAsyncGetHostByName)(Wnd, Msg, Name,
                                                                                  Buf, BufLen);
}
HANDLE WSAAsyncGetHostByAddr(HWND Wnd, UINT Msg, const char* Addr, int Len, int Type, char* Buf,
                             int BufLen) {
  return Entry<decltype(platform::WSAAsyncGetHostByAddr)>(pWSAAsyncGetHostByAddr)(
      Wnd, Msg, Addr, Len, Type, Buf, BufLen);
}
int WSACancelAsyncRequest(HANDLE AsyncTaskHandle) {
  return Entry<decltype(platform::WSACancelAsyncRequest)>(pWSACancelAsyncRequest)(
      AsyncTaskHandle);
}
THostEnt* gethostbyname(const char* Name) {
  return Entry<decltype(platform::gethostbyname)>(pgethostbyname)(Name);
}
TServEnt* getservbyname(const char* Name, const char* Proto) {
  return Entry<decltype(platform::getservbyname)>(pgetservbyname)(Name, Proto);
}
TProtoEnt* getprotobyname(const char* Name) {
  return Entry<decltype(platform::getprotobyname)>(pgetprotobyname)(Name);
}
std::uint32_t inet_addr(const char* Cp) {
  return Entry<decltype(platform::inet_addr)>(pinet_addr)(Cp);
}
char* inet_ntoa(std::uint32_t In) { return Entry<decltype(platform::inet_ntoa)>(pinet_ntoa)(In); }
std::uint16_t htons(std::uint16_t HostShort) {
  return Entry<decltype(platform::htons)>(phtons)(HostShort);
}
std::uint16_t ntohs(std::uint16_t NetShort) {
  return Entry<decltype(platform::ntohs)>(pntohs)(NetShort);
}
SOCKET socket(int Af, int Type, int Protocol) {
  return Entry<decltype(platform::socket)>(psocket)(Af, Type, Protocol);
}
int bind(SOCKET s, const TSockAddrIn* Addr, int NameLen) {
  return Entry<decltype(platform::bind)>(pbind)(s, Addr, NameLen);
}
int listen(SOCKET s, int Backlog) { return Entry<decltype(platform::listen)>(plisten)(s, Backlog); }
SOCKET accept(SOCKET s, TSockAddrIn* Addr, int* AddrLen) {
  return Entry<decltype(platform::accept)>(paccept)(s, Addr, AddrLen);
}
int connect(SOCKET s, const TSockAddrIn* Name, int NameLen) {
  return Entry<decltype(platform::connect)>(pconnect)(s, Name, NameLen);
}
int setsockopt(SOCKET s, int Level, int OptName, const char* OptVal, int OptLen) {
  return Entry<decltype(platform::setsockopt)>(psetsockopt)(s, Level, OptName, OptVal, OptLen);
}
int getsockname(SOCKET s, TSockAddrIn* Name, int* NameLen) {
  return Entry<decltype(platform::getsockname)>(pgetsockname)(s, Name, NameLen);
}
int getpeername(SOCKET s, TSockAddrIn* Name, int* NameLen) {
  return Entry<decltype(platform::getpeername)>(pgetpeername)(s, Name, NameLen);
}
int ioctlsocket(SOCKET s, long Cmd, std::uint32_t* Argp) {
  return Entry<decltype(platform::ioctlsocket)>(pioctlsocket)(s, Cmd, Argp);
}
int recv(SOCKET s, char* Buf, int Len, int Flags) {
  return Entry<decltype(platform::recv)>(precv)(s, Buf, Len, Flags);
}
int recvfrom(SOCKET s, char* Buf, int Len, int Flags, TSockAddrIn* From, int* FromLen) {
  return Entry<decltype(platform::recvfrom)>(precvfrom)(s, Buf, Len, Flags, From, FromLen);
}
int send(SOCKET s, const char* Buf, int Len, int Flags) {
  return Entry<decltype(platform::send)>(psend)(s, Buf, Len, Flags);
}
int sendto(SOCKET s, const char* Buf, int Len, int Flags, const TSockAddrIn* To, int ToLen) {
  return Entry<decltype(platform::sendto)>(psendto)(s, Buf, Len, Flags, To, ToLen);
}
int shutdown(SOCKET s, int How) { return Entry<decltype(platform::shutdown)>(pshutdown)(s, How); }
int closesocket(SOCKET s) {
  return Entry<decltype(platform::closesocket)>(pclosesocket)(s);
}

}  // namespace winsock
