// TWSocketClient: one accepted connection of a server. It caches its peer's address and port when
// it adopts the connection and reports its close to the server exactly once.
#include <string>

#include "net/WSocketS.h"
#include "net/WinsockBinding.h"
#include "platform/MessageLoop.h"

using namespace platform;

TWSocketClient::TWSocketClient(TComponent* AOwner) : TWSocket(AOwner) {
  if (auto* server = dynamic_cast<TCustomWSocketServer*>(AOwner)) server->ClientInserted(this);
}

void TWSocketClient::NotifySessionClosed(std::uint16_t Error) {
  if (FDisposalPosted) return;
  if (FServer != nullptr) {
    // Set before anything runs that could close the client again.
    FDisposalPosted = true;
    PostMessage(FServer->NotifyWindow(), MsgClientClosed, 0, reinterpret_cast<LPARAM>(this));
  }
  // A client that no server created behaves as a plain socket. The close may come from outside
  // the client's own dispatch (the application's Close), and OnSessionClosed may pump the loop.
  THandlerScope running(*this);
  TWSocket::NotifySessionClosed(Error);
}

void TWSocketClient::Dup(SOCKET NewHandle) {
  try {
    TWSocket::Dup(NewHandle);
  } catch (...) {
    // A handle adopted but never selected would stay open with the component closed: nothing
    // would ever close it, and the peer would wait for ever.
    if (FState == wsClosed && FSocketHandle != INVALID_SOCKET) {
      winsock::closesocket(FSocketHandle);
      FSocketHandle = INVALID_SOCKET;
    }
    throw;
  }
  if (FState == wsClosed && FSocketHandle != INVALID_SOCKET) {  // failed, reported through OnError
    winsock::closesocket(FSocketHandle);
    FSocketHandle = INVALID_SOCKET;
  }
  // Asked quietly: a peer that reset before the accept must cost its own connection only, not
  // raise out of the server's accepting and abort the listening socket. Its FD_CLOSE follows.
  TSockAddrStorage peer;
  if (GetPeerName(&peer, sizeof peer) == 0) {
    FPeerAddr = SockAddrText(peer);  // an IPv4 peer of a dual-stack listener reads dotted
    FPeerPort = std::to_string(winsock::ntohs(SockAddrPort(peer)));
  } else {
    FPeerAddr = "error";
    FPeerPort = "error";
  }
}

void TWSocketClient::SendBanner() {
  if (!FBanner.empty()) SendText(FBanner + "\r\n");  // CR LF, whatever LineEnd is
}
