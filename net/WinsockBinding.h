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
using platform::TConstSockAddrPtr;
using platform::THostAddress;
using platform::THostAddressList;
using platform::THostEnt;
using platform::TProtoEnt;
using platform::TServEnt;
using platform::TSockAddrIn;
using platform::TSockAddrIn6;
using platform::TSockAddrPtr;
using platform::TSockAddrStorage;
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

// One wrapper per call of the list (platform/WinsockCallList.h), with the call's own name,
// parameters and result.
#define VANTREL_DECLARE_WRAPPER(Result, Name, Parameters, Arguments) Result Name Parameters;
VANTREL_WINSOCK_CALLS(VANTREL_DECLARE_WRAPPER)
#undef VANTREL_DECLARE_WRAPPER

}  // namespace winsock

// The English text of a Windows Sockets error code; "Not a WinSock error" for any other value.
std::string WinsockErrorText(std::int32_t Code);
