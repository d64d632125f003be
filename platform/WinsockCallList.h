// Public. The one list of the socket calls: every function that the platform exports by name and
// that the binding in net/ wraps. Winsock.h declares them from it, WinsockProcs.cpp builds the
// export table from it, net/WinsockBinding.h and .cpp declare and define the wrappers from it; a
// call added here is declared, exported and wrapped everywhere at once, under one spelling.
//
// X(Result, Name, (Parameters), (Arguments)): the result type, the name as the binding asks for it,
// the parameter list with names, and the same names as an argument list (what a wrapper passes on).
// The types are those of namespace platform (Winsock.h); the list is expanded where they are known.
//
// What each call needs to do is said in Winsock.h beside the types it uses.
#pragma once

#define VANTREL_WINSOCK_CALLS(X)                                                                    \
  X(int, WSAStartup, (std::uint16_t VersionRequested, TWSAData* Data), (VersionRequested, Data))    \
  X(int, WSACleanup, (), ())                                                                        \
  X(int, WSAGetLastError, (), ())                                                                   \
  X(void, WSASetLastError, (int Error), (Error))                                                    \
  X(int, WSAAsyncSelect, (SOCKET s, HWND Wnd, UINT Msg, long Event), (s, Wnd, Msg, Event))          \
  X(HANDLE, WSAAsyncGetHostByName, (HWND Wnd, UINT Msg, const char* Name, char* Buf, int BufLen),   \
    (Wnd, Msg, Name, Buf, BufLen))                                                                  \
  X(HANDLE, WSAAsyncGetHostByAddr,                                                                  \
    (HWND Wnd, UINT Msg, const char* Addr, int Len, int Type, char* Buf, int BufLen),               \
    (Wnd, Msg, Addr, Len, Type, Buf, BufLen))                                                       \
  X(HANDLE, WSAAsyncGetHostAddresses,                                                               \
    (HWND Wnd, UINT Msg, const char* Name, char* Buf, int BufLen), (Wnd, Msg, Name, Buf, BufLen))   \
  X(int, WSACancelAsyncRequest, (HANDLE AsyncTaskHandle), (AsyncTaskHandle))                        \
  X(THostEnt*, gethostbyname, (const char* Name), (Name))                                           \
  X(THostAddressList*, gethostaddresses, (const char* Name), (Name))                                \
  X(TServEnt*, getservbyname, (const char* Name, const char* Proto), (Name, Proto))                 \
  X(TProtoEnt*, getprotobyname, (const char* Name), (Name))                                         \
  X(std::uint32_t, inet_addr, (const char* Cp), (Cp))                                               \
  X(char*, inet_ntoa, (std::uint32_t In), (In))                                                     \
  X(int, inet_pton, (int Family, const char* Text, void* Addr), (Family, Text, Addr))               \
  X(const char*, inet_ntop, (int Family, const void* Addr, char* Buf, std::size_t BufLen),          \
    (Family, Addr, Buf, BufLen))                                                                    \
  X(std::uint32_t, if_nametoindex, (const char* Name), (Name))                                      \
  X(std::uint16_t, htons, (std::uint16_t HostShort), (HostShort))                                   \
  X(std::uint16_t, ntohs, (std::uint16_t NetShort), (NetShort))                                     \
  X(SOCKET, socket, (int Af, int Type, int Protocol), (Af, Type, Protocol))                         \
  X(int, bind, (SOCKET s, TConstSockAddrPtr Addr, int NameLen), (s, Addr, NameLen))                 \
  X(int, listen, (SOCKET s, int Backlog), (s, Backlog))                                             \
  X(SOCKET, accept, (SOCKET s, TSockAddrPtr Addr, int* AddrLen), (s, Addr, AddrLen))                \
  X(int, connect, (SOCKET s, TConstSockAddrPtr Name, int NameLen), (s, Name, NameLen))              \
  X(int, setsockopt, (SOCKET s, int Level, int OptName, const char* OptVal, int OptLen),            \
    (s, Level, OptName, OptVal, OptLen))                                                            \
  X(int, getsockname, (SOCKET s, TSockAddrPtr Name, int* NameLen), (s, Name, NameLen))              \
  X(int, getpeername, (SOCKET s, TSockAddrPtr Name, int* NameLen), (s, Name, NameLen))              \
  X(int, ioctlsocket, (SOCKET s, long Cmd, std::uint32_t* Argp), (s, Cmd, Argp))                    \
  X(int, recv, (SOCKET s, char* Buf, int Len, int Flags), (s, Buf, Len, Flags))                     \
  X(int, recvfrom, (SOCKET s, char* Buf, int Len, int Flags, TSockAddrPtr From, int* FromLen),      \
    (s, Buf, Len, Flags, From, FromLen))                                                            \
  X(int, send, (SOCKET s, const char* Buf, int Len, int Flags), (s, Buf, Len, Flags))               \
  X(int, sendto, (SOCKET s, const char* Buf, int Len, int Flags, TConstSockAddrPtr To, int ToLen),  \
    (s, Buf, Len, Flags, To, ToLen))                                                                \
  X(int, shutdown, (SOCKET s, int How), (s, How))                                                   \
  X(int, closesocket, (SOCKET s), (s))
