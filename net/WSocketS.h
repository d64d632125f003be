// Public. Unit WSocketS: the listening server and its client objects.
//
//   TWSocket
//     TCustomWSocketServer  the listening socket; accepts each connection into a new client
//       TWSocketServer      the class the program creates
//     TWSocketClient        one accepted connection; reports its close to its server
//
// Life of a client, all on the loop thread:
//
//   FD_ACCEPT -> created (in Clients, wsClosed) -> OnClientCreate -> named, Banner, Server set
//     -> Accept + Dup (wsConnected, peer cached) -> OnClientConnect -> banner, or busy banner + Close
//     -> ... -> NotifySessionClosed: MsgClientClosed posted, OnSessionClosed
//     -> [loop] MsgClientClosed: OnClientDisconnect (still counted) -> delete (leaves Clients)
//
// What the application relies on and must stay true: OnClientConnect sees the client in the list
// and connected; Close on a client never changes the list, so a loop over Client(0) ..
// Client(ClientCount - 1) that closes each one visits every client once; OnClientDisconnect runs
// from the loop, never inside a handler of the closing client, and the client is destroyed right
// after it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "net/WSocket.h"

class TCustomWSocketServer;
class TWSocketClient;

// The class of the clients a server creates: a factory that constructs one with the given owner
// (always the server). ClientClassOf<T>() is the factory of a class T derived from TWSocketClient.
using TWSocketClientClass = std::function<TWSocketClient*(TComponent* AOwner)>;

template <class T>
TWSocketClientClass ClientClassOf() {
  static_assert(std::is_base_of_v<TWSocketClient, T>, "a client class derives from TWSocketClient");
  return [](TComponent* AOwner) -> TWSocketClient* { return new T(AOwner); };
}

using TWSocketClientCreateEvent = std::function<void(TComponent* Sender, TWSocketClient* Client)>;
using TWSocketClientConnectEvent =
    std::function<void(TComponent* Sender, TWSocketClient* Client, std::uint16_t Error)>;

class TWSocketClient : public TWSocket {
public:
  // Joins the client list of its owner when the owner is a server. (The owner's insertion
  // notification comes from the TComponent constructor, before this object is a TWSocketClient,
  // so it cannot tell a client from any other component.)
  explicit TWSocketClient(TComponent* AOwner);

  void NotifySessionClosed(std::uint16_t Error) override;
  void Dup(SOCKET NewHandle) override;
  std::string PeerAddr() override { return FPeerAddr; }
  std::string GetPeerPort() override { return FPeerPort; }

  virtual void SendBanner();

  const std::string& Banner() const { return FBanner; }
  void SetBanner(const std::string& Value) { FBanner = Value; }
  TCustomWSocketServer* Server() const { return FServer; }
  bool DisposalPosted() const { return FDisposalPosted; }

private:
  friend class TCustomWSocketServer;

  std::string FBanner;
  TCustomWSocketServer* FServer = nullptr;
  std::string FPeerAddr;
  std::string FPeerPort;
  bool FDisposalPosted = false;
  // OnClientConnect has been raised for this client, so its disposal raises OnClientDisconnect.
  bool FConnectAnnounced = false;
};

class TCustomWSocketServer : public TWSocket {
public:
  explicit TCustomWSocketServer(TComponent* AOwner);
  // Destroys the clients from the last to the first, raising no OnClientDisconnect; MsgClientClosed
  // still queued goes with the notification window.
  ~TCustomWSocketServer() override;

  void HandleNotifyMessage(platform::TMessage& Msg) override;
  void NotifySessionAvailable(std::uint16_t Error) override;

  virtual void NotifyClientCreate(TWSocketClient* Client);
  virtual void NotifyClientConnect(TWSocketClient* Client, std::uint16_t Error);
  virtual void NotifyClientDisconnect(TWSocketClient* Client, std::uint16_t Error);
  // 0 once the list is gone; Client is null for any index outside 0 .. ClientCount - 1.
  virtual std::int32_t ClientCount();
  virtual TWSocketClient* Client(std::int32_t Index);

  // Plain settings: a change applies from the next accepted connection on.
  const std::string& Banner() const { return FBanner; }
  void SetBanner(const std::string& Value) { FBanner = Value; }
  const std::string& BannerToBusy() const { return FBannerToBusy; }
  void SetBannerToBusy(const std::string& Value) { FBannerToBusy = Value; }
  const TWSocketClientClass& ClientClass() const { return FClientClass; }
  // An empty factory stands for TWSocketClient.
  void SetClientClass(TWSocketClientClass Value);
  std::int32_t MaxClients() const { return FMaxClients; }
  void SetMaxClients(std::int32_t Value) { FMaxClients = Value; }
  std::int32_t ClientSerial() const { return FClientSerial; }

  TWSocketClientCreateEvent OnClientCreate;
  TWSocketClientConnectEvent OnClientConnect;
  TWSocketClientConnectEvent OnClientDisconnect;

protected:
  // Removal from Clients, at the very end of a client's destruction.
  void Notification(TComponent* AComponent, TOperation Operation) override;

private:
  friend class TWSocketClient;
  // The client list (WSocketS.cpp).
  class TClientList;

  void ClientInserted(TWSocketClient* Client);
  // Compares pointers only, so it is safe on a reference to a client that may be gone.
  bool HoldsClient(const TWSocketClient* Client) const;
  void AcceptInto(TWSocketClient* Client);
  void DisposeOfUnconnected(TWSocketClient* Client);
  void MsgClientClosedHandler(platform::TMessage& Msg);

  std::string FBanner;
  std::string FBannerToBusy;
  TWSocketClientClass FClientClass;
  std::unique_ptr<TClientList> FClients;
  std::int32_t FClientSerial = 0;
  std::int32_t FMaxClients = 0;
};

class TWSocketServer : public TCustomWSocketServer {
public:
  using TCustomWSocketServer::TCustomWSocketServer;
};
