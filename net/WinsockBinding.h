// Public. The process-wide binding to the socket library. Socket components never call the
// platform's socket functions directly: every call goes through one of these wrappers, which
// resolves its entry point by name on first use (LoadWinsockProc), keeps it, and calls it. The
// library is loaded and started by the first wrapped call and released by UnloadWinsock, which the
// destruction of the last socket component calls.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Winsock.h"

namespace winsock {

using platform::HANDLE;
using platform::HWND;
using platform::SOCKET;
using platform::THostEnt;
using platform::TProtoEnt;
using platform::TServEnt;
using platform::TSockAddrIn;
using platform::TWSAData;
using platform::UINT;

// Loads and starts the library when it is not loaded, then returns the entry point named Name
// (null for an empty name). Raises ESocketException when loading, start-up or the lookup fails.
void* LoadWinsockProc(const std::string& Name);
// Cleans up and releases the library when it is loaded, forgets every cached entry point, and sets
// WinsockUsers to 0.
void UnloadWinsock();
bool WinsockLoaded();

// The number of socket components in existence (maintained by their construction and destruction).
extern std::int32_t WinsockUsers;

int WSAStartup(std::uint16_t VersionRequested, TWSAData* Data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int Error);
int WSAAsyncSelect(SOCKET s, HWND Wnd, UINT Msg, long Event);
HANDLE WSAAsyncGetHostByName(HWND Wnd, UINT Msg, const char* Name, char* Buf, int BufLen);
HANDLE WSAAsyncGetHostByAddr(HWND Wnd, UINT Msg, const char* Addr, int Len, int Type, char* Buf,
                             int BufLen);
int WSACancelAsyncRequest(HANDLE AsyncTaskHandle);
THostEnt* gethostbyname(const char* Name);
TServEnt* getservbyname(const char* Name, const char* Proto);
TProtoEnt* getprotobyname(const char* Name);
std::uint32_t inet_addr(const char* Cp);
char* inet_ntoa(std::uint32_t In);
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

}  // namespace winsock

// The English text of a Windows Sockets error code; "Not a WinSock error" for any other value.
std::string WinsockErrorText(std::int32_t Code);
