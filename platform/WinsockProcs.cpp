// Internal. The export table of the socket library: what the binding in net/ finds when it looks a
// function up by name. The names are spelled exactly as the binding asks for them; anything else is
// not exported.
#include <cstring>
#include <iterator>

#include "platform/Winsock.h"

namespace platform {

namespace {

struct TProcEntry {
  const char* Name;
  void* Proc;
};

template <class F>
void* Exported(F* Function) {
  return reinterpret_cast<void*>(Function);
}

const TProcEntry kExports[] = {
    {"WSAStartup", Exported(&WSAStartup)},
    {"WSACleanup", Exported(&WSACleanup)},
    {"WSAGetLastError", Exported(&WSAGetLastError)},
    {"WSASetLastError", Exported(&WSASetLastError)},
    {"WSAAsyncSelect", Exported(&WSAAsyncSelect)},
    {"WSAAsyncGetHostByName", Exported(&WSAAsyncGetHostByName)},
    {"WSAAsyncGetHostByAddr", Exported(&WSAAsyncGetHostByAddr)},
    {"WSACancelAsyncRequest", Exported(&WSACancelAsyncRequest)},
    {"gethostbyname", Exported(&gethostbyname)},
    {"getservbyname", Exported(&getservbyname)},
    {"getprotobyname", Exported(&getprotobyname)},
    {"inet_addr", Exported(&inet_addr)},
    {"inet_ntoa", Exported(&inet_ntoa)},
    {"htons", Exported(&htons)},
    {"ntohs", Exported(&ntohs)},
    {"socket", Exported(&socket)},
    {"bind", Exported(&bind)},
    {"listen", Exported(&listen)},
    {"accept", Exported(&accept)},
    {"connect", Exported(&connect)},
    {"setsockopt", Exported(&setsockopt)},
    {"getsockname", Exported(&getsockname)},
    {"getpeername", Exported(&getpeername)},
    {"ioctlsocket", Exported(&ioctlsocket)},
    {"recv", Exported(&recv)},
    {"recvfrom", Exported(&recvfrom)},
    {"send", Exported(&send)},
    {"sendto", Exported(&sendto)},
    {"shutdown", Exported(&shutdown)},
    {"closesocket", Exported(&closesocket)},
};
static_assert(std::size(kExports) == 30);

}  // namespace

void* FindSocketProc(const char* Name) {
  if (Name == nullptr) return nullptr;
  for (const TProcEntry& Entry : kExports) {
    if (std::strcmp(Entry.Name, Name) == 0) return Entry.Proc;
  }
  return nullptr;
}

}  // namespace platform
