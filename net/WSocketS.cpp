// TCustomWSocketServer: accepting into new client objects, the client list, and the disposal of
// closed clients from the event loop.
//
// The server holds references to clients in three places that outlive a call: the list, the
// LParam of a queued MsgClientClosed, and the local pointer of a running Accepting. Only the list
// is authoritative; the other two are looked up in it (pointer comparison, no dereference) before
// the client is touched, because any handler may have destroyed it meanwhile.
#include <algorithm>
#include <string>

#include "net/WSocketS.h"
#include "platform/MessageLoop.h"

using namespace platform;

TCustomWSocketServer::TCustomWSocketServer(TComponent* AOwner)
    : TWSocket(AOwner),
      FBanner("Welcome to the server"),
      FBannerToBusy("Sorry, too many clients"),
      FClientClass(ClientClassOf<TWSocketClient>()),
      FClients(std::make_unique<std::vector<TClientEntry>>()) {}

TCustomWSocketServer::~TCustomWSocketServer() {
  // Marked first, so that the clients' closes raise no OnSessionClosed and post nothing, and a
  // MsgClientClosed dispatched by a pump inside a destructor is ignored.
  Destroying();
  // Destructors cannot throw here (they are noexcept), so one client cannot stop the others. The
  // bound is re-read each time: a client's destructor may take other clients with it.
  for (std::int32_t i = ClientCount() - 1; i >= 0; --i)
    if (i < ClientCount()) delete (*FClients)[static_cast<std::size_t>(i)].Client;
  FClients.reset();
}

void TCustomWSocketServer::SetClientClass(TWSocketClientClass Value) {
  FClientClass = Value ? std::move(Value) : ClientClassOf<TWSocketClient>();
}

// ---- the list ----

std::int32_t TCustomWSocketServer::ClientCount() {
  return FClients ? static_cast<std::int32_t>(FClients->size()) : 0;
}

TWSocketClient* TCustomWSocketServer::Client(std::int32_t Index) {
  if (Index < 0 || Index >= ClientCount()) return nullptr;
  return (*FClients)[static_cast<std::size_t>(Index)].Client;
}

bool TCustomWSocketServer::HoldsClient(const TWSocketClient* Client) const {
  if (!FClients || Client == nullptr) return false;
  return std::any_of(FClients->begin(), FClients->end(),
                     [Client](const TClientEntry& e) { return e.Client == Client; });
}

void TCustomWSocketServer::ClientInserted(TWSocketClient* Client) {
  if (FClients) FClients->push_back({Client, Client});
}

void TCustomWSocketServer::Notification(TComponent* AComponent, TOperation Operation) {
  TWSocket::Notification(AComponent, Operation);
  if (Operation != TOperation::opRemove || !FClients) return;
  auto it = std::find_if(FClients->begin(), FClients->end(),
                         [AComponent](const TClientEntry& e) { return e.Identity == AComponent; });
  if (it != FClients->end()) FClients->erase(it);
}

// ---- events ----

void TCustomWSocketServer::NotifyClientCreate(TWSocketClient* Client) {
  THandlerScope running(*this);
  if (OnClientCreate) OnClientCreate(this, Client);
}
void TCustomWSocketServer::NotifyClientConnect(TWSocketClient* Client, std::uint16_t Error) {
  THandlerScope running(*this);
  if (OnClientConnect) OnClientConnect(this, Client, Error);
}
void TCustomWSocketServer::NotifyClientDisconnect(TWSocketClient* Client, std::uint16_t Error) {
  THandlerScope running(*this);
  if (OnClientDisconnect) OnClientDisconnect(this, Client, Error);
}

// ---- accepting ----

void TCustomWSocketServer::NotifySessionAvailable(std::uint16_t Error) {
  TWSocket::NotifySessionAvailable(Error);
  if (Error != 0) return;
  ++FClientSerial;
  TWSocketClient* NewClient = FClientClass(this);
  if (NewClient == nullptr) {
    RaiseSocketException("ClientClass created no client");
    return;
  }
  // Runs however Accepting ends, an exception included.
  struct Sweep {
    TCustomWSocketServer* Server;
    TWSocketClient* Client;
    ~Sweep() { Server->DisposeOfUnconnected(Client); }
  } sweep{this, NewClient};
  AcceptInto(NewClient);
}

void TCustomWSocketServer::AcceptInto(TWSocketClient* NewClient) {
  NotifyClientCreate(NewClient);
  if (!HoldsClient(NewClient)) return;  // the handler destroyed it
  NewClient->SetName(Name() + "Client" + std::to_string(FClientSerial));
  NewClient->SetBanner(FBanner);
  NewClient->FServer = this;
  NewClient->Dup(Accept());
  NewClient->FConnectAnnounced = true;
  NotifyClientConnect(NewClient, 0);
  // The handler may have closed or destroyed the client.
  if (!HoldsClient(NewClient) || NewClient->State() != wsConnected) return;
  if (FMaxClients > 0 && ClientCount() > FMaxClients) {
    NewClient->SetBanner(FBannerToBusy);
    NewClient->SendBanner();
    NewClient->Close();
  } else {
    NewClient->SendBanner();
  }
}

// A client that never took over a connection (the accept failed, Dup could not adopt the handle,
// or a handler raised before that) has nothing that would ever close, so nothing would ever
// dispose of it: left alone it would stay counted for the server's whole life, one more with each
// failed accept. It goes the way of a closed client instead, from the loop.
void TCustomWSocketServer::DisposeOfUnconnected(TWSocketClient* Client) {
  if (!HoldsClient(Client) || Client->FDisposalPosted) return;
  if (Client->State() != wsClosed || Client->SocketHandle() != INVALID_SOCKET) return;
  Client->FDisposalPosted = true;
  PostMessage(NotifyWindow(), MsgClientClosed, 0, reinterpret_cast<LPARAM>(Client));
}

// ---- disposal ----

void TCustomWSocketServer::HandleNotifyMessage(TMessage& Msg) {
  if (Msg.Msg != MsgClientClosed) {
    TWSocket::HandleNotifyMessage(Msg);
    return;
  }
  try {
    MsgClientClosedHandler(Msg);
  } catch (Exception& E) {
    OfferBackgroundException(E);
  }
}

void TCustomWSocketServer::MsgClientClosedHandler(TMessage& Msg) {
  auto* Closed = reinterpret_cast<TWSocketClient*>(Msg.LParam);
  // Gone already (destroyed by someone else), or an object that took a freed client's address and
  // has not closed: the message is not for it.
  if (IsDestroying() || !HoldsClient(Closed) || !Closed->FDisposalPosted) return;
  if (Closed->HandlerRunning()) {
    // A handler of the client pumped the loop: it is still running, so its object must live.
    PostMessage(NotifyWindow(), MsgClientClosed, 0, Msg.LParam);
    return;
  }
  struct DestroyAfter {
    TCustomWSocketServer* Server;
    TWSocketClient* Client;
    ~DestroyAfter() {
      if (Server->HoldsClient(Client)) delete Client;
    }
  } destroy{this, Closed};
  if (Closed->FConnectAnnounced) NotifyClientDisconnect(Closed, 0);
}
