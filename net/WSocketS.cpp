// TCustomWSocketServer: accepting into new client objects, the client list, and the disposal of
// closed clients from the event loop.
//
// The server holds references to clients in three places that outlive a call: the list, the
// LParam of a queued MsgClientClosed, and the local pointer of a running Accepting. Only the list
// is authoritative; the other two are looked up in it (by address, no dereference) before the
// client is touched, because any handler may have destroyed it meanwhile.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/WSocketS.h"
#include "platform/MessageLoop.h"
#include "platform/Shrink.h"

using namespace platform;

// The clients in creation order, with every step costing the same among tens of thousands: the
// accept looks a client up several times, and each close takes one out from anywhere in the list.
//
// - A client is known by the address of its TComponent part, its identity: the removal notice
//   comes from ~TComponent, when the TWSocketClient part is already destroyed and must not be
//   converted, and a reference that may be stale is looked up by its address alone. A
//   TWSocketClient's identity lies at a fixed distance from it (a non-virtual base), taken from
//   the first client inserted.
// - A removal leaves a hole in the slots; holes at the end go at once, the others once they
//   outnumber the clients. While holes exist, the position of the Index-th client comes from a
//   Fenwick tree over the slots (one per live client), in a number of steps that grows with the
//   logarithm of the slots.
class TCustomWSocketServer::TClientList {
public:
  std::int32_t Count() const { return static_cast<std::int32_t>(FCount); }

  void Append(TWSocketClient* Client) {
    TComponent* identity = Client;
    const auto address = reinterpret_cast<std::uintptr_t>(identity);
    if (!FOffsetKnown) {
      FOffset = address - reinterpret_cast<std::uintptr_t>(Client);
      FOffsetKnown = true;
    }
    FSlots.push_back({Client, address});
    FSlotOf[address] = static_cast<std::uint32_t>(FSlots.size() - 1);
    // The tree's new node covers the slots (i - lowbit(i), i], the new one included.
    const std::size_t i = FSlots.size();
    FTree.push_back(1 + Prefix(i - 1) - Prefix(i - (i & (~i + 1))));
    ++FCount;
  }

  // Whether a client at this address is in the list: no dereference.
  bool Holds(const TWSocketClient* Client) const {
    if (Client == nullptr || !FOffsetKnown) return false;
    return FSlotOf.count(reinterpret_cast<std::uintptr_t>(Client) + FOffset) != 0;
  }

  void Remove(const TComponent* Identity) {
    auto it = FSlotOf.find(reinterpret_cast<std::uintptr_t>(Identity));
    if (it == FSlotOf.end()) return;
    const std::size_t slot = it->second;
    FSlotOf.erase(it);
    FSlots[slot].Client = nullptr;
    Add(slot + 1, -1);
    --FCount;
    while (!FSlots.empty() && FSlots.back().Client == nullptr) {
      FSlots.pop_back();
      FTree.pop_back();  // the last node covers slots that end with the last one only
    }
    if (FSlots.size() > 2 * FCount + 16) CloseHoles();
    // A burst of clients leaves no tables sized for it behind.
    platform::ShrinkIfMostlyEmpty(FSlots);
    platform::ShrinkIfMostlyEmpty(FTree);
    platform::ShrinkBucketsIfMostlyEmpty(FSlotOf);
  }

  TWSocketClient* At(std::int32_t Index) const {
    if (Index < 0 || static_cast<std::size_t>(Index) >= FCount) return nullptr;
    if (FSlots.size() == FCount) return FSlots[static_cast<std::size_t>(Index)].Client;
    // The smallest position whose prefix count is Index + 1.
    std::size_t pos = 0;
    std::uint32_t left = static_cast<std::uint32_t>(Index) + 1;
    std::size_t step = 1;
    while (step * 2 <= FTree.size()) step *= 2;
    for (; step > 0; step /= 2)
      if (pos + step <= FTree.size() && FTree[pos + step - 1] < left) {
        pos += step;
        left -= FTree[pos - 1];
      }
    return FSlots[pos].Client;
  }

private:
  struct TEntry {
    TWSocketClient* Client;  // null: a hole
    std::uintptr_t Identity;
  };

  // The live slots among the first N (1-based tree positions 1 .. N).
  std::uint32_t Prefix(std::size_t N) const {
    std::uint32_t sum = 0;
    for (; N > 0; N &= N - 1) sum += FTree[N - 1];
    return sum;
  }
  void Add(std::size_t Position, int Delta) {
    for (; Position <= FTree.size(); Position += Position & (~Position + 1))
      FTree[Position - 1] = static_cast<std::uint32_t>(static_cast<int>(FTree[Position - 1]) + Delta);
  }
  void CloseHoles() {
    std::size_t to = 0;
    for (const TEntry& e : FSlots) {
      if (e.Client == nullptr) continue;
      FSlotOf[e.Identity] = static_cast<std::uint32_t>(to);
      FSlots[to++] = e;
    }
    FSlots.resize(to);
    // Every slot live: node i covers lowbit(i) slots.
    FTree.resize(to);
    for (std::size_t i = 1; i <= to; ++i) FTree[i - 1] = static_cast<std::uint32_t>(i & (~i + 1));
  }

  std::vector<TEntry> FSlots;
  std::vector<std::uint32_t> FTree;
  std::unordered_map<std::uintptr_t, std::uint32_t> FSlotOf;  // identity -> slot
  std::size_t FCount = 0;
  std::uintptr_t FOffset = 0;  // identity - client address, the same for every TWSocketClient
  bool FOffsetKnown = false;
};

TCustomWSocketServer::TCustomWSocketServer(TComponent* AOwner)
    : TWSocket(AOwner),
      FBanner("Welcome to the server"),
      FBannerToBusy("Sorry, too many clients"),
      FClientClass(ClientClassOf<TWSocketClient>()),
      FClients(std::make_unique<TClientList>()) {}

TCustomWSocketServer::~TCustomWSocketServer() {
  // Marked first, so that the clients' closes raise no OnSessionClosed and post nothing, and a
  // MsgClientClosed dispatched by a pump inside a destructor is ignored.
  Destroying();
  // Destructors cannot throw here (they are noexcept), so one client cannot stop the others. The
  // bound is re-read each time: a client's destructor may take other clients with it.
  for (std::int32_t i = ClientCount() - 1; i >= 0; --i)
    if (i < ClientCount()) delete FClients->At(i);
  FClients.reset();
}

void TCustomWSocketServer::SetClientClass(TWSocketClientClass Value) {
  FClientClass = Value ? std::move(Value) : ClientClassOf<TWSocketClient>();
}

// ---- the list ----

std::int32_t TCustomWSocketServer::ClientCount() { return FClients ? FClients->Count() : 0; }

TWSocketClient* TCustomWSocketServer::Client(std::int32_t Index) {
  return FClients ? FClients->At(Index) : nullptr;
}

bool TCustomWSocketServer::HoldsClient(const TWSocketClient* Client) const {
  return FClients && FClients->Holds(Client);
}

void TCustomWSocketServer::ClientInserted(TWSocketClient* Client) {
  if (FClients) FClients->Append(Client);
}

void TCustomWSocketServer::Notification(TComponent* AComponent, TOperation Operation) {
  TWSocket::Notification(AComponent, Operation);
  if (Operation == TOperation::opRemove && FClients) FClients->Remove(AComponent);
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
